#!/bin/sh
# The library as its users get it, one step per call:
#   install          `cmake --install` of BUILD_DIR into an empty PREFIX
#   pkgconfig        histcopy.c built as a C user does, through pkg-config alone
#   layout           the installed files as packagers and users meet them
#   exports          what the shared library exports is exactly what the
#                    public headers declare KESTRUM_API, in both directions
#   programs PROG... the consumer programs run as their users run them
# Settings come from the environment: PREFIX, LIBDIR, INCLUDEDIR, BINDIR,
# MANDIR, VERSION, SOURCE_DIR, BUILD_DIR, WORK, CC, CXX, CMAKE, NM, LIBRARY (the
# built shared library), READELF,
# PKG_CONFIG, FLAGS (for instrumented builds), STATIC (1: also a static program).
set -eu
step=$1
shift
lib=$PREFIX/$LIBDIR include=$PREFIX/$INCLUDEDIR major=${VERSION%%.*}
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Search only the scratch install, never the machine's own .pc files.
PKG_CONFIG_LIBDIR=$lib/pkgconfig
export PKG_CONFIG_LIBDIR
unset PKG_CONFIG_PATH || true
pc() { "$PKG_CONFIG" "$@" kestrum | sed 's/ *$//'; }

case $step in
install)
  rm -rf "$PREFIX"
  "$CMAKE" --install "$BUILD_DIR" --prefix "$PREFIX" > /dev/null ;;
pkgconfig)
  mkdir -p "$WORK"
  # Strict C99: the public headers must serve any C program.
  $CC -std=c99 -pedantic -Wall -Wextra -Werror $FLAGS $(pc --cflags) -c "$SOURCE_DIR/tests/consumer/histcopy.c" -o "$WORK/histcopy.o"
  $CC $FLAGS "$WORK/histcopy.o" -o "$WORK/histcopy" $(pc --libs) -Wl,-rpath,"$(pc --variable=libdir)"
  if [ "$STATIC" = 1 ]; then $CC -static "$WORK/histcopy.o" -o "$WORK/histcopy-static" $(pc --static --libs); fi ;;
layout)
  # The shared library by its SONAME, with no search path into the build tree.
  [ "$(readlink "$lib/libkestrum.so")" = "libkestrum.so.$major" ] || fail "libkestrum.so does not name libkestrum.so.$major"
  [ "$(readlink "$lib/libkestrum.so.$major")" = "libkestrum.so.$VERSION" ] || fail "libkestrum.so.$major is no link to $VERSION"
  [ -f "$lib/libkestrum.so.$VERSION" ] && [ ! -L "$lib/libkestrum.so.$VERSION" ] && [ -f "$lib/libkestrum.a" ] || fail "no libraries"
  dynamic=$("$READELF" -d "$lib/libkestrum.so.$VERSION")
  case $dynamic in *"Library soname: [libkestrum.so.$major]"*) ;; *) fail "SONAME is not libkestrum.so.$major" ;; esac
  case $dynamic in *RPATH* | *RUNPATH*) fail "the shared library carries a search path" ;; esac
  # Exactly the public headers, each compiling alone as strict C99 and as C++.
  want=$(cd "$SOURCE_DIR/lib/include/kestrum" && ls -- *.h)
  [ "$want" = "$(cd "$include/kestrum" && ls -- *.h)" ] || fail "the installed headers are not the public ones"
  for h in $want; do
    cmp -s "$SOURCE_DIR/lib/include/kestrum/$h" "$include/kestrum/$h" || fail "$h differs from its source"
    echo "#include <kestrum/$h>" | "$CC" -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$include" -x c - || fail "$h as C"
    echo "#include <kestrum/$h>" | "$CXX" -std=c++11 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$include" -x c++ - ||
      fail "$h as C++"
  done
  # A C program linking the archive also needs the C++ runtime.
  [ "$(pc --modversion)|$(pc --cflags)|$(pc --libs)" = "$VERSION|-I$include|-L$lib -lkestrum" ] || fail "kestrum.pc: $(pc --libs)"
  case " $(pc --static --libs) " in *" -lstdc++ "*) ;; *) fail "pkg-config --static --libs lacks -lstdc++" ;; esac
  # The CMake package finds its paths from its own place: it survives a move.
  [ -f "$lib/cmake/Kestrum/KestrumConfigVersion.cmake" ] && [ -f "$lib/cmake/Kestrum/KestrumTargets.cmake" ] || fail "no package"
  if grep -l -F -e "$PREFIX" -e "$SOURCE_DIR" "$lib"/cmake/Kestrum/*; then fail "the CMake package names fixed paths"; fi
  # A staged install names the final prefix, not the staging directory.
  DESTDIR=$work "$CMAKE" --install "$BUILD_DIR" --prefix /opt/k --component development > /dev/null
  [ "$(head -n 1 "$work/opt/k/$LIBDIR/pkgconfig/kestrum.pc")" = "prefix=/opt/k" ] || fail "staged kestrum.pc"
  [ -x "$PREFIX/$BINDIR/quantize" ] || fail "no $BINDIR/quantize"
  cmp -s "$SOURCE_DIR/tools/quantize/quantize.1" "$PREFIX/$MANDIR/man1/quantize.1" || fail "the manual page differs" ;;
exports)
  # The headers' file-scope statements as a C compiler sees them, one a line,
  # "@" for KESTRUM_API; those that declare something, by name.
  for h in "$SOURCE_DIR"/lib/include/kestrum/*.h; do echo "#include \"$h\""; done |
    "$CC" -E -I"$SOURCE_DIR/lib/include" -x c - |
    awk -v dir="\"$SOURCE_DIR/lib/include/kestrum/" '/^# [0-9]+ "/ { ours = index($3, dir) == 1; next } ours' | tr '\n' ' ' |
    sed 's/__attribute__((visibility("default")))/@/g; s/__attribute__(([a-z_]*\(([^()]*)\)\{0,1\}))//g' | tr ';{}' '\n\n\n' |
    grep -E '\(|^ *extern ' | grep -Ev '^ *(typedef|static) ' > "$work/declared"
  sed -E 's/\(.*//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*) *$/\1/' "$work/declared" | sort -u > "$work/names"
  grep '@' "$work/declared" | sed -E 's/\(.*//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*) *$/\1/' | sort -u > "$work/api"
  "$NM" -D --defined-only "$LIBRARY" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort -u > "$work/exported"
  for name in pm_error pm_plain_output ppm_readppm optParseOptions3; do  # else an empty scan would pass
    grep -qx "$name" "$work/api" || fail "$name: no KESTRUM_API declaration found"
  done
  for name in $(comm -23 "$work/names" "$work/api"); do fail "$name is declared without KESTRUM_API"; done
  for name in $(comm -23 "$work/exported" "$work/api"); do fail "$name is exported but not public"; done
  for name in $(comm -13 "$work/exported" "$work/api"); do fail "$name is public but not exported"; done ;;
programs)
  # Each: input, the image written back, the summary. The photograph's colours
  # are counted without the library, the oracle.
  photo=$SOURCE_DIR/examples/coffee.ppm
  colours=$(tail -c +16 "$photo" | od -An -v -tx1 -w3 | sort -u | wc -l)
  printf 'P3\n3 1\n255\n255 0 0  0 255 0  255 0 0\n' > "$work/plain.in"
  printf 'P6\n3 1\n255\n\377\000\000\000\377\000\377\000\000' > "$work/plain.want"
  printf 'P6\n2 1\n65535\n\022\064\126\170\232\274\022\064\126\170\232\275' > "$work/wide.in"
  printf 'P1\n2 1\n0 1\n' > "$work/bits.in"
  printf 'P6\n2 1\n1\n\001\001\001\000\000\000' > "$work/bits.want"
  cp "$work/wide.in" "$work/wide.want"
  cp "$photo" "$work/photo.in"
  cp "$photo" "$work/photo.want"
  printf 'P7\n1 1\n255\n' > "$work/bad.in"
  for program in "$@"; do
    name=${program##*/}
    for case in "plain:3x1 maxval 255: 2 colours, 3 pixels" "wide:2x1 maxval 65535: 2 colours, 2 pixels" \
                "bits:2x1 maxval 1: 2 colours, 2 pixels" "photo:600x400 maxval 255: $colours colours, 240000 pixels"; do
      in=$work/${case%%:*}
      [ "$("$program" "$in.in" "$in.out")" = "${case#*:}" ] && cmp -s "$in.want" "$in.out" || fail "$name on ${case%%:*}"
    done
    st=0 && "$program" 2> "$work/err" || st=$?
    [ "$st:$(cat "$work/err")" = "1:usage:  $name inputfile outputfile" ] || fail "$name without arguments"
    st=0 && "$program" "$work/bad.in" "$work/bad.out" 2> "$work/err" || st=$?
    [ "$st:$(cat "$work/err")" = "1:$name: bad magic number - not a ppm, pgm, or pbm file" ] || fail "$name on a bad image"
    # A shared program needs the library by its SONAME, so that a compatible update replaces the file.
    case $name:$("$READELF" -d "$program") in
      *-static:*libkestrum*) fail "$name needs a shared libkestrum" ;;
      *-static:* | *"[libkestrum.so.$major]"*) ;;
      *) fail "$name does not need libkestrum.so.$major" ;;
    esac
  done ;;
esac
exit "$status"
