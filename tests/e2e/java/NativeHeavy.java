import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.zip.CRC32;
import java.util.zip.DataFormatException;
import java.util.zip.Deflater;
import java.util.zip.GZIPInputStream;
import java.util.zip.GZIPOutputStream;
import java.util.zip.Inflater;
import java.util.zip.ZipEntry;
import java.util.zip.ZipInputStream;
import java.util.zip.ZipOutputStream;

/**
 * A workload whose heap traffic is mostly native: zlib streams, direct buffers
 * and thread stacks. Every printed value is derived from uncompressed data
 * only, so the output does not depend on the zlib build, the thread schedule
 * or the run. Usage: NativeHeavy [scale], scale >= 1 (default 1) multiplies
 * the work.
 */
public final class NativeHeavy {
    static final int WORKERS = 8;
    static final int SHORT_ROUNDS = 4;

    // Direct buffers that stay reachable until exit, so a report written at
    // exit has live native blocks to show.
    static final List<ByteBuffer> RETAINED = new ArrayList<>();

    static final String[] WORDS = {
        "alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf",
        "hotel", "india", "juliet", "kilo", "lima", "mike", "november",
        " ", " ", ", ", ".\n", "0", "42", "1024", "native", "heap", "stack",
    };

    /**
     * Deterministic, fairly compressible bytes; seed picks the stream. Built
     * from a short seed block by bulk copies so that it stays cheap when the
     * VM only interprets.
     */
    static byte[] text(int seed, int length) {
        byte[] block = new byte[4096];
        int x = seed * 0x9E3779B9 + 0x7F4A7C15;
        int i = 0;
        while (i < block.length) {
            x = xorshift(x);
            if ((x & 15) == 0) {
                // noise keeps the compressor from finding only repeats
                block[i++] = (byte) (x >>> 8);
                continue;
            }
            String w = WORDS[(x >>> 4) % WORDS.length];
            for (int k = 0; k < w.length() && i < block.length; k++) {
                block[i++] = (byte) w.charAt(k);
            }
        }
        byte[] out = new byte[length];
        int pos = 0;
        while (pos < length) {
            x = xorshift(x);
            int from = (x >>> 1) % 2048;
            int n = Math.min(1024 + (x >>> 20), Math.min(block.length - from, length - pos));
            System.arraycopy(block, from, out, pos, n);
            pos += n;
            if (pos < length) {
                out[pos++] = (byte) x;
            }
        }
        return out;
    }

    static int xorshift(int x) {
        x ^= x << 13;
        x ^= x >>> 17;
        x ^= x << 5;
        return x;
    }

    static long crc(byte[] b) {
        CRC32 c = new CRC32();
        c.update(b, 0, b.length);
        return c.getValue();
    }

    /** CRC32 of the buffer's remaining bytes; leaves its position alone. */
    static long crc(ByteBuffer b) {
        CRC32 c = new CRC32();
        c.update(b.duplicate());
        return c.getValue();
    }

    static long mix(long acc, long v) {
        acc ^= v + 0x9E3779B97F4A7C15L + (acc << 6) + (acc >>> 2);
        return acc;
    }

    static void check(boolean ok, String what) {
        if (!ok) {
            throw new IllegalStateException("verification failed: " + what);
        }
    }

    /** Per-worker totals; combined in worker order after the join. */
    static final class Result {
        long deflate, gzip, zip, direct;
        long bytes;
        int buffers, entries;
    }

    // Deflate with byte arrays, inflate into a direct buffer; alternating
    // strategies and levels so zlib allocates differently sized state.
    static long deflateRoundTrip(byte[] data, int level, boolean nowrap) throws DataFormatException {
        Deflater d = new Deflater(level, nowrap);
        if (level == 1) {
            d.setStrategy(Deflater.HUFFMAN_ONLY);
        }
        d.setInput(data);
        d.finish();
        ByteArrayOutputStream packed = new ByteArrayOutputStream();
        byte[] chunk = new byte[8192];
        while (!d.finished()) {
            int n = d.deflate(chunk);
            packed.write(chunk, 0, n);
        }
        check(d.getTotalIn() == data.length, "deflater input count");
        d.end();

        byte[] z = packed.toByteArray();
        Inflater inf = new Inflater(nowrap);
        // the raw format needs a trailing byte to see the end of the stream
        byte[] in = nowrap ? Arrays.copyOf(z, z.length + 1) : z;
        inf.setInput(in);
        ByteBuffer out = ByteBuffer.allocateDirect(data.length);
        while (!inf.finished()) {
            int n = inf.inflate(out);
            check(n > 0 || inf.finished(), "inflater stalled");
        }
        inf.end();
        out.flip();
        // comparisons go through zlib's crc so the check costs little in an
        // interpreting VM
        long got = crc(out);
        check(out.remaining() == data.length && got == crc(data), "deflate round trip");
        return got;
    }

    // Deflate and inflate between direct buffers, inflating 4 KiB at a time:
    // the path that hands native addresses straight to zlib.
    static long directDeflate(byte[] data) throws DataFormatException {
        ByteBuffer src = ByteBuffer.allocateDirect(data.length);
        src.put(data).flip();
        ByteBuffer dst = ByteBuffer.allocateDirect(data.length + data.length / 2 + 1024);
        Deflater d = new Deflater(Deflater.BEST_COMPRESSION);
        d.setInput(src);
        d.finish();
        while (!d.finished()) {
            d.deflate(dst, Deflater.NO_FLUSH);
        }
        d.end();
        dst.flip();

        Inflater inf = new Inflater();
        inf.setInput(dst);
        ByteBuffer back = ByteBuffer.allocateDirect(data.length);
        ByteBuffer step = ByteBuffer.allocateDirect(4096);
        while (!inf.finished()) {
            step.clear();
            inf.inflate(step);
            step.flip();
            back.put(step);
        }
        inf.end();
        back.flip();
        src.rewind();
        long got = crc(back);
        check(back.remaining() == src.remaining() && got == crc(src), "direct deflate round trip");
        return got;
    }

    static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buf = new byte[1500];
        int n;
        while ((n = in.read(buf)) > 0) {
            out.write(buf, 0, n);
        }
        return out.toByteArray();
    }

    static long gzipRoundTrip(byte[] data) throws IOException {
        ByteArrayOutputStream packed = new ByteArrayOutputStream();
        try (GZIPOutputStream gz = new GZIPOutputStream(packed, 4096)) {
            // uneven writes so the stream buffers and flushes partway
            int off = 0, step = 777;
            while (off < data.length) {
                int n = Math.min(step, data.length - off);
                gz.write(data, off, n);
                off += n;
                step = step * 3 % 10007 + 1;
            }
        }
        byte[] back;
        try (GZIPInputStream in = new GZIPInputStream(new ByteArrayInputStream(packed.toByteArray()), 2048)) {
            back = readAll(in);
        }
        long got = crc(back);
        check(back.length == data.length && got == crc(data), "gzip round trip");
        return got;
    }

    static long zipRoundTrip(int seed, int entries, int size, Result r) throws IOException {
        ByteArrayOutputStream packed = new ByteArrayOutputStream();
        long[] want = new long[entries];
        try (ZipOutputStream zos = new ZipOutputStream(packed)) {
            for (int e = 0; e < entries; e++) {
                byte[] data = text(seed * 1000 + e, size + e * 131);
                want[e] = crc(data);
                zos.setLevel(e % 10);
                zos.putNextEntry(new ZipEntry("entry-" + e + ".txt"));
                zos.write(data);
                zos.closeEntry();
            }
        }
        long acc = 0;
        int seen = 0;
        try (ZipInputStream zis = new ZipInputStream(new ByteArrayInputStream(packed.toByteArray()))) {
            ZipEntry ze;
            while ((ze = zis.getNextEntry()) != null) {
                byte[] back = readAll(zis);
                check(crc(back) == want[seen], "zip entry " + ze.getName());
                check(ze.getCrc() == want[seen], "zip entry header crc " + ze.getName());
                acc = mix(acc, want[seen]);
                r.bytes += back.length;
                seen++;
            }
        }
        check(seen == entries, "zip entry count");
        r.entries += seen;
        return acc;
    }

    static final int[] BUFFER_SIZES = {16, 100, 4096, 4097, 65536, 200_003, 1 << 20};

    static long directBuffers(int seed, int rounds, Result r) {
        long acc = 0;
        for (int round = 0; round < rounds; round++) {
            for (int s = 0; s < BUFFER_SIZES.length; s++) {
                int size = BUFFER_SIZES[s] + round;
                ByteBuffer b = ByteBuffer.allocateDirect(size).order(ByteOrder.LITTLE_ENDIAN);
                // bulk puts of a seeded pattern, then scattered ints, so the
                // fill is mostly native copying
                byte[] pattern = text(seed * 31 + round * 7 + s, Math.min(size, 8192));
                while (b.remaining() >= pattern.length) {
                    b.put(pattern);
                }
                b.put(pattern, 0, b.remaining());
                int x = seed * 7919 + round * 104729 + s;
                for (int at = 0; at + 4 <= size; at += 509) {
                    x = x * 1103515245 + 12345;
                    b.putInt(at, x);
                }
                b.flip();
                ByteBuffer copy = ByteBuffer.allocateDirect(size);
                copy.put(b.duplicate()).flip();
                long sum = crc(copy);
                check(sum == crc(b), "direct copy");
                acc = mix(acc, sum);
                r.buffers += 2;
                r.bytes += 2L * size;
                if (round == 0 && s == BUFFER_SIZES.length - 1) {
                    synchronized (RETAINED) {
                        RETAINED.add(b);
                    }
                }
            }
        }
        return acc;
    }

    /** One thread's share; a light share is for the short-lived threads. */
    static Result work(int id, int scale, boolean light) throws Exception {
        Result r = new Result();
        int streams = light ? 1 : 4;
        for (int rep = 0; rep < scale; rep++) {
            int seed = id * 100 + rep;
            for (int k = 0; k < streams; k++) {
                byte[] data = text(seed * 10 + k, 48_000 + k * 24_007);
                r.deflate = mix(r.deflate, deflateRoundTrip(data, (k * 3 + id) % 10, (k & 1) == 1));
                r.deflate = mix(r.deflate, directDeflate(data));
                r.gzip = mix(r.gzip, gzipRoundTrip(data));
                r.bytes += 3L * data.length;
            }
            r.zip = mix(r.zip, zipRoundTrip(seed, light ? 2 : 6, 16_000, r));
            r.direct = mix(r.direct, directBuffers(seed, light ? 1 : 2, r));
        }
        return r;
    }

    /** Runs work(id) on one thread per id, joins them all, returns in id order. */
    static Result[] runThreads(int count, int firstId, int scale, boolean light) throws InterruptedException {
        Result[] results = new Result[count];
        Throwable[] errors = new Throwable[count];
        Thread[] threads = new Thread[count];
        for (int i = 0; i < count; i++) {
            final int slot = i;
            threads[i] = new Thread(() -> {
                try {
                    results[slot] = work(firstId + slot, scale, light);
                } catch (Throwable t) {
                    errors[slot] = t;
                }
            }, "native-worker-" + (firstId + slot));
            threads[i].start();
        }
        for (Thread t : threads) {
            t.join();
        }
        for (int i = 0; i < count; i++) {
            if (errors[i] != null) {
                System.err.println("worker " + (firstId + i) + " failed: " + errors[i]);
                errors[i].printStackTrace();
                System.exit(2);
            }
        }
        return results;
    }

    public static void main(String[] args) throws Exception {
        int scale = 1;
        try {
            if (args.length > 0) {
                scale = Integer.parseInt(args[0]);
            }
        } catch (NumberFormatException e) {
            scale = 0;
        }
        if (scale < 1 || args.length > 1) {
            System.err.println("usage: NativeHeavy [scale >= 1]");
            System.exit(64);
        }

        List<Result> all = new ArrayList<>(Arrays.asList(runThreads(WORKERS, 0, scale, false)));
        // rounds of short-lived threads: stacks and thread-local state come and go
        for (int round = 0; round < SHORT_ROUNDS; round++) {
            all.addAll(Arrays.asList(runThreads(WORKERS, 100 + round * WORKERS, 1, true)));
        }
        // all but the retained direct buffers are garbage now; collecting them
        // frees their native memory while the process still runs
        System.gc();

        long deflate = 0, gzip = 0, zip = 0, direct = 0, bytes = 0;
        int buffers = 0, entries = 0;
        for (Result r : all) {
            deflate = mix(deflate, r.deflate);
            gzip = mix(gzip, r.gzip);
            zip = mix(zip, r.zip);
            direct = mix(direct, r.direct);
            bytes += r.bytes;
            buffers += r.buffers;
            entries += r.entries;
        }
        long total = mix(mix(mix(mix(0, deflate), gzip), zip), direct);
        System.out.printf("threads %d scale %d%n", all.size(), scale);
        System.out.printf("deflate %016x%n", deflate);
        System.out.printf("gzip %016x%n", gzip);
        System.out.printf("zip %016x entries %d%n", zip, entries);
        System.out.printf("direct %016x buffers %d retained %d%n", direct, buffers, RETAINED.size());
        System.out.printf("bytes %d%n", bytes);
        System.out.printf("total %016x%n", total);
    }
}
