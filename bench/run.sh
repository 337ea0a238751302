#!/usr/bin/env bash
# Times duosplit against programs that write the same bytes, on disk and on
# tmpfs:
#  - a 128 MiB input against `split -n 2` cutting it into two files (the peer
#    with two outputs), and `dd bs=64K` and `cat` copying it, with new outputs
#    (removed before each run, untimed) and with outputs overwritten;
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
# Wall time is from start to exit of the program itself, user and system
# time its own, all from python3's posix_spawn and wait4. Last it prints each
# goal the project sets for these figures, with the measured value. About two
# minutes with the default rounds on a 2-core machine; needs python3 and
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
    """Runs argv (standard output to the file `stdout`, else discarded): wall, user and system seconds."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)] if stdout \
        else [(os.POSIX_SPAWN_DUP2, devnull, 1)]
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv[0]} failed: status {status}")
    return wall, usage.ru_utime, usage.ru_stime

def remove(pattern):
    for path in glob.glob(pattern):
        os.remove(path)

def tools(where):
    """Each rival: its command, where its standard output goes, and what it writes."""
    source = f"{where}/in.adp"
    return {"duosplit": ([exe, source], None, f"{where}/in_[LR].dsp"),
            "split": (["split", "-n", "2", source, f"{where}/split."], None, f"{where}/split.a[ab]"),
            "dd": (["dd", f"if={source}", f"of={where}/dd.bin", "bs=64K", "status=none"], None, f"{where}/dd.bin"),
            "cat": (["cat", source], f"{where}/cat.bin", f"{where}/cat.bin")}

def many(where):
    names = [f"{where}/many/f{i:04}.adp" for i in range(1000)]
    return {"duosplit": ([exe] + names, None, f"{where}/many/*.dsp"),
            "cp": (["cp", "-t", f"{where}/copies"] + names, None, f"{where}/copies/*")}

def measure(cases, count):
    """cases: {case: (new outputs?, {tool: (argv, stdout, outputs)})}; gives {case: {tool: [(wall, user, sys)]}}."""
    times = {case: {tool: [] for tool in rivals} for case, (_, rivals) in cases.items()}
    for r in range(count + 2):
        for case, (new, rivals) in cases.items():
            order = list(rivals)
            for tool in order[r % len(order):] + order[: r % len(order)]:
                argv, stdout, outputs = rivals[tool]
                if new:
                    remove(outputs)
                sample = run(argv, stdout)
                if r >= 2:
                    times[case][tool].append(sample)
    return times

def median(samples, i):
    return statistics.median(s[i] for s in samples)

def ms(samples, i):
    return median(samples, i) * 1e3

goals = []  # (goal, measured, limit)
cases = {(place, new): (new, tools(where)) for place, where in places.items() for new in (True, False)}
times = measure(cases, rounds)
names = {"duosplit": "duosplit", "split": "split -n 2", "dd": "dd bs=64K", "cat": "cat"}
print(f"\n128 MiB input, {rounds} rounds: median wall time in ms, and duosplit's wall time over each rival's")
print(f"{'':<26}" + "".join(f"{name:>12}" for name in names.values()) + f"{'/ split':>9}{'/ dd':>7}{'/ cat':>7}")
for (place, new), by in times.items():
    case = place + (", new outputs" if new else ", overwritten")
    ratios = {tool: ms(by["duosplit"], 0) / ms(by[tool], 0) for tool in ("split", "dd", "cat")}
    print(f"{case:<26}" + "".join(f"{ms(by[tool], 0):>12.1f}" for tool in names)
          + f"{ratios['split']:>9.2f}{ratios['dd']:>7.2f}{ratios['cat']:>7.2f}")
    if place == "disk":
        goals.append((f"wall, {case}: duosplit / split -n 2", ratios["split"], 1.10))
    elif new:
        goals.append((f"wall, {case}: duosplit / dd", ratios["dd"], 1.08))
# Linux splits a process's CPU time into user and system time by where the
# clock ticks found it: a user time below a tick's length may show as 0.
print(f"\nThe same runs: median user + system time in ms, and duosplit's user time over split's")
print(f"{'':<26}" + "".join(f"{name:>14}" for name in names.values()) + f"{'user / split':>14}")
for (place, new), by in times.items():
    case = place + (", new outputs" if new else ", overwritten")
    user, limit = ms(by["duosplit"], 1), 2 * ms(by["split"], 1)  # split's may be below the clock's resolution
    print(f"{case:<26}" + "".join(f"{ms(by[tool], 1):>6.1f} +{ms(by[tool], 2):>6.1f}" for tool in names)
          + (f"{2 * user / limit:>14.2f}" if limit else f"{'-':>14}"))
    goals.append((f"user time, {case}: duosplit's in ms, at most twice split -n 2's", user, limit))

times = measure({place: (True, many(where)) for place, where in places.items()}, rounds)
print(f"\n1000 inputs of 100 KiB in one run, new outputs, {rounds} rounds: median wall time per file in µs")
print(f"{'':<24}{'duosplit':>10}{'cp':>10}{'/ cp':>8}")
for place, by in times.items():
    d, c = median(by["duosplit"], 0) * 1e3, median(by["cp"], 0) * 1e3
    print(f"{place:<24}{d:>10.1f}{c:>10.1f}{d / c:>8.2f}")
    if place == "tmpfs":
        goals.append((f"wall, 1000 files on {place}: duosplit / cp", d / c, 1.35))

# Through /usr/bin/time: a child spawned from python3 itself would carry the
# interpreter's peak into its own across the exec.
def peak(name):
    run(["/usr/bin/time", "-f", "%M", "-o", f"{disk}/peak.txt", exe, f"{disk}/{name}"])
    return int(open(f"{disk}/peak.txt").read())
peaks = [max(peak(name) for _ in range(3)) for name in ("in.adp", "in512.adp")]
print(f"\npeak resident memory: {peaks[0]} KiB at 128 MiB, {peaks[1]} KiB at 512 MiB")
goals.append(("peak resident memory, MiB", max(peaks) / 1024, 4.0))

print("\nGoals:")
for goal, value, limit in goals:
    print(f"  {'met    ' if value <= limit else 'NOT MET'}  {goal}: {value:.2f} (at most {limit:.2f})")
print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
PY
