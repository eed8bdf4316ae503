#!/bin/sh
# jvm_under_tracker.sh QUARROW JAVA CLASSES WORKDIR [UNWINDER]
#
# Runs NativeHeavy on a 32-bit or 64-bit VM plainly, then under `quarrow run`, and
# checks: the same output, exit status 0 both times, a report whose
# ALLOCATOR records have frames in the VM's own libraries, and that the
# report reader names the top stacks' frames in libjvm.so.
#
# UNWINDER, when given, is the tracked run's PROFILER_UNWINDER. With "check"
# every capture is taken both ways and compared, and the run must also end
# with one count line saying that some were compared and none differed: the
# VM's interpreter, its stubs and its libraries are code the engine has to
# follow exactly as the C library's backtrace does.
#
# Where 32-bit programs run natively the VM runs as people run it, with its
# JIT and its default collector. Only under the emulator that runs them on
# x86_64 machines without 32-bit kernel support does it run interpreted
# (-Xint): that emulator hands a thread another thread's TLS after a signal
# handler returns, which the VM's compiled code trips over (with or without
# the tracker). The script says which mode it used.
#
# The launcher makes producers wait for room, so no run may lose an event.
set -u
quarrow=$1 java=$2 classes=$3 work=$4 unwinder=${5-}
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$(dirname "$0")/../tracked_run_checks.sh"

[ -x "$java" ] || fail "$java is missing: run scripts/install-java.sh"
[ -f "$classes/NativeHeavy.class" ] || fail "$classes/NativeHeavy.class is missing: the compiler was not found at build time"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || fail "cannot make $work"

# Only a 32-bit VM can be emulated here (its ELF class byte is 1); a 64-bit
# one always runs natively.
bits=32
[ "$(od -An -tu1 -j4 -N1 "$java" | tr -d ' ')" = 2 ] && bits=64
emulated=no
if [ $bits = 32 ]; then
  for entry in /proc/sys/fs/binfmt_misc/*; do
    grep -q '^enabled' "$entry" 2>/dev/null && grep -q 'qemu-i386' "$entry" 2>/dev/null && emulated=yes
  done
fi
if [ $emulated = yes ]; then
  echo "VM mode: interpreted (-Xint, serial collector): 32-bit programs run through an emulator here"
  set -- -Xint -XX:+UseSerialGC
else
  echo "VM mode: JIT on, default collector: $bits-bit programs run natively here"
  set --
fi
set -- "$@" -XX:+DisplayVMOutputToStderr -XX:ErrorLogTimeout=5 -cp "$classes" NativeHeavy

"$java" "$@" >plain.out 2>plain.err
status=$?
[ $status -eq 0 ] || { cat plain.err >&2; fail "the VM alone exited with $status"; }

tracked_run() {
  if [ -n "$unwinder" ]; then
    PROFILER_UNWINDER=$unwinder "$quarrow" run --write-period 5 -- "$java" "$@" >tracked.out 2>tracked.err
  else
    "$quarrow" run --write-period 5 -- "$java" "$@" >tracked.out 2>tracked.err
  fi
}
# The VM handles SIGSEGV in its own code and in ours: it writes an error
# report and aborts. A tracked run now and then ends by a bare SIGSEGV with
# no report instead; where a core file was kept, it was the emulator that
# runs 32-bit programs here that went down, and builds from before the
# capture engine do the same. Such a run is repeated, at most twice, and
# said so; any other failure, a VM error report included, counts at once.
for attempt in 1 2 3; do
  tracked_run "$@"
  status=$?
  # The launcher's last line tells its own death from the VM's.
  if grep -q '^quarrow run: the launcher itself died' tracked.err; then
    cat tracked.err >&2
    fail "the launcher itself died (its status $status is not the VM's)"
  fi
  [ $status -eq 139 ] && ! grep -q 'A fatal error has been detected' tracked.err && [ $attempt -lt 3 ] || break
  echo "the tracked VM ended by a bare SIGSEGV with no VM error report; running it again" >&2
  rm -f native_memory_*.log
done
cat tracked.err >&2
[ $status -eq 0 ] || fail "the VM under the tracker exited with $status"
cmp -s plain.out tracked.out || { diff plain.out tracked.out >&2; fail "the output differs under the tracker"; }
[ -s tracked.out ] || fail "NativeHeavy printed nothing"

find_report
if [ "$unwinder" = check ]; then
  check_unwinder_counts
  grep "^QUARROW UNWINDER CHECK: [0-9]* captures cut" tracked.err || fail "no count of the captures cut at the stack's edge"
  grep "^QUARROW UNWINDER CHECK: [0-9]* captures differed once and agreed when walked again" tracked.err ||
    fail "no count of the captures walked again"
fi

# ALLOCATOR records of the last complete report with a frame in the object
# named by $1 (a file name such as libjvm.so).
allocators_in() {
  awk -v object="/$1(" '
    /^TIMESTAMP:/ { count = 0 }
    /^STACK_/ { if (index($0, object)) hit = 1; next }
    /^TYPE:ALLOCATOR$/ { if (hit) count++ }
    /^TYPE:/ { hit = 0 }
    /^END$/ { last = count }
    END { print last + 0 }
  ' "$report"
}
for object in libjvm.so libzip.so libjava.so; do
  n=$(allocators_in $object)
  echo "ALLOCATOR records with a frame in $object: $n"
  [ "$n" -gt 0 ] || fail "no ALLOCATOR record names $object"
done
check_reader_takes_report "$quarrow"

# The top stacks' frames in the VM must be named wherever the VM's symbol
# table (.symtab, far larger than the dynamic one) covers the address;
# binutils' addr2line is the independent judge of that.
libjvm=$(sed -n 's/^STACK_[0-9]*:\(.*\/libjvm\.so\)(0x[0-9a-f]*):.*/\1/p' "$report" | head -n 1)
[ -f "$libjvm" ] || fail "no libjvm.so frame in the report"
symbols=$(nm "$libjvm" 2>/dev/null | wc -l)
echo "$libjvm: $symbols .symtab entries"
[ "$symbols" -gt 1000 ] || fail "$libjvm has no .symtab to name its frames from"
! grep -q "warning: $libjvm:" summary.err || fail "the reader could not use $libjvm"
grep ' in libjvm\.so$' summary.txt >jvm_frames.txt
named=$(grep -vc '^ *\*Unknown\*' jvm_frames.txt)
echo "frames in libjvm.so of the top stacks: $(wc -l <jvm_frames.txt), named: $named"
sed -n '1,5p' jvm_frames.txt
[ "$named" -gt 0 ] || fail "no frame of the top stacks in libjvm.so is named"
for address in $(sed -n 's/^ *\*Unknown\* at \(0x[0-9a-f]*\) in libjvm\.so$/\1/p' jvm_frames.txt); do
  function=$(addr2line -f -e "$libjvm" "$(printf '%#x' $((address - 1)))" | head -n 1)
  [ "$function" = "??" ] || fail "the frame at $address in libjvm.so is unnamed, but .symtab has $function there"
done
echo "PASS"
