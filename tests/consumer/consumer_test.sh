#!/bin/sh
# The library as its users get it, one step per call: install (into an empty
# PREFIX), pkgconfig (histcopy.c built through pkg-config alone), layout,
# exports (exactly the public headers' KESTRUM_API names, both ways) and
# programs PROGRAM...; settings come from the environment (CMakeLists.txt).
set -eu
lib=$PREFIX/$LIBDIR include=$PREFIX/$INCLUDEDIR major=${VERSION%%.*} work=$(mktemp -d) status=0
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; status=1; }
PKG_CONFIG_LIBDIR=$lib/pkgconfig && export PKG_CONFIG_LIBDIR && unset PKG_CONFIG_PATH  # never the machine's own
pc() { "$PKG_CONFIG" "$@" kestrum | sed 's/ *$//'; }
name() { sed -E 's/\(.*//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*) *$/\1/' "$@" | sort -u; }
case $1 in
install) rm -rf "$PREFIX" && "$CMAKE" --install "$BUILD_DIR" --prefix "$PREFIX" > /dev/null ;;
pkgconfig)  # strict C89 and C99: the public headers must serve any C program
  mkdir -p "$WORK" && cd "$WORK"
  $CC -std=c89 -pedantic -Wall -Wextra -Werror $(pc --cflags) -fsyntax-only "$SOURCE_DIR/tests/consumer/histcopy.c"
  $CC -std=c99 -pedantic -Wall -Wextra -Werror $FLAGS $(pc --cflags) -c "$SOURCE_DIR/tests/consumer/histcopy.c"
  $CC $FLAGS histcopy.o -o histcopy $(pc --libs) -Wl,-rpath,"$(pc --variable=libdir)"
  if [ "$STATIC" = 1 ]; then $CC -static histcopy.o -o histcopy-static $(pc --static --libs); fi ;;
layout)  # the library by its SONAME, with no search path into the build tree
  [ "$(readlink "$lib/libkestrum.so"):$(readlink "$lib/libkestrum.so.$major")" = "libkestrum.so.$major:libkestrum.so.$VERSION" ] &&
    [ -f "$lib/libkestrum.a" ] || fail "the library files"
  case $("$READELF" -d "$lib/libkestrum.so.$VERSION") in *RPATH* | *RUNPATH*) fail "a search path" ;;
    *"Library soname: [libkestrum.so.$major]"*) ;; *) fail "SONAME" ;; esac
  # Exactly the public headers (the consumers compile them as C99 and C++).
  diff -r "$SOURCE_DIR/lib/include/kestrum" "$include/kestrum" || fail "the installed headers"
  # A C program linking the archive also needs the C++ runtime; the CMake
  # package finds its paths from its own place, so it survives a move.
  [ "$(pc --modversion)|$(pc --cflags)|$(pc --libs)" = "$VERSION|-I$include|-L$lib -lkestrum" ] || fail "kestrum.pc"
  case " $(pc --static --libs) " in *" -lstdc++ "*) ;; *) fail "kestrum.pc lacks -lstdc++" ;; esac
  if grep -l -F -e "$PREFIX" -e "$SOURCE_DIR" "$lib"/cmake/Kestrum/*; then fail "the CMake package names fixed paths"; fi ;;
exports)  # the headers' statements as C sees them, one a line, "@" for KESTRUM_API
  for h in "$SOURCE_DIR"/lib/include/kestrum/*.h; do echo "#include \"$h\""; done | "$CC" -E -I"$SOURCE_DIR/lib/include" -x c - |
    awk -v dir="\"$SOURCE_DIR/lib/include/kestrum/" '/^# [0-9]+ "/ { ours = index($3, dir) == 1; next } ours' | tr '\n' ' ' |
    sed 's/__attribute__((visibility("default")))/@/g; s/__attribute__(([a-z_]*\(([^()]*)\)\{0,1\}))//g' | tr ';{}' '\n\n\n' |
    grep -E '\(|^ *extern ' | grep -Ev '^ *(typedef|static) ' > "$work/declared"
  name "$work/declared" > "$work/names"
  grep '@' "$work/declared" | name > "$work/api"
  "$NM" -D --defined-only "$LIBRARY" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort -u > "$work/exported"
  [ "$(grep -c -x -e pm_error -e pm_plain_output -e ppm_readppm "$work/api")" = 3 ] || fail "the scan found no declarations"
  for n in $(comm -23 "$work/names" "$work/api"); do fail "$n is declared without KESTRUM_API"; done
  for n in $(comm -23 "$work/exported" "$work/api"); do fail "$n is exported but not public"; done
  for n in $(comm -13 "$work/exported" "$work/api"); do fail "$n is public but not exported"; done ;;
archive)  # a static link meets no private helper outside the kestrum (or the standard) namespace
  "$NM" -D --defined-only "$LIBRARY" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | sort -u > "$work/exported"
  "$NM" -g --defined-only "$ARCHIVE" | awk 'NF == 3 { sub(/^__odr_asan\./, "", $3); print $3 }' | sort -u > "$work/defined"
  grep -qx pm_error "$work/defined" && grep -q '^_ZN7kestrum' "$work/defined" || fail "the archive scan found nothing"
  # Mangled names without their special prefixes (vtables, guards, ...).
  for n in $(comm -23 "$work/defined" "$work/exported" | grep -vx 'DW\.ref\.__gxx_personality_v0' |
      sed -E 's/^_Z(T[VISHW]|GV|GR)?Z?//' | grep -Ev '^N[KVRO]*(7kestrum|S[tabiosd]|9__gnu_cxx)|^S[tabiosd]|^(nw|na|dl|da)'); do
    fail "$n is a global of the archive outside its interface"; done ;;
oracle)  # the shipped program holds none of the straightforward quantizer it is tested against
  "$NM" --defined-only "$ORACLE" | awk 'NF == 3 && $2 ~ /^[TDBR]$/ { print $3 }' | sort -u > "$work/oracle"
  "$NM" --defined-only "$PROGRAM" | awk 'NF == 3 { print $3 }' | sort -u > "$work/program"
  grep -q convertRow "$work/oracle" && grep -qx main "$work/program" || fail "the symbol scan found nothing"
  for n in $(comm -12 "$work/oracle" "$work/program"); do fail "the program holds the oracle's $n"; done ;;
programs)  # the photograph's colours counted without the library: the oracle
  shift
  photo=$SOURCE_DIR/examples/coffee.ppm
  colours=$(tail -c +16 "$photo" | od -An -v -tx1 -w3 | sort -u | wc -l)
  printf 'P7\n1 1\n255\n' > "$work/bad"
  for program in "$@"; do
    p=${program##*/}
    [ "$("$program" "$photo" "$work/out")" = "600x400 maxval 255: $colours colours, 240000 pixels" ] &&
      cmp -s "$photo" "$work/out" || fail "$p copying the photograph"
    st=0 && "$program" 2> "$work/err" || st=$?
    [ "$st:$(cat "$work/err")" = "1:usage:  $p inputfile outputfile" ] || fail "$p without arguments"
    st=0 && "$program" "$work/bad" "$work/out" 2> "$work/err" || st=$?
    [ "$st:$(cat "$work/err")" = "1:$p: bad magic number - not a ppm, pgm, or pbm file" ] || fail "$p on a bad image"
    case $p:$("$READELF" -d "$program") in  # by SONAME, so that a compatible update replaces the file
      *-static:*libkestrum*) fail "$p needs a shared libkestrum" ;; *-static:* | *"[libkestrum.so.$major]"*) ;;
      *) fail "$p does not need libkestrum.so.$major" ;; esac
  done ;;
esac
exit "$status"
