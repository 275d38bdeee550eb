#!/bin/sh
# The shipped program holds none of the straightforward quantizer: every
# function and variable the oracle library defines stays out of it, so that
# the program cannot come to lean on the slow path its fast one is tested
# against.
# usage: check_program_symbols.sh NM PROGRAM ORACLE_ARCHIVE
set -eu
nm=$1 program=$2 oracle=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Strong definitions only: an inline or template instance both may share.
"$nm" --defined-only "$oracle" | awk 'NF == 3 && $2 ~ /^[TDBR]$/ { print $3 }' | sort -u > "$work/oracle"
"$nm" --defined-only "$program" | awk 'NF == 3 { print $3 }' | sort -u > "$work/program"
status=0
# A scan that read nothing would pass.
grep -q convertRow "$work/oracle" || { echo "FAIL: no convertRow in $oracle" >&2; status=1; }
grep -q main "$work/program" || { echo "FAIL: no main in $program" >&2; status=1; }
found=$(comm -12 "$work/oracle" "$work/program")
if [ -n "$found" ]; then
  echo "FAIL: the program contains the oracle's" >&2
  echo "$found" | c++filt >&2
  status=1
fi
[ "$status" -eq 0 ] && echo "none of $(wc -l < "$work/oracle") oracle symbols in the program"
exit "$status"
