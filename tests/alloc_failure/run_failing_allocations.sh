#!/bin/sh
# Runs small conversions with one memory allocation failing, for every
# allocation a run makes: each must end as if nothing failed (status 0 and
# the same output: a fallback did the work) or with status 1 and an
# out-of-memory message as the last line on standard error; never killed by
# a signal, never a wrong image. Dithered output varies from run to run, so
# there every pixel must be one of the map's colours instead.
# usage: run_failing_allocations.sh SHIM QUANTIZE HISTCOPY SOURCE_DIR
set -u
shim=$1 quantize=$2 histcopy=$3 source=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# Inputs cut from the photograph (600 x 400, raw, maxval 255): a strip of 16
# rows, the strip as a plain 16-bit image, a map of 2 rows, and that map
# plain at maxval 63 (an input is rescaled to it).
photo=$source/examples/coffee.ppm
rows() { printf 'P6\n600 %d\n255\n' "$2"; tail -c +$((16 + $1 * 1800)) "$photo" | head -c $(($2 * 1800)); }
rows 200 16 > strip.ppm
tail -c +15 strip.ppm | od -An -v -tu1 -w3 |
  awk 'BEGIN { print "P3\n600 16\n65535" } { print $1 * 256 + NR % 256, $2 * 257, $3 * 256 + 255 - NR % 256 }' > strip16.ppm
rows 120 2 > map.ppm
tail -c +14 map.ppm | od -An -v -tu1 -w3 |
  awk 'BEGIN { print "P3\n600 2\n63" } { print int($1 / 4), int($2 / 4), int($3 / 4) }' > map63.ppm
tail -c +14 map.ppm | od -An -v -tx1 -w3 | sort -u > map.colours
cp "$photo" photo.ppm

# Whether an image is the strip's size with only the map's colours.
mapColoursOnly() {
  head -c 14 strip.ppm | cmp -s -n 14 - "$1" && [ "$(wc -c < "$1")" -eq "$(wc -c < strip.ppm)" ] &&
    [ -z "$(tail -c +15 "$1" | od -An -v -tx1 -w3 | sort -u | comm -23 - map.colours)" ]
}

# Each run: a name, whether its output varies (dithered), the program and
# its arguments. Standard output goes to NAME.out; histcopy also writes its
# copy of the image to NAME.img.
runs='undithered|same|quantize|16 strip.ppm
map|same|quantize|-mapfile map63.ppm strip.ppm
dithered|map|quantize|-floyd -mapfile map.ppm strip.ppm
deep|same|quantize|16 strip16.ppm
threads|same|quantize|16 photo.ppm
library|same|histcopy|strip16.ppm library.img'

# Runs the program of the run with allocation $1 failing (0: none), on two
# threads whatever the machine, so that the whole photograph is shared out.
runOnce() {
  program=$quantize
  [ "$prog" = quantize ] || program=$histcopy
  QUANTIZE_THREADS=2 KESTRUM_FAIL_ALLOC=$1 KESTRUM_ALLOC_COUNT=count LD_PRELOAD=$shim "$program" $args < /dev/null > "$name.out" 2> err
}

while IFS='|' read -r name kind prog args; do
  runOnce 0 && [ -s "$name.out" ] && { [ "$kind" = same ] || mapColoursOnly "$name.out"; } ||
    { fail "$name: wrong without a failure"; continue; }
  cp "$name.out" "$name.want"
  [ -f "$name.img" ] && cp "$name.img" "$name.wantimg"
  total=$(cat count) same=0 fatal=0 killed=0 wrong=0
  step=$((total <= 200 ? 1 : total / 50))
  n=1
  while [ "$n" -le "$total" ]; do
    runOnce "$n"
    rc=$? problem=
    if [ "$rc" -eq 0 ]; then
      if [ "$kind" = map ]; then mapColoursOnly "$name.out"; else
        cmp -s "$name.out" "$name.want" && { [ ! -f "$name.img" ] || cmp -s "$name.img" "$name.wantimg"; }
      fi || problem="status 0 with a different result"
    elif [ "$rc" -ne 1 ] || ! tail -n 1 err | grep -Eq '^[^:]*: (out of memory|.*Cannot allocate)'; then
      problem="status $rc, last message: $(tail -n 1 err)"
    fi
    if [ -n "$problem" ]; then
      [ "$rc" -gt 128 ] && killed=$((killed + 1)) || wrong=$((wrong + 1))
      [ $((killed + wrong)) -le 3 ] && fail "$name, allocation $n failing: $problem"
    elif [ "$rc" -eq 0 ]; then
      same=$((same + 1))
    else
      fatal=$((fatal + 1))
    fi
    # A long run repeats a few paths thousands of times: there every
    # allocation near the start and the end, and fifty over the middle.
    [ "$n" -lt 50 ] || [ "$n" -gt $((total - 10)) ] && n=$((n + 1)) || n=$((n + step))
  done
  echo "$name: $((same + fatal + killed + wrong)) of $total allocations failed in turn: $same completed, $fatal out of memory, $killed killed, $wrong wrong"
done <<EOF
$runs
EOF
exit $status
