#!/bin/sh
# The quantizer's speed and memory goals, measured side by side with the
# peers in one run, after checking that the output is byte for byte that of
# the straightforward quantizer.
#
#   bench/run-goals.sh            build (Release), make the images, check, time
#
# Environment:
#   BUILD_DIR     build directory (default build/bench-release)
#   WORK_DIR      where the images go (default /tmp/kestrum-bench); 4 images
#                 of 4096 x 4096, about 50 MiB each
#   RUNS          timed runs per command (default 3)
#   DIFF_SCALE    multiplies the random trials of the differential tests
#                 (default 20; the normal test suite runs them at 1)
#   PEER          the median-cut peer, called as: $PEER NCOLORS [--fs] IN OUT
#                 (default: the pil_quantize.py of the shared/ folder beside the
#                 checkout, run by /usr/bin/python3)
# Needs hyperfine, python3, /usr/bin/time and, for the peer, Pillow.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-release}
work=${WORK_DIR:-/tmp/kestrum-bench}
runs=${RUNS:-3}
diffscale=${DIFF_SCALE:-20}
peer=${PEER:-/usr/bin/python3 $root/../shared/tools/pil_quantize.py}

for tool in hyperfine python3 /usr/bin/time; do
    command -v "$tool" >/dev/null 2>&1 || { echo "run-goals: $tool is needed" >&2; exit 2; }
done

echo "== building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_BENCH=ON \
    -DKESTRUM_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target quantize quantize_reference dither_check bench_images formats_bench quantize_test >/dev/null
q=$build/tools/quantize/quantize
ref=$build/bench/quantize_reference
gen=$build/bench/bench_images

echo "== images in $work"
mkdir -p "$work"
cd "$work"
[ -f synth.ppm ] || "$gen" synthetic 4096 4096 synth.ppm
[ -f photo.ppm ] || "$gen" scale "$root/examples/coffee.ppm" 4096 4096 photo.ppm
[ -f poster.ppm ] || "$gen" posterize photo.ppm 11 poster.ppm
[ -f map256.ppm ] || "$gen" palette photo.ppm 256 map256.ppm
[ -f map32k.ppm ] || "$gen" palette photo.ppm 32767 map32k.ppm
[ -f small.ppm ] || "$gen" scale "$root/examples/coffee.ppm" 1024 768 small.ppm
[ -f deep.ppm ] || "$gen" deep small.ppm deep.ppm

echo "== exactness: quantize against the straightforward quantizer"
same() {
    "$q" "$@" >fast.out 2>fast.err || true
    "$ref" "$@" >ref.out 2>ref.err || true
    sed 's/^quantize_reference:/quantize:/' ref.err >ref.msg
    if cmp -s fast.out ref.out && cmp -s fast.err ref.msg; then
        echo "   same output and messages: quantize $*"
    else
        echo "   DIFFERENT: quantize $*"
        exit 1
    fi
}
same 256 photo.ppm
same 256 synth.ppm
same 1000000 poster.ppm
same 32767 small.ppm
same -mapfile map256.ppm small.ppm
same 64 deep.ppm
same -mapfile map256.ppm deep.ppm
# Dithering from starting errors fixed by a seed, the whole program: bands,
# threads and the colours searched beforehand.
same -floyd -seed 7 256 photo.ppm
same -floyd -seed 7 -mapfile map256.ppm deep.ppm
rm -f fast.out fast.err ref.out ref.err ref.msg

# Dithering inside one program, both paths starting from the same errors,
# with maps the whole-program runs above do not reach.
echo "== exactness of dithering, from the same starting errors"
"$build/bench/dither_check" -quiet -mapfile map256.ppm small.ppm
"$build/bench/dither_check" -quiet -mapfile map32k.ppm small.ppm
"$build/bench/dither_check" -quiet 256 small.ppm
"$build/bench/dither_check" -quiet -mapfile map256.ppm deep.ppm
"$build/bench/dither_check" -quiet 64 deep.ppm

echo "== differential tests, $diffscale times the normal trials"
KESTRUM_TEST_DATA=$root QUANTIZE_DIFF_SCALE=$diffscale "$build/tools/quantize/quantize_test" \
    --gtest_filter='FastPaths*' \
    --gtest_brief=1 | tail -n 1

# quantize writes its image to a file, as the peer does.
echo "== timing ($runs runs each)"
hyperfine -N --style none --warmup 1 --runs "$runs" --export-json times.json \
    -n q256 "$q -quiet 256 photo.ppm" \
    -n peer256 "$peer 256 photo.ppm peer.ppm" \
    -n qfs "$q -quiet -floyd 256 photo.ppm" \
    -n peerfs "$peer 256 --fs photo.ppm peer.ppm" \
    -n qmap256fs "$q -quiet -floyd -mapfile map256.ppm photo.ppm" \
    -n qmap32kfs "$q -quiet -floyd -mapfile map32k.ppm photo.ppm" \
    -n poster256 "$q -quiet 256 poster.ppm" \
    -n poster1m "$q -quiet 1000000 poster.ppm" \
    -n synth256 "$q -quiet 256 synth.ppm" \
    -n synthpeer "$peer 256 synth.ppm peer.ppm" \
    --output=./quantize.ppm >/dev/null
rm -f peer.ppm quantize.ppm

echo "== peak memory"
peak() { /usr/bin/time -f %M "$q" -quiet "$@" 2>&1 >/dev/null | tail -n 1; }
mem256=$(peak 256 photo.ppm)
memfs=$(peak -floyd 256 photo.ppm)
mem32k=$(peak -floyd -mapfile map32k.ppm photo.ppm)

echo "== formats: raw 4096 x 4096 PPM read and write against a plain copy"
"$build/bench/formats_bench" --benchmark_filter='BM_CopyFile|BM_ReadWriteRawPpm' \
    --benchmark_format=json --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    >formats.json 2>/dev/null

python3 - "$mem256" "$memfs" "$mem32k" <<'EOF'
import json, sys
t = {r["command"]: r for r in json.load(open("times.json"))["results"]}
mean = lambda n: t[n]["mean"]
pixels = 4096 * 4096
budget_kib = (12 * pixels + 64 * 2**20) / 1024
f = {b["name"]: b["real_time"] for b in json.load(open("formats.json"))["benchmarks"]}
copy = f["BM_CopyFile_mean"]
rw = f["BM_ReadWriteRawPpm_mean"]
rows = [
    ("1  quantize 256 / peer 256 (photo)", mean("q256") / mean("peer256"), "<= 0.3"),
    ("1  quantize 256 / peer 256 (synthetic)", mean("synth256") / mean("synthpeer"), "<= 0.3"),
    ("2  quantize -floyd 256 / peer --fs", mean("qfs") / mean("peerfs"), "<= 0.6"),
    ("3  -floyd -mapfile 256 colours / goal 2", mean("qmap256fs") / mean("qfs"), "<= 1.5"),
    ("3  -floyd -mapfile 32767 colours / goal 1", mean("qmap32kfs") / mean("q256"), "<= 10"),
    ("4  1000000 colours / 256 (poster, few colours)", mean("poster1m") / mean("poster256"), "<= 1.5"),
    ("6  formats read+write / copy", rw / copy, "<= 4"),
]
print()
print("%-50s %8s   %s" % ("goal", "ratio", "target"))
for name, ratio, goal in rows:
    print("%-50s %8.3f   %s" % (name, ratio, goal))
print()
for label, kib in zip(("256", "-floyd 256", "-floyd -mapfile 32767"), sys.argv[1:]):
    print("5  peak memory, quantize %-22s %7.1f MiB   <= %.1f MiB" % (label, int(kib) / 1024, budget_kib / 1024))
print()
print("%-50s %8s" % ("command", "mean s"))
for n, r in t.items():
    print("%-50s %8.3f" % (n, r["mean"]))
print("%-50s %8.3f" % ("formats copy (ms)", copy))
print("%-50s %8.3f" % ("formats read+write (ms)", rw))
EOF
