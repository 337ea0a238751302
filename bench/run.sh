#!/usr/bin/env bash
# Times duosplit against dd copying the same input, and measures duosplit's
# peak resident memory at 128 MiB and 512 MiB of input.
#
#   bench/run.sh [path/to/duosplit]     (default: build/release/duosplit)
#
# Needs python3 and /usr/bin/time; uses hyperfine when it is installed, else
# date and awk. Prints the fastest and the median run of each command and both
# ratios: the medians are the steadier figure on a machine with noisy I/O.
set -euo pipefail

exe=$(realpath "${1:-build/release/duosplit}")
work=$(mktemp -d "${TMPDIR:-/tmp}/duosplit-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Deterministic legal frames: headers with filters 0-3 and shifts 0-12,
# sample bytes from a fixed-seed generator; 1 MiB repeated to the size asked.
make_input() {  # name, MiB
    python3 - "$1" "$2" <<'PY'
import random, sys
name, mib = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261206)
frames = bytearray()
while len(frames) < 1 << 20:
    frames += bytes([rng.randrange(4) << 4 | rng.randrange(13), rng.randrange(4) << 4 | rng.randrange(13), 0, 0])
    frames += rng.randbytes(28)
with open(name, "wb") as out:
    for _ in range(mib):
        out.write(frames[: 1 << 20])
PY
}

make_input in128.adp 128
make_input in512.adp 512

convert="$exe in128.adp"
copy="dd if=in128.adp of=copy.bin bs=64K status=none"

# The two commands take turns, in 5 rounds of 5 runs each after a warm-up, so
# that both meet the same state of the machine's I/O.
: >times.txt
if command -v hyperfine >/dev/null; then
    for round in 1 2 3 4 5; do
        hyperfine --warmup 2 --runs 5 --style none --export-json "round$round.json" "$convert" "$copy" >/dev/null 2>&1
        python3 -c 'import json, sys; r = json.load(open(sys.argv[1]))["results"]; print(*r[0]["times"]); print(*r[1]["times"])' \
            "round$round.json" >>times.txt
    done
else
    elapsed() { local t0 t1; t0=$(date +%s%N); $1 >/dev/null; t1=$(date +%s%N); awk "BEGIN { print ($t1 - $t0) / 1e9 }"; }
    $convert >/dev/null; $copy
    for round in 1 2 3 4 5; do
        line1=; line2=
        for run in 1 2 3 4 5; do line1+=" $(elapsed "$convert")"; line2+=" $(elapsed "$copy")"; done
        echo "$line1" >>times.txt; echo "$line2" >>times.txt
    done
fi

peak() { /usr/bin/time -f %M "$exe" "$1" 2>&1 >/dev/null | tail -n 1; }
m128=$(peak in128.adp)
m512=$(peak in512.adp)

python3 - "$m128" "$m512" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open("times.txt")]
convert = [t for row in rows[0::2] for t in row]
copy = [t for row in rows[1::2] for t in row]
c_min, d_min = min(convert), min(copy)
c_med, d_med = statistics.median(convert), statistics.median(copy)
print(f"128 MiB, {len(convert)} runs each: duosplit {c_min * 1000:.1f} ms fastest, {c_med * 1000:.1f} ms median;"
      f" dd bs=64K {d_min * 1000:.1f} ms fastest, {d_med * 1000:.1f} ms median")
print(f"ratio duosplit/dd: {c_min / d_min:.2f} (fastest runs), {c_med / d_med:.2f} (medians)")
print(f"peak resident memory: {sys.argv[1]} KiB at 128 MiB, {sys.argv[2]} KiB at 512 MiB")
PY
