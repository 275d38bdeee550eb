#!/bin/sh
# Every global symbol the static library defines must be part of the
# interface (exported by the shared library, which check_exports.sh holds to
# the public headers) or live in the kestrum namespace: a program linking the
# archive statically would otherwise clash with, or silently take, a private
# helper of the same name (its own optFatal, say).
# usage: check_archive_symbols.sh NM STATIC_ARCHIVE SHARED_LIBRARY
set -eu
nm=$1 archive=$2 shared=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$nm" -D --defined-only "$shared" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | sort -u > "$work/interface"
# (AddressSanitizer adds an __odr_asan. marker beside each global variable.)
"$nm" -g --defined-only "$archive" | awk 'NF == 3 { sub(/^__odr_asan\./, "", $3); print $3 }' |
  sort -u > "$work/defined"
# Mangled names: special prefixes (vtable, typeinfo, guards, thread-local
# wrappers, local statics) stripped, then a nested name must start in the
# kestrum namespace or the standard library's (St, or an abbreviation such
# as Sa for std::allocator); the standard operators new and delete pass.
bad=$(comm -23 "$work/defined" "$work/interface" |
  grep -Ev '^DW\.ref\.__gxx_personality_v0$' |
  sed -E 's/^_Z(T[VISHW]|GV|GR)?Z?//' |
  grep -Ev '^N[KVRO]*(7kestrum|S[tabiosd]|9__gnu_cxx)|^S[tabiosd]|^(nw|na|dl|da)' || true)
status=0
if [ -n "$bad" ]; then
  echo "FAIL: global symbols of the static library outside its interface and namespace:" >&2
  echo "$bad" >&2
  status=1
fi
# A scan that read nothing would pass the check above.
grep -qx pm_error "$work/defined" || { echo "FAIL: pm_error not found in $archive" >&2; status=1; }
grep -q '^_ZN7kestrum' "$work/defined" || { echo "FAIL: no kestrum:: symbol found in $archive" >&2; status=1; }
[ "$status" -eq 0 ] && echo "checked $(wc -l < "$work/defined") global symbols"
exit "$status"
