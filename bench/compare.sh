#!/usr/bin/env bash
# Times cp, the bare copy loop (copyFloor), packLoadable and stampPack on one large input with
# the page cache warm, taking turns over several runs, and prints each program's median time,
# its ratio to the floor and to cp, and its peak resident memory. The floor is the plain
# read-and-write copy in the packers' block size that any program has to make when it must see
# the bytes (cp lets the kernel copy them instead).
#
#   bench/compare.sh [BIN_DIR]     BIN_DIR holds packLoadable, stampPack, copyFloor (default build/bin)
#   RUNS=9 SIZE_MIB=1024 bench/compare.sh
#
# Each timed run starts after `sync`, so that writing back the previous run's output does not
# land on the next one's clock; the outputs are removed between runs, so every program creates
# its file anew, as cp does.
set -euo pipefail

bin=${1:-build/bin}
runs=${RUNS:-7}
sizeMib=${SIZE_MIB:-1024}
for tool in "$bin/packLoadable" "$bin/stampPack" "$bin/copyFloor" /usr/bin/time; do
  [[ -x $tool ]] || { echo "compare.sh: $tool not found (build first; /usr/bin/time is Debian's 'time' package)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/packBench.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c $((sizeMib << 20)) /dev/urandom > "$work/input"
cat "$work/input" > /dev/null  # warm the page cache

names=(cp floor packLoadable stampPack)
commands=(
  "cp $work/input $work/copy"
  "$bin/copyFloor $work/input $work/copy"
  "$bin/packLoadable $work/input $work/packed name 80008000 80008000"
  "$bin/stampPack $work/input $work/stamped"
)
# Signing too, where openssl can make a key and packLoadable was built to sign.
if openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/key.pem" 2> /dev/null &&
   "$bin/packLoadable" --sign "$work/key.pem" "$work/key.pem" "$work/probe" name 0 0 > /dev/null 2>&1; then
  names+=(signed)
  commands+=("$bin/packLoadable --sign $work/key.pem $work/input $work/packed name 80008000 80008000")
fi

# One timed run: prints "seconds peakKiB".
timeOnce() {
  rm -f "$work/copy" "$work/packed.img" "$work/stamped"
  sync
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/memory" $1 > /dev/null
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 )) $(cat "$work/memory")"
}

declare -A times memory
for ((run = 0; run < runs; run++)); do
  for i in "${!names[@]}"; do
    read -r micros kib < <(timeOnce "${commands[$i]}")
    times[${names[$i]}]+="$micros "
    memory[${names[$i]}]=$kib
  done
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

cpMedian=$(median <<< "${times[cp]}")
floorMedian=$(median <<< "${times[floor]}")
echo "input ${sizeMib} MiB, page cache warm, ${runs} runs each, $(nproc) cores, $(uname -m)"
printf '%-14s %10s %9s %8s %12s\n' program "median s" "vs floor" "vs cp" "peak RSS"
for name in "${names[@]}"; do
  m=$(median <<< "${times[$name]}")
  awk -v name="$name" -v m="$m" -v floor="$floorMedian" -v cp="$cpMedian" -v kib="${memory[$name]}" \
    'BEGIN { printf "%-14s %10.3f %8.2fx %7.2fx %8.1f MiB\n", name, m / 1e6, m / floor, m / cp, kib / 1024 }'
done
if [[ -n ${times[signed]-} ]]; then
  awk -v signed="$(median <<< "${times[signed]}")" -v packed="$(median <<< "${times[packLoadable]}")" \
    'BEGIN { printf "signing costs %.3f s more than packing\n", (signed - packed) / 1e6 }'
fi
