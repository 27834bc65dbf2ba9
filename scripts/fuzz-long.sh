#!/bin/sh
# A long run of the sequence fuzzer: INPUTS inputs (default 10^7) shared by
# WORKERS chains of processes (default: one per core) on one corpus in DIR
# (default build/fuzz-long/run), seeded from the committed corpus.
#
#   scripts/fuzz-long.sh [INPUTS [WORKERS [DIR]]]
#
# Each process runs at most 100000 inputs: AddressSanitizer's bookkeeping
# grows with a process's age and would blur the bound on a call's work, and a
# fresh process gives a fresh point on the memory curve. FUZZER (default the
# fuzz-long preset's build, UBSan only) may name the fuzz preset's binary to
# run with AddressSanitizer too. Findings are written to DIR as wN-crash-*,
# the memory curve to DIR/memory-N.log (inputs in the process, heap bytes,
# resident bytes), libFuzzer's output to DIR/worker-N.log. A finding stops
# its chain; the script then exits 1.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
inputs=${1:-10000000}
workers=${2:-$(nproc)}
dir=${3:-$root/build/fuzz-long/run}
fuzzer=${FUZZER:-$root/build/fuzz-long/fuzz/sequence_fuzz}
per=100000

case $inputs$workers in *[!0-9]*) echo "usage: $0 [INPUTS [WORKERS [DIR]]]" >&2; exit 2 ;; esac
if [ "$workers" -lt 1 ] || [ "$inputs" -lt 1 ]; then
  echo "usage: $0 [INPUTS [WORKERS [DIR]]]" >&2
  exit 2
fi
if [ ! -x "$fuzzer" ]; then
  cmake --preset fuzz-long >/dev/null
  cmake --build --preset fuzz-long --target sequence_fuzz
fi
mkdir -p "$dir/corpus"
cp -n "$root"/fuzz/corpus/sequence/* "$dir/corpus/"
cd "$dir"

[ "$inputs" -lt "$per" ] && per=$inputs
# Inputs per worker, rounded up to whole processes.
processes=$(((inputs + per * workers - 1) / (per * workers)))
echo "$workers workers x $processes processes x $per inputs, in $dir"
pids=
w=1
while [ "$w" -le "$workers" ]; do
  (
    i=1
    while [ "$i" -le "$processes" ]; do
      if ! PLC_FUZZ_MEMORY_LOG=memory-$w.log "$fuzzer" -seed=$((100000 * w + i)) -runs=$per \
        -max_len=256 -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix=w$w- corpus >>worker-$w.log 2>&1; then
        echo "worker $w: finding in process $i" | tee -a worker-$w.log
        exit 1
      fi
      echo "worker $w: process $i done $(date +%T)" >>worker-$w.log
      i=$((i + 1))
    done
  ) &
  pids="$pids $!"
  w=$((w + 1))
done

status=0
for pid in $pids; do wait "$pid" || status=1; done
executed=$(grep -h '^stat::number_of_executed_units' worker-*.log | awk '{n += $2} END {print n + 0}')
echo "$executed inputs executed; $(ls | grep -c -- '-crash-\|-leak-\|-timeout-\|-oom-' || true) findings"
exit $status
