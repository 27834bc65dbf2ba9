#!/usr/bin/env bash
# Instructions per exchange, counted by callgrind. The counts repeat exactly
# from run to run, so unlike a timed test this is a fair regression guard.
#
#   bench/instructions.sh EXCHANGE_BENCH [CRC_BENCH]
#
# Runs `EXCHANGE_BENCH --count WORKLOAD N` under callgrind with collection on
# only around the driver's turns, takes off what the markers cost by
# themselves, and prints instructions per period: one exchange pair
# (ComCommunication + DataCom), the two pairs of a bit write, or for the mix
# a write and four reads. Fails when the local read pair costs more than the
# goal plus the margin.
#
# With CRC_BENCH it also counts CalCRC, Boost's crc_optimal and the bitwise
# form per call on 8 and 256 bytes, and fails when CalCRC needs more
# instructions than crc_optimal.
#
# Environment: PLC_PAIR_GOAL (default 2500), PLC_PAIR_MARGIN percent (5),
# PLC_PAIRS periods per workload (1000).
set -euo pipefail

exchange_bench="${1:?usage: instructions.sh EXCHANGE_BENCH [CRC_BENCH]}"
crc_bench="${2:-}"
goal="${PLC_PAIR_GOAL:-2500}"
margin="${PLC_PAIR_MARGIN:-5}"
periods="${PLC_PAIRS:-1000}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Instructions collected while running the command under callgrind.
collected() {
  local out="$work/callgrind.out"
  rm -f "$out"
  if ! valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" "$@" \
        >"$work/stdout" 2>"$work/stderr"; then
    cat "$work/stdout" "$work/stderr" >&2
    echo "instructions.sh: failed: $*" >&2
    exit 1
  fi
  awk '$1 == "totals:" { t = $2 } $1 == "summary:" && t == "" { s = $2 }
       END { print (t != "" ? t : (s != "" ? s : 0)) }' "$out"
}

per() {  # per TOTAL BASE COUNT: (TOTAL - BASE) / COUNT with one decimal
  awk -v t="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.1f", (t - b) / n }'
}

markers="$(collected "$exchange_bench" --count empty "$periods")"
printf '%-16s %12s\n' "exchange" "instr/period"
declare -A cost
for workload in local_read remote_read register_write bit_write mix reference; do
  total="$(collected "$exchange_bench" --count "$workload" "$periods")"
  cost[$workload]="$(per "$total" "$markers" "$periods")"
  printf '%-16s %12s\n' "$workload" "${cost[$workload]}"
done

status=0
limit="$(awk -v g="$goal" -v m="$margin" 'BEGIN { printf "%d", g * (100 + m) / 100 }')"
pair="${cost[local_read]}"
if awk -v c="$pair" -v l="$limit" 'BEGIN { exit !(c <= l) }'; then
  verdict="met"
  awk -v c="$pair" -v g="$goal" 'BEGIN { exit !(c > g) }' && verdict="within the margin"
else
  verdict="NOT met"
  status=1
fi
echo "Goal, at most $goal instructions per local read pair (guard $limit): $pair, $verdict"

if [[ -n "$crc_bench" ]]; then
  calls=1000
  printf '\n%-8s %10s %10s %10s\n' "CRC" "CalCRC" "optimal" "bitwise"
  for size in 8 256; do
    declare -A crc=()
    for form in calcrc boost bitwise; do
      crc[$form]="$(per "$(collected "$crc_bench" --count "$form" "$size" "$calls")" 0 "$calls")"
    done
    printf '%-8s %10s %10s %10s\n' "$size B" "${crc[calcrc]}" "${crc[boost]}" "${crc[bitwise]}"
    if ! awk -v a="${crc[calcrc]}" -v b="${crc[boost]}" 'BEGIN { exit !(a <= b) }'; then
      echo "CalCRC needs more instructions than crc_optimal on $size bytes"
      status=1
    fi
  done
fi
exit "$status"
