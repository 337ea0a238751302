#!/usr/bin/env bash
# Times duosplit against copies of the same input, on disk and on tmpfs:
#  - a 128 MiB input against `dd bs=64K` and `cat` copying it, with new
#    outputs (removed before each run, untimed) and with outputs overwritten;
#  - 1000 inputs of 100 KiB converted in one run against one `cp` copying them;
#  - duosplit's peak resident memory at 128 MiB and 512 MiB.
#
#   bench/run.sh [path/to/duosplit]     (default: build/release/duosplit)
#
# The disk directory is made under $TMPDIR (default /tmp), the tmpfs one under
# /dev/shm; each input is in the page cache before it is timed. Commands take
# turns run by run: each round runs duosplit and its rivals one after the
# other, in an order that rotates, so that paired runs meet the same state of
# the machine; the figures are the medians over the rounds (ROUNDS, default
# 15) after two warm-up rounds.
# Wall time is from start to exit of the program itself, CPU time its user
# plus system time, both from python3's posix_spawn and wait4. About a
# minute with the default rounds on a 2-core machine; needs python3 and
# /usr/bin/time.
set -euo pipefail

exe=$(realpath "${1:-build/release/duosplit}")
disk=$(mktemp -d "${TMPDIR:-/tmp}/duosplit-bench.XXXXXX")
tmpfs=$(mktemp -d /dev/shm/duosplit-bench.XXXXXX)
trap 'rm -rf "$disk" "$tmpfs"' EXIT

python3 - "$exe" "$disk" "$tmpfs" "${ROUNDS:-15}" <<'PY'
import glob, os, random, statistics, sys, time

exe, disk, tmpfs, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
places = {"disk": disk, "tmpfs": tmpfs}
print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")

# Deterministic legal frames: headers with filters 0-3 and shifts 0-12,
# sample bytes from a fixed-seed generator; 1 MiB repeated to the size asked.
rng = random.Random(20261206)
mib = bytearray()
while len(mib) < 1 << 20:
    mib += bytes([rng.randrange(4) << 4 | rng.randrange(13), rng.randrange(4) << 4 | rng.randrange(13), 0, 0])
    mib += rng.randbytes(28)
mib = bytes(mib[: 1 << 20])
def make(path, size):
    with open(path, "wb") as out:
        for at in range(0, size, len(mib)):
            out.write(mib[: min(len(mib), size - at)])
for where in places.values():
    make(f"{where}/in.adp", 128 << 20)
    os.mkdir(f"{where}/many")
    os.mkdir(f"{where}/copies")
    for i in range(1000):
        make(f"{where}/many/f{i:04}.adp", 100 << 10)
make(f"{disk}/in512.adp", 512 << 20)

devnull = os.open(os.devnull, os.O_WRONLY)
def run(argv, stdout=None):
    """Runs argv (standard output to the file `stdout`, else discarded): wall and CPU seconds."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)] if stdout \
        else [(os.POSIX_SPAWN_DUP2, devnull, 1)]
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv[0]} failed: status {status}")
    return wall, usage.ru_utime + usage.ru_stime

def remove(pattern):
    for path in glob.glob(pattern):
        os.remove(path)

def tools(where):
    """Each rival: its command, where its standard output goes, and what it writes."""
    source = f"{where}/in.adp"
    return {"duosplit": ([exe, source], None, f"{where}/in_[LR].dsp"),
            "dd": (["dd", f"if={source}", f"of={where}/dd.bin", "bs=64K", "status=none"], None, f"{where}/dd.bin"),
            "cat": (["cat", source], f"{where}/cat.bin", f"{where}/cat.bin")}

def many(where):
    names = [f"{where}/many/f{i:04}.adp" for i in range(1000)]
    return {"duosplit": ([exe] + names, None, f"{where}/many/*.dsp"),
            "cp": (["cp", "-t", f"{where}/copies"] + names, None, f"{where}/copies/*")}

def measure(cases, count):
    """cases: {case: (new outputs?, {tool: (argv, stdout, outputs)})}; gives {case: {tool: [(wall, cpu)]}}."""
    times = {case: {tool: [] for tool in rivals} for case, (_, rivals) in cases.items()}
    for r in range(count + 2):
        for case, (new, rivals) in cases.items():
            order = list(rivals)
            for tool in order[r % len(order):] + order[: r % len(order)]:
                argv, stdout, outputs = rivals[tool]
                if new:
                    remove(outputs)
                wall, cpu = run(argv, stdout)
                if r >= 2:
                    times[case][tool].append((wall, cpu))
    return times

def median(samples, i):
    return statistics.median(s[i] for s in samples)

cases = {(place, new): (new, tools(where)) for place, where in places.items() for new in (True, False)}
times = measure(cases, rounds)
print(f"\n128 MiB input, {rounds} rounds: median wall time in ms (CPU time in brackets), and duosplit's ratios")
print(f"{'':<24}{'duosplit':>14}{'dd bs=64K':>14}{'cat':>14}{'/ dd':>8}{'/ cat':>8}{'CPU / dd':>10}")
for (place, new), by in times.items():
    d, c, k = by["duosplit"], by["dd"], by["cat"]
    cells = "".join(f"{median(t, 0) * 1e3:>7.1f} [{median(t, 1) * 1e3:>4.0f}]" for t in (d, c, k))
    print(f"{place + (', new outputs' if new else ', overwritten'):<24}{cells}"
          f"{median(d, 0) / median(c, 0):>8.2f}{median(d, 0) / median(k, 0):>8.2f}{median(d, 1) / median(c, 1):>10.2f}")

times = measure({place: (True, many(where)) for place, where in places.items()}, rounds)
print(f"\n1000 inputs of 100 KiB in one run, new outputs, {rounds} rounds: median wall time per file in µs")
print(f"{'':<24}{'duosplit':>10}{'cp':>10}{'/ cp':>8}")
for place, by in times.items():
    d, c = median(by["duosplit"], 0) * 1e3, median(by["cp"], 0) * 1e3
    print(f"{place:<24}{d:>10.1f}{c:>10.1f}{d / c:>8.2f}")

# Through /usr/bin/time: a child spawned from python3 itself would carry the
# interpreter's peak into its own across the exec.
def peak(name):
    run(["/usr/bin/time", "-f", "%M", "-o", f"{disk}/peak.txt", exe, f"{disk}/{name}"])
    return int(open(f"{disk}/peak.txt").read())
peaks = [max(peak(name) for _ in range(3)) for name in ("in.adp", "in512.adp")]
print(f"\npeak resident memory: {peaks[0]} KiB at 128 MiB, {peaks[1]} KiB at 512 MiB")
print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
PY
