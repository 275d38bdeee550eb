#!/bin/sh
# The files `cmake --install` laid down in PREFIX, as packagers and users
# meet them. Settings come from the environment: PREFIX, LIBDIR, INCLUDEDIR,
# BINDIR, MANDIR (the last four relative to PREFIX), VERSION, SOURCE_DIR,
# BUILD_DIR, READELF, PKG_CONFIG, CC, CXX, CMAKE.
set -eu
lib=$PREFIX/$LIBDIR include=$PREFIX/$INCLUDEDIR major=${VERSION%%.*}
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# The shared library: the real file, its SONAME link and the development
# link, and no search path into the build tree, which would outlive it.
[ "$(readlink "$lib/libkestrum.so")" = "libkestrum.so.$major" ] || fail "libkestrum.so is not a link to libkestrum.so.$major"
[ "$(readlink "$lib/libkestrum.so.$major")" = "libkestrum.so.$VERSION" ] || fail "libkestrum.so.$major is not a link to libkestrum.so.$VERSION"
[ -f "$lib/libkestrum.so.$VERSION" ] && [ ! -L "$lib/libkestrum.so.$VERSION" ] || fail "no libkestrum.so.$VERSION"
dynamic=$("$READELF" -d "$lib/libkestrum.so.$VERSION" || true)
case $dynamic in *"Library soname: [libkestrum.so.$major]"*) ;; *) fail "SONAME is not libkestrum.so.$major" ;; esac
case $dynamic in *RPATH* | *RUNPATH*) fail "the shared library carries a search path: $dynamic" ;; esac
[ -f "$lib/libkestrum.a" ] || fail "no libkestrum.a"

# The headers: exactly the public ones, each compiling on its own from the
# installed directory as strict C99 and as C++.
public=$SOURCE_DIR/lib/include/kestrum
want=$(cd "$public" && ls -- *.h)
got=$(cd "$include/kestrum" && ls -- *.h)
[ "$want" = "$got" ] || fail "installed headers: $got; public ones: $want"
for h in $want; do
  cmp -s "$public/$h" "$include/kestrum/$h" || fail "$h differs from its source"
  echo "#include <kestrum/$h>" | "$CC" -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$include" -x c - ||
    fail "$h does not compile as C"
  echo "#include <kestrum/$h>" | "$CXX" -std=c++11 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$include" -x c++ - ||
    fail "$h does not compile as C++"
done

# pkg-config, searching only the scratch prefix. A C program linking the
# archive also needs the C++ runtime.
PKG_CONFIG_LIBDIR=$lib/pkgconfig
export PKG_CONFIG_LIBDIR
unset PKG_CONFIG_PATH || true
pc() { "$PKG_CONFIG" "$@" kestrum | sed 's/ *$//'; }
[ "$(pc --modversion)" = "$VERSION" ] || fail "pkg-config --modversion: $(pc --modversion)"
[ "$(pc --cflags)" = "-I$include" ] || fail "pkg-config --cflags: $(pc --cflags)"
[ "$(pc --libs)" = "-L$lib -lkestrum" ] || fail "pkg-config --libs: $(pc --libs)"
[ "$(pc --variable=libdir)" = "$lib" ] || fail "pkg-config --variable=libdir: $(pc --variable=libdir)"
case " $(pc --static --libs) " in *" -lstdc++ "*) ;; *) fail "pkg-config --static --libs lacks -lstdc++" ;; esac

# The CMake package computes its paths from its own place, so that it still
# works when the prefix is moved or was staged with DESTDIR.
package=$lib/cmake/Kestrum
for f in KestrumConfig.cmake KestrumConfigVersion.cmake KestrumTargets.cmake; do
  [ -f "$package/$f" ] || fail "no $f"
done
if grep -l -F -e "$PREFIX" -e "$SOURCE_DIR" "$package"/*; then fail "the CMake package names fixed paths"; fi

# A staged install: kestrum.pc names the prefix the files will finally live under.
stage=$(mktemp -d)
DESTDIR=$stage "$CMAKE" --install "$BUILD_DIR" --prefix /opt/kestrum --component development > /dev/null ||
  fail "staged install failed"
pcfile=$stage/opt/kestrum/$LIBDIR/pkgconfig/kestrum.pc
[ "$(head -n 1 "$pcfile")" = "prefix=/opt/kestrum" ] || fail "staged kestrum.pc: $(head -n 1 "$pcfile")"
if grep -F "$stage" "$pcfile"; then fail "staged kestrum.pc names the staging directory"; fi
rm -rf "$stage"

# The program and its manual page.
[ -x "$PREFIX/$BINDIR/quantize" ] || fail "no executable $BINDIR/quantize"
page=$SOURCE_DIR/tools/quantize/quantize.1
if [ -f "$page" ]; then
  cmp -s "$page" "$PREFIX/$MANDIR/man1/quantize.1" || fail "the installed manual page differs"
fi
[ "$status" -eq 0 ] && echo "checked the install in $PREFIX"
exit "$status"
