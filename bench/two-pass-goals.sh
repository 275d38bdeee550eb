#!/bin/sh
# Images of any size in constant memory: quantize reads a regular file twice
# instead of holding it. Makes photo-like images of 16 M and 256 M pixels
# (a 4096 x 4096 enlargement of the sample photograph, tiled) and one of
# more than 2^31 pixels (50000 x 50000, 7.5 GB, tiled from a posterized copy
# of 309 colours), then reports the time and peak memory of `quantize 256`
# and `quantize -floyd 256` on each, checks the goals, and checks that the
# image above 2^31 pixels comes back unchanged from `quantize 32767` (it has
# fewer colours than that).
#
#   bench/two-pass-goals.sh
#
# Environment:
#   BUILD_DIR   build directory (default build/bench-release)
#   WORK_DIR    scratch directory (default /tmp/kestrum-two-pass); needs
#               about 9 GB free
#   BIG         0 to leave out the image above 2^31 pixels (default 1)
# Needs python3 and /usr/bin/time.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-release}
work=${WORK_DIR:-/tmp/kestrum-two-pass}
big=${BIG:-1}

echo "== building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target quantize bench_images >/dev/null
q=$build/tools/quantize/quantize
gen=$build/bench/bench_images

echo "== images in $work"
mkdir -p "$work"
cd "$work"
[ -f photo16m.ppm ] || "$gen" scale "$root/examples/coffee.ppm" 4096 4096 photo16m.ppm
[ -f poster16m.ppm ] || "$gen" posterize photo16m.ppm 11 poster16m.ppm
# Tiles a raw PPM of maxval 255 to cols x rows, a row at a time.
tile() {
    python3 - "$@" <<'EOF'
import sys
src, cols, rows, dst = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
data = open(src, "rb").read()
fields, pos = [], 2
while len(fields) < 3:
    while data[pos:pos + 1].isspace():
        pos += 1
    start = pos
    while not data[pos:pos + 1].isspace():
        pos += 1
    fields.append(int(data[start:pos]))
w, h, maxval = fields
raster = data[pos + 1:]
assert data[:2] == b"P6" and maxval == 255
row_bytes = 3 * w
with open(dst + ".part", "wb") as out:
    out.write(b"P6\n%d %d\n255\n" % (cols, rows))
    whole, rest = divmod(cols, w)
    for r in range(rows):
        line = raster[(r % h) * row_bytes:(r % h + 1) * row_bytes]
        out.write(line * whole + line[:3 * rest])
import os
os.rename(dst + ".part", dst)
EOF
}
[ -f photo256m.ppm ] || tile photo16m.ppm 16384 16384 photo256m.ppm
if [ "$big" != 0 ]; then
    [ -f poster2500m.ppm ] || tile poster16m.ppm 50000 50000 poster2500m.ppm
fi

run() {  # label, then the arguments: wall seconds and peak KiB
    label=$1
    shift
    /usr/bin/time -f "%e %M" -o time.txt "$q" -quiet "$@" >/dev/null
    echo "$label $(cat time.txt)"
}

{
    run 16m 256 photo16m.ppm
    run 16m-fs -floyd 256 photo16m.ppm
    run 256m 256 photo256m.ppm
    run 256m-fs -floyd 256 photo256m.ppm
    if [ "$big" != 0 ]; then
        run 2500m 256 poster2500m.ppm
        run 2500m-fs -floyd 256 poster2500m.ppm
    fi
} >runs.txt

if [ "$big" != 0 ]; then
    echo "== the image of 2500000000 pixels, every colour kept, comes back unchanged"
    if "$q" -quiet 32767 poster2500m.ppm | cmp -s - poster2500m.ppm; then
        echo "   unchanged"
    else
        echo "   CHANGED"
        exit 1
    fi
fi

python3 - <<'EOF'
runs = {}
for line in open("runs.txt"):
    label, wall, peak = line.split()
    runs[label] = (float(wall), int(peak))
pixels = {"16m": 4096 * 4096, "256m": 16384 * 16384, "2500m": 50000 * 50000}
print()
print("%-10s %12s %10s %12s %14s" % ("image", "command", "wall s", "peak MiB", "ns a pixel"))
for label, (wall, peak) in runs.items():
    size = label.split("-")[0]
    print("%-10s %12s %10.2f %12.1f %14.2f" % (size, "-floyd 256" if label.endswith("-fs") else "256",
                                               wall, peak / 1024, wall * 1e9 / pixels[size]))
print()
failed = 0
for kind in ("", "-fs"):
    small = runs["16m" + kind]
    for size in ("256m", "2500m"):
        if size + kind not in runs:
            continue
        large = runs[size + kind]
        memory_ok = large[1] <= small[1] + 64 * 1024
        print("%-4s peak at %s%s within 64 MiB of 16m: %+.1f MiB" % (
            "ok" if memory_ok else "MISS", size, kind, (large[1] - small[1]) / 1024))
        failed += not memory_ok
    large = runs["256m" + kind]
    ratio = (large[0] / pixels["256m"]) / (small[0] / pixels["16m"])
    time_ok = ratio <= 1.2
    print("%-4s time a pixel at 256m%s / 16m: %.2f (goal 1.2)" % ("ok" if time_ok else "MISS", kind, ratio))
    failed += not time_ok
raise SystemExit(1 if failed else 0)
EOF
