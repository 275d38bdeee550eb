#!/bin/sh
# What a run costs against the work it is asked for: tiny images, colour
# counts far above an image's colours, and headers that claim pixels a file
# does not hold. Time (hyperfine) and peak memory (/usr/bin/time) of each
# command, the goals checked, and optionally the same for an older build.
#
#   bench/cost-goals.sh
#
# Environment:
#   BUILD_DIR   build directory (default build/bench-release)
#   WORK_DIR    scratch directory (default /tmp/kestrum-cost)
#   BEFORE      another quantize program to measure beside this one (a copy
#               of an older build), for a before/after table
#   IMAGES      folder holding chelsea.ppm (default the shared/images folder
#               beside the checkout)
# Needs hyperfine, python3 and /usr/bin/time.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-release}
work=${WORK_DIR:-/tmp/kestrum-cost}
images=${IMAGES:-$root/../shared/images}
before=${BEFORE:-}

for tool in hyperfine python3 /usr/bin/time; do
    command -v "$tool" >/dev/null 2>&1 || { echo "cost-goals: $tool is needed" >&2; exit 2; }
done

echo "== building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target quantize >/dev/null
q=$build/tools/quantize/quantize

mkdir -p "$work"
cd "$work"
cp "$images/chelsea.ppm" chelsea.ppm
# Eight pixels of eight colours.
printf 'P6\n4 2\n255\n\377\0\0\0\377\0\0\0\377\377\377\0\0\377\377\377\0\377\n\24\36\310d2' >small.ppm
# Headers alone: no pixels, whatever the other dimension.
printf 'P6 2000000000 0 255\n' >wide0.ppm
printf 'P3 147483640 0 255\n' >plain0.ppm
printf 'P2147483640 0 3 255\n' >gray0.pgm

python3 - "$q" "$before" <<'EOF'
import json, os, subprocess, sys

programs = [("after", sys.argv[1])] + ([("before", sys.argv[2])] if sys.argv[2] else [])
cases = [
    # name, arguments, runs
    ("100000000 small.ppm", ["100000000", "small.ppm"]),
    ("268435455 small.ppm", ["268435455", "small.ppm"]),
    ("1000000 chelsea.ppm", ["1000000", "chelsea.ppm"]),
    ("256 chelsea.ppm", ["256", "chelsea.ppm"]),
    ("2 small.ppm", ["2", "small.ppm"]),
    ("-fs 2 small.ppm", ["-fs", "2", "small.ppm"]),
    ("16 wide0.ppm (P6 2000000000 x 0)", ["16", "wide0.ppm"]),
    ("64 plain0.ppm (P3 147483640 x 0)", ["64", "plain0.ppm"]),
    ("-floyd 64 gray0.pgm (P2 147483640 x 0)", ["-floyd", "64", "gray0.pgm"]),
    ("-fs -mapfile small.ppm gray0.pgm", ["-fs", "-mapfile", "small.ppm", "gray0.pgm"]),
]
# The old program may take seconds and gigabytes on some of these: it is
# stopped after this long and reported as such.
LIMIT = 30

def once(program, args):
    """Wall seconds and peak KiB of one run, or None past LIMIT."""
    try:
        r = subprocess.run(["/usr/bin/time", "-f", "%e %M", program, "-quiet"] + args,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=LIMIT)
    except subprocess.TimeoutExpired:
        return None
    wall, peak = r.stderr.decode().strip().splitlines()[-1].split()
    return float(wall), int(peak)

def mean_s(program, args, runs):
    cmd = " ".join([program, "-quiet"] + args)
    subprocess.run(["hyperfine", "-N", "--style", "none", "--warmup", "2", "--runs", str(runs),
                    "--export-json", "t.json", "--output", "./out.ppm", cmd],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return json.load(open("t.json"))["results"][0]["mean"]

def measure(program, args):
    first = once(program, args)
    if first is None:
        return None, None
    wall, peak = first
    # A run of a second or more is timed once; the cheap ones many times.
    if wall >= 1:
        return wall, peak
    return mean_s(program, args, 30 if wall > 0.05 else 200), peak

def cat_time():
    subprocess.run(["hyperfine", "-N", "--style", "none", "--warmup", "2", "--runs", "200",
                    "--export-json", "t.json", "--output", "./out.ppm", "cat small.ppm"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return json.load(open("t.json"))["results"][0]["mean"]

results = {}
for label, program in programs:
    for name, args in cases:
        results[label, name] = measure(program, args)
cat = cat_time()

def show(t, peak):
    if t is None:
        return "%22s" % ("over %d s" % LIMIT)
    return "%10.2f ms %7.1f MiB" % (t * 1000, peak / 1024)

print()
print("%-42s %22s %22s" % ("quantize ...", "after", "before" if len(programs) > 1 else ""))
for name, _ in cases:
    print("%-42s %s %s" % (name, show(*results["after", name]),
                           show(*results["before", name]) if len(programs) > 1 else ""))
print("%-42s %10.2f ms" % ("cat small.ppm", cat * 1000))

a = lambda name: results["after", name]
goals = [
    ("268435455 small.ppm under 20 ms", a("268435455 small.ppm")[0] < 0.020),
    ("268435455 small.ppm under 8 MB", a("268435455 small.ppm")[1] * 1024 < 8e6),
    ("1000000 chelsea.ppm at most 1.3 x 256 chelsea.ppm",
     a("1000000 chelsea.ppm")[0] <= 1.3 * a("256 chelsea.ppm")[0]),
    ("2 small.ppm at most 2 x cat small.ppm", a("2 small.ppm")[0] <= 2 * cat),
    ("2 small.ppm under 8 MB", a("2 small.ppm")[1] * 1024 < 8e6),
]
for name, _ in cases[6:]:
    goals.append((name + " under 20 ms and 8 MB", a(name)[0] < 0.020 and a(name)[1] * 1024 < 8e6))
print()
failed = 0
for name, ok in goals:
    print("%-4s %s" % ("ok" if ok else "MISS", name))
    failed += not ok
print("(1000000 / 256 chelsea: %.2f; 2 small / cat: %.2f)" % (
    a("1000000 chelsea.ppm")[0] / a("256 chelsea.ppm")[0], a("2 small.ppm")[0] / cat))
sys.exit(1 if failed else 0)
EOF
