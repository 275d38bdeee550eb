#!/bin/sh
# The consumer programs as their users run them: each copies images (the
# photograph byte for byte, plain and bilevel ones as raw colour), counts
# their colours, and reports errors under its own name, the start-up state
# living in the library. One linked to the shared library needs it by its
# SONAME, so that a compatible update replaces the file; a static one not at all.
# usage: check_programs.sh READELF MAJOR SOURCE_DIR PROGRAM...
set -eu
readelf=$1 major=$2 source=$3
shift 3
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each case: NAME.in, NAME.want (the image written back) and NAME.summary.
printf 'P3\n3 2\n255\n255 0 0  0 255 0  255 0 0\n0 0 255  255 0 0  255 255 255\n' > "$work/plain.in"
printf 'P6\n3 2\n255\n\377\000\000\000\377\000\377\000\000\000\000\377\377\000\000\377\377\377' > "$work/plain.want"
printf '3x2 maxval 255: 4 colours, 6 pixels\n' > "$work/plain.summary"
printf 'P6\n2 1\n65535\n\022\064\126\170\232\274\022\064\126\170\232\275' > "$work/wide.in"
cp "$work/wide.in" "$work/wide.want"
printf '2x1 maxval 65535: 2 colours, 2 pixels\n' > "$work/wide.summary"
printf 'P1\n2 2\n0 1\n1 1\n' > "$work/bilevel.in"
printf 'P6\n2 2\n1\n\001\001\001\000\000\000\000\000\000\000\000\000' > "$work/bilevel.want"
printf '2x2 maxval 1: 2 colours, 4 pixels\n' > "$work/bilevel.summary"
# The photograph's colours are counted here without the library: the oracle.
photo=$source/examples/coffee.ppm
printf 'P6\n600 400\n255\n' | cmp -s -n 15 - "$photo" || fail "unexpected header in $photo"
[ "$(wc -c < "$photo")" -eq $((15 + 600 * 400 * 3)) ] || fail "unexpected size of $photo"
colours=$(tail -c +16 "$photo" | od -An -v -tx1 -w3 | sort -u | wc -l)
cp "$photo" "$work/photo.in"
cp "$photo" "$work/photo.want"
printf '600x400 maxval 255: %d colours, 240000 pixels\n' "$colours" > "$work/photo.summary"
printf 'P7\n1 1\n255\n' > "$work/badmagic.ppm"

# Runs PROGRAM ARGS..., checking status, standard output and standard error.
expect() {
  want_status=$1 want_out=$2 want_err=$3
  shift 3
  rc=0
  "$@" > "$work/out" 2> "$work/err" || rc=$?
  [ "$rc" -eq "$want_status" ] || fail "$*: status $rc, not $want_status"
  printf '%s' "$want_out" | cmp -s - "$work/out" || fail "$*: standard output: $(cat "$work/out")"
  printf '%s' "$want_err" | cmp -s - "$work/err" || fail "$*: standard error: $(cat "$work/err")"
}

for program in "$@"; do
  name=${program##*/}
  [ -x "$program" ] || { fail "$program was not built"; continue; }
  for case in plain wide bilevel photo; do
    expect 0 "$(cat "$work/$case.summary")
" "" "$program" "$work/$case.in" "$work/$case.out"
    cmp -s "$work/$case.want" "$work/$case.out" || fail "$name: the image written from $case differs"
  done
  expect 1 "" "usage:  $name inputfile outputfile
" "$program"
  expect 1 "" "$name: bad magic number - not a ppm, pgm, or pbm file
" "$program" "$work/badmagic.ppm" "$work/bad.out"
  dynamic=$("$readelf" -d "$program" || true)
  case $name in
    *-static) case $dynamic in *libkestrum*) fail "$name needs a shared libkestrum" ;; esac ;;
    *) case $dynamic in *"[libkestrum.so.$major]"*) ;; *) fail "$name does not need libkestrum.so.$major" ;; esac ;;
  esac
done
[ "$status" -eq 0 ] && echo "checked: $*"
exit "$status"
