import com.sun.net.httpserver.HttpServer;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.HttpURLConnection;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.URI;
import java.net.URL;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.IntStream;
import java.util.zip.CRC32;
import java.util.zip.DataFormatException;
import java.util.zip.Deflater;
import java.util.zip.Inflater;
import javax.tools.JavaCompiler;
import javax.tools.JavaFileObject;
import javax.tools.SimpleJavaFileObject;
import javax.tools.StandardLocation;
import javax.tools.ToolProvider;
import javax.tools.ForwardingJavaFileManager;
import javax.tools.FileObject;

/**
 * Native allocations reached from compiled Java code, on many threads: the
 * shape that leaves garbage in the frame-pointer register below every
 * allocating native frame. Three kinds of work run at once on a pool:
 * classes generated and compiled in-process with javax.tools, then loaded
 * and run (String.format, lambdas, streams, regex); zlib streams driven from
 * hot loops; and a loopback HTTP server with clients. Every printed value
 * comes from the inputs only, so the output is the same in every run.
 * Usage: JitStacks [scale], scale >= 1 (default 1).
 */
public final class JitStacks {
    static final int THREADS = 8;

    public static void main(String[] args) throws Exception {
        int scale = args.length > 0 ? Integer.parseInt(args[0]) : 1;
        HttpServer server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        server.createContext("/echo", exchange -> {
            byte[] body = exchange.getRequestBody().readAllBytes();
            byte[] reply = deflate(body);
            exchange.sendResponseHeaders(200, reply.length);
            try (OutputStream out = exchange.getResponseBody()) {
                out.write(reply);
            }
        });
        server.setExecutor(Executors.newFixedThreadPool(4));
        server.start();
        int port = server.getAddress().getPort();

        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        List<Future<String>> results = new ArrayList<>();
        for (int task = 0; task < THREADS * scale; task++) {
            final int t = task;
            switch (task % 3) {
                case 0: results.add(pool.submit(() -> compileAndRun(t))); break;
                case 1: results.add(pool.submit(() -> zlibRounds(t))); break;
                default: results.add(pool.submit(() -> httpRounds(t, port))); break;
            }
        }
        for (Future<String> result : results) {
            System.out.println(result.get());
        }
        pool.shutdown();
        server.stop(0);
        ((ExecutorService) server.getExecutor()).shutdown();
        System.out.println("done");
    }

    // ---- generated classes, compiled in-process ----

    static String source(String name, int seed) {
        StringBuilder s = new StringBuilder();
        s.append("import java.util.*; import java.util.stream.*; import java.util.regex.*;\n");
        s.append("public class ").append(name).append(" implements java.util.function.IntFunction<String> {\n");
        s.append("  public String apply(int n) {\n");
        s.append("    List<String> parts = IntStream.range(0, n).mapToObj(i -> String.format(\"%05d-%x\", i * ")
                .append(seed).append(", i)).collect(Collectors.toList());\n");
        s.append("    Matcher m = Pattern.compile(\"(\\\\d+)-([0-9a-f]+)\").matcher(String.join(\",\", parts));\n");
        s.append("    long sum = 0; while (m.find()) sum += Long.parseLong(m.group(1)) + Long.parseLong(m.group(2), 16);\n");
        s.append("    return String.format(\"%s:%d\", getClass().getSimpleName(), sum);\n");
        s.append("  }\n}\n");
        return s.toString();
    }

    static final class Source extends SimpleJavaFileObject {
        final String code;
        Source(String name, String code) {
            super(URI.create("string:///" + name + Kind.SOURCE.extension), Kind.SOURCE);
            this.code = code;
        }
        @Override public CharSequence getCharContent(boolean ignoreEncodingErrors) { return code; }
    }

    static final class ClassBytes extends SimpleJavaFileObject {
        final ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        ClassBytes(String name) {
            super(URI.create("bytes:///" + name + Kind.CLASS.extension), Kind.CLASS);
        }
        @Override public OutputStream openOutputStream() { return bytes; }
    }

    static final class MemoryLoader extends ClassLoader {
        final Map<String, ClassBytes> classes;
        MemoryLoader(Map<String, ClassBytes> classes) {
            super(JitStacks.class.getClassLoader());
            this.classes = classes;
        }
        @Override protected Class<?> findClass(String name) throws ClassNotFoundException {
            ClassBytes c = classes.get(name);
            if (c == null) throw new ClassNotFoundException(name);
            byte[] b = c.bytes.toByteArray();
            return defineClass(name, b, 0, b.length);
        }
    }

    @SuppressWarnings("unchecked")
    static String compileAndRun(int task) throws Exception {
        JavaCompiler compiler = ToolProvider.getSystemJavaCompiler();
        Map<String, ClassBytes> out = new HashMap<>();
        List<Source> sources = new ArrayList<>();
        for (int i = 0; i < 6; i++) {
            String name = "Gen" + task + "x" + i;
            sources.add(new Source(name, source(name, 7 + task * 13 + i)));
        }
        var standard = compiler.getStandardFileManager(null, Locale.ROOT, null);
        var manager = new ForwardingJavaFileManager<>(standard) {
            @Override public JavaFileObject getJavaFileForOutput(Location location, String className,
                    JavaFileObject.Kind kind, FileObject sibling) {
                ClassBytes c = new ClassBytes(className);
                out.put(className, c);
                return c;
            }
        };
        if (!compiler.getTask(null, manager, null, List.of("-proc:none"), null, sources).call()) {
            throw new IllegalStateException("compilation failed in task " + task);
        }
        MemoryLoader loader = new MemoryLoader(out);
        StringBuilder result = new StringBuilder("compile " + task + ":");
        for (Source s : sources) {
            String name = s.getName().replaceAll("^/|\\.java$", "");
            var f = (java.util.function.IntFunction<String>) loader.loadClass(name).getDeclaredConstructor().newInstance();
            result.append(' ').append(f.apply(200));
        }
        return result.toString();
    }

    // ---- zlib from hot loops ----

    static byte[] data(int seed, int length) {
        byte[] b = new byte[length];
        int x = seed * 0x9E3779B9 + 1;
        for (int i = 0; i < length; i++) {
            x ^= x << 13; x ^= x >>> 17; x ^= x << 5;
            b[i] = (byte) ("native heap stack frame ".charAt((x >>> 8) % 24));
        }
        return b;
    }

    static byte[] deflate(byte[] input) {
        Deflater deflater = new Deflater(6);
        try {
            deflater.setInput(input);
            deflater.finish();
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] chunk = new byte[4096];
            while (!deflater.finished()) out.write(chunk, 0, deflater.deflate(chunk));
            return out.toByteArray();
        } finally {
            deflater.end();
        }
    }

    static byte[] inflate(byte[] input, int length) throws DataFormatException {
        Inflater inflater = new Inflater();
        try {
            inflater.setInput(input);
            byte[] out = new byte[length];
            int got = 0;
            while (got < length && !inflater.finished()) got += inflater.inflate(out, got, length - got);
            return out;
        } finally {
            inflater.end();
        }
    }

    static String zlibRounds(int task) throws DataFormatException {
        CRC32 crc = new CRC32();
        long bytes = 0;
        for (int round = 0; round < 400; round++) {
            byte[] input = data(task * 1000 + round, 2048 + (round % 7) * 512);
            byte[] back = inflate(deflate(input), input.length);
            crc.update(back);
            bytes += back.length;
            ByteBuffer direct = ByteBuffer.allocateDirect(1024 + round % 3 * 4096);
            direct.put(back, 0, Math.min(back.length, direct.capacity()));
        }
        return "zlib " + task + ": " + bytes + " bytes, crc " + Long.toHexString(crc.getValue());
    }

    // ---- a loopback HTTP server and its clients ----

    static String httpRounds(int task, int port) throws IOException, DataFormatException {
        CRC32 crc = new CRC32();
        for (int round = 0; round < 60; round++) {
            byte[] body = data(task * 7919 + round, 4096);
            HttpURLConnection c = (HttpURLConnection) new URL("http://127.0.0.1:" + port + "/echo").openConnection();
            c.setDoOutput(true);
            c.setRequestMethod("POST");
            try (OutputStream out = c.getOutputStream()) {
                out.write(body);
            }
            byte[] reply;
            try (InputStream in = c.getInputStream()) {
                reply = in.readAllBytes();
            }
            crc.update(inflate(reply, body.length));
        }
        String words = IntStream.range(0, 50).mapToObj(i -> Integer.toString(i * task, 36))
                .collect(Collectors.joining(","));
        return "http " + task + ": crc " + Long.toHexString(crc.getValue()) + " words " + words.length();
    }
}
