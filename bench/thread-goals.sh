#!/bin/sh
# The quantizer against copying the same file, one thread against two, and
# against Pillow, on the 16-megapixel images of run-goals.sh: every command
# timed side by side in one hyperfine run (interleaved rounds of RUNS runs
# each, so that other work on the machine weighs on all alike), after
# checking that 1, 2 and 8 threads write the same bytes.
#
#   bench/thread-goals.sh
#
# Environment: BUILD_DIR, WORK_DIR and PEER as in run-goals.sh (whose images
# are made first if missing); RUNS timed runs per command and round
# (default 5), ROUNDS rounds (default 3).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-release}
work=${WORK_DIR:-/tmp/kestrum-bench}
runs=${RUNS:-5}
rounds=${ROUNDS:-3}
peer=${PEER:-/usr/bin/python3 $root/../shared/tools/pil_quantize.py}

command -v hyperfine >/dev/null 2>&1 || { echo "thread-goals: hyperfine is needed" >&2; exit 2; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_BENCH=ON \
    -DKESTRUM_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target quantize bench_images >/dev/null
q=$build/tools/quantize/quantize
gen=$build/bench/bench_images
mkdir -p "$work"
cd "$work"
[ -f synth.ppm ] || "$gen" synthetic 4096 4096 synth.ppm
[ -f photo.ppm ] || "$gen" scale "$root/examples/coffee.ppm" 4096 4096 photo.ppm

echo "== the same bytes with 1, 2 and 8 threads"
for image in photo.ppm synth.ppm; do
    for opts in "256" "-floyd -seed 7 256"; do
        for t in 1 2 8; do
            QUANTIZE_THREADS=$t "$q" -quiet $opts $image >threads$t.out
        done
        if cmp -s threads1.out threads2.out && cmp -s threads1.out threads8.out; then
            echo "   same: quantize $opts $image"
        else
            echo "   DIFFERENT: quantize $opts $image"
            exit 1
        fi
    done
done
rm -f threads1.out threads2.out threads8.out

echo "== timing: $rounds rounds of $runs runs each"
round=1
while [ "$round" -le "$rounds" ]; do
    for image in photo synth; do
        hyperfine -N --style none --warmup 1 --runs "$runs" --export-json "threads-$image-$round.json" \
            -n cat "cat $image.ppm" \
            -n q256 "$q -quiet 256 $image.ppm" \
            -n q256one "env QUANTIZE_THREADS=1 $q -quiet 256 $image.ppm" \
            -n qfs "$q -quiet -floyd 256 $image.ppm" \
            -n qfsone "env QUANTIZE_THREADS=1 $q -quiet -floyd 256 $image.ppm" \
            -n peer256 "$peer 256 $image.ppm peer.ppm" \
            -n peerfs "$peer 256 --fs $image.ppm peer.ppm" \
            --output=./thread-goals.ppm >/dev/null
    done
    round=$((round + 1))
done
rm -f peer.ppm thread-goals.ppm

python3 - "$rounds" <<'PY'
import json, statistics, sys
rounds = int(sys.argv[1])
for image in ("photo", "synth"):
    times = {}
    for r in range(1, rounds + 1):
        for res in json.load(open("threads-%s-%d.json" % (image, r)))["results"]:
            times.setdefault(res["command"], []).extend(res["times"])
    med = {k: statistics.median(v) for k, v in times.items()}
    rows = [
        ("quantize 256 / cat", med["q256"] / med["cat"], "<= 4"),
        ("quantize -floyd 256 / cat", med["qfs"] / med["cat"], "<= 7"),
        ("one thread / two, undithered", med["q256one"] / med["q256"], ">= 1.7"),
        ("one thread / two, -floyd", med["qfsone"] / med["qfs"], ">= 1.25"),
        ("quantize 256 / Pillow median cut", med["q256"] / med["peer256"], "<= 0.06"),
        ("quantize -floyd 256 / Pillow Floyd-Steinberg", med["qfs"] / med["peerfs"], "<= 0.10"),
    ]
    print()
    print("%s.ppm (4096 x 4096), medians of %d runs each" % (image, len(times["cat"])))
    print("%-46s %8s   %s" % ("goal", "ratio", "target"))
    for name, ratio, goal in rows:
        print("%-46s %8.3f   %s" % (name, ratio, goal))
    print("  " + ", ".join("%s %.3f s" % (k, v) for k, v in med.items()))
PY
