#!/bin/sh
# jit_under_tracker.sh QUARROW JAVA CLASSES WORKDIR
#
# JitStacks on a 32-bit or 64-bit VM with its JIT, under `quarrow run` at stack
# depth 64: compiled Java code calls allocating natives (zlib, direct
# buffers, the compiler's own natives) on many threads, and leaves garbage
# in the frame-pointer register below them. Tracking must never crash the VM, in any capture
# method, at depth 64 and at the 1024 cap; the output must equal the plain
# run's; check mode must find no mismatch (a capture whose stack the VM
# rewrote between the walks is walked again, and counted apart).
#
# Where 32-bit programs run only through an emulator, the VM runs
# interpreted (-Xint: the emulator mishandles the VM's compiled code with or
# without the tracker), on a smaller scale, once per method.
set -u
quarrow=$1 java=$2 classes=$3 work=$4
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -x "$java" ] || fail "$java is missing: run scripts/install-java.sh"
[ -f "$classes/JitStacks.class" ] || fail "$classes/JitStacks.class is missing: the compiler was not found at build time"
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
  vm_flags=-Xint scale=1 runs="fast:64 backtrace:64 check:64"
  echo "VM mode: interpreted (-Xint): 32-bit programs run through an emulator here"
else
  # The default collector: its lazily committed regions are what a garbage
  # ebp most often points into, and reading them faults.
  echo "VM mode: JIT on, default collector: $bits-bit programs run natively here"
  vm_flags= scale=3
  runs="fast:64 fast:64 fast:64 fast:1024 backtrace:64 check:64"
fi
set -- $vm_flags -XX:+DisplayVMOutputToStderr -XX:ErrorLogTimeout=5 -cp "$classes" JitStacks $scale

"$java" "$@" >plain.out 2>plain.err
status=$?
[ $status -eq 0 ] || { cat plain.err >&2; fail "the VM alone exited with $status"; }
[ "$(tail -n 1 plain.out)" = done ] || fail "JitStacks did not finish"

n=0
for run in $runs; do
  n=$((n + 1))
  method=${run%:*} depth=${run#*:}
  rm -f native_memory_*.log
  PROFILER_UNWINDER=$method "$quarrow" run --write-period 5 --stack-depth "$depth" -- "$java" "$@" \
    >tracked$n.out 2>tracked$n.err
  status=$?
  echo "run $n: $method at depth $depth exited with $status"
  if [ $status -ne 0 ]; then
    cat tracked$n.err >&2
    grep -h -A 12 'Problematic frame' hs_err_pid*.log >&2 2>/dev/null
    fail "the VM under the tracker ($method, depth $depth) exited with $status"
  fi
  cmp -s plain.out tracked$n.out || { diff plain.out tracked$n.out >&2; fail "the output differs under the tracker"; }
  grep -q "Linux Quarrow Version 1.0 Configured" tracked$n.err || fail "no banner"
  grep -q "^Profiler stack depth=$depth\$" tracked$n.err || fail "the depth $depth was not taken"
  report=$(sed -n 's/^quarrow run: tracking PID [0-9]*; report: //p' tracked$n.err)
  [ -n "$report" ] && [ -f "$report" ] && grep -q '^TYPE:ALLOCATOR$' "$report" || fail "no report with allocations"
  # The launcher makes producers wait for room: nothing may be lost.
  discarded=$(sed -n 's/^DISCARDED_EVENTS:\([0-9]*\)$/\1/p' "$report" | awk '{ s += $1 } END { print s + 0 }')
  echo "run $n: $discarded events discarded"
  [ "$discarded" -eq 0 ] || fail "$discarded events were discarded under the launcher's default"
  if [ "$method" = check ]; then
    grep '^QUARROW UNWINDER' tracked$n.err
    line=$(grep '^QUARROW UNWINDER CHECK: [0-9]* captures compared' tracked$n.err)
    compared=$(printf '%s\n' "$line" | sed -n 's/^QUARROW UNWINDER CHECK: \([0-9]*\) captures compared, \([0-9]*\) mismatches.*/\1/p')
    mismatched=$(printf '%s\n' "$line" | sed -n 's/^QUARROW UNWINDER CHECK: \([0-9]*\) captures compared, \([0-9]*\) mismatches.*/\2/p')
    [ -n "$compared" ] && [ "$compared" -gt 0 ] || fail "check mode compared nothing: $line"
    [ "$mismatched" -eq 0 ] || fail "$mismatched captures differed from backtrace"
    grep -q "^QUARROW UNWINDER CHECK: [0-9]* captures cut where backtrace would have left the thread's stack\$" \
      tracked$n.err || fail "no count of the captures cut at the stack's edge"
    grep -q "^QUARROW UNWINDER CHECK: [0-9]* captures differed once and agreed when walked again" tracked$n.err ||
      fail "no count of the captures walked again"
  fi
done
echo "PASS"
