#!/bin/sh
# Colour quality against the peers: PSNR (RGB, 8 bits) of the undithered
# result on the sample photographs at 16 and 256 colours, then the time of
# each column on the 16-megapixel photograph of run-goals.sh at 256 colours.
#
#   bench/quality.sh
#
# Environment:
#   BUILD_DIR   build directory (default build/bench-release)
#   WORK_DIR    where the images go (default /tmp/kestrum-bench)
#   IMAGES      the sample photographs (default: the shared/images folder
#               beside the checkout)
#   RUNS        timed runs per command (default 3)
# Needs python3 with Pillow and numpy, ImageMagick's convert, pngquant and
# hyperfine (shared/tools/install-peers.sh installs them).
# Goals: -refine at least pngquant's PSNR on every row, and at most half of
# Pillow's time.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-release}
work=${WORK_DIR:-/tmp/kestrum-bench}
images=${IMAGES:-$root/../shared/images}
runs=${RUNS:-3}
pil="/usr/bin/python3 $root/../shared/tools/pil_quantize.py"
magick=/usr/bin/convert
psnr="/usr/bin/python3 $here/psnr.py"

for tool in hyperfine pngquant $magick; do
    command -v "$tool" >/dev/null 2>&1 || { echo "quality: $tool is needed" >&2; exit 2; }
done

echo "== building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target quantize bench_images >/dev/null
q=$build/tools/quantize/quantize

mkdir -p "$work/quality"
cd "$work/quality"

# quantize_column NAME NCOLORS IN OUT: one column's undithered result as a
# file Pillow can read.
quantize_column() {
    case $1 in
    quantize) "$q" -quiet "$2" "$3" >"$4" ;;
    refine) "$q" -quiet -refine "$2" "$3" >"$4" ;;
    pillow) $pil "$2" "$3" "$4" ;;
    magick) $magick "$3" +dither -colors "$2" "ppm:$4" ;;
    pngquant)
        $magick "$3" png:in.png
        pngquant --nofs --speed 1 --force --output "$4" "$2" in.png ;;
    esac
}
columns="quantize refine pillow magick pngquant"

echo
echo "| image | colours | quantize | quantize -refine | Pillow median cut | ImageMagick +dither -colors | pngquant --nofs --speed 1 |"
echo "|---|---|---|---|---|---|---|"
for n in 256 16; do
    for image in "$images"/chelsea.ppm "$images"/coffee.ppm; do
        outs=""
        for c in $columns; do
            quantize_column "$c" "$n" "$image" "$c.out"
            outs="$outs $c.out"
        done
        # shellcheck disable=SC2086 # one file per column
        values=$($psnr "$image" $outs | tr '\n' '|')
        echo "| $(basename "$image") | $n | $(echo "$values" | sed 's/|$//; s/|/ | /g') |"
    done
done
rm -f ./*.out in.png

echo
echo "== time at 256 colours on the 16-megapixel photograph ($runs runs each)"
[ -f "$work/photo.ppm" ] || "$build/bench/bench_images" scale "$root/examples/coffee.ppm" 4096 4096 "$work/photo.ppm"
[ -f photo.png ] || $magick "$work/photo.ppm" png:photo.png
hyperfine -N --style none --runs "$runs" --export-json times.json \
    -n quantize "$q -quiet 256 $work/photo.ppm" \
    -n "quantize -refine" "$q -quiet -refine 256 $work/photo.ppm" \
    -n "Pillow median cut" "$pil 256 $work/photo.ppm out.ppm" \
    -n "ImageMagick" "$magick $work/photo.ppm +dither -colors 256 ppm:out.ppm" \
    -n "pngquant (PNG in and out)" "pngquant --nofs --speed 1 --force --output out.png 256 photo.png" \
    --output=./out.ppm >/dev/null
rm -f out.ppm out.png
/usr/bin/python3 - <<'PY'
import json
t = {r["command"]: r["mean"] for r in json.load(open("times.json"))["results"]}
print()
print("| column | mean s |")
print("|---|---|")
for name, mean in t.items():
    print("| %s | %.2f |" % (name, mean))
print()
print("quantize -refine / Pillow median cut = %.2f (goal <= 0.5)"
      % (t["quantize -refine"] / t["Pillow median cut"]))
PY
