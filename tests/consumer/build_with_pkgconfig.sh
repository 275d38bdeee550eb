#!/bin/sh
# Builds histcopy.c the way a C user does, against an installed library found
# through pkg-config alone: linked to the shared library and, when STATIC is
# 1, fully static (which takes the library's private dependencies too).
# usage: build_with_pkgconfig.sh PKGCONFIG_DIR OUTDIR CC "FLAGS" STATIC SOURCE
set -eu
pcdir=$1 out=$2 cc=$3 flags=$4 static=$5 source=$6

if ! command -v pkg-config >/dev/null 2>&1; then
  echo "pkg-config not found (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
# Search only the scratch install, never the machine's own .pc files.
PKG_CONFIG_LIBDIR=$pcdir
export PKG_CONFIG_LIBDIR
unset PKG_CONFIG_PATH || true

cflags=$(pkg-config --cflags kestrum)
libs=$(pkg-config --libs kestrum)
libdir=$(pkg-config --variable=libdir kestrum)
mkdir -p "$out"
rm -f "$out/histcopy" "$out/histcopy-static"
set -x
# Strict C99: the public headers must serve any C program.
$cc -std=c99 -pedantic -Wall -Wextra -Werror $flags $cflags -c "$source" -o "$out/histcopy.o"
$cc $flags "$out/histcopy.o" -o "$out/histcopy" $libs -Wl,-rpath,"$libdir"
if [ "$static" = 1 ]; then
  $cc -static "$out/histcopy.o" -o "$out/histcopy-static" $(pkg-config --static --libs kestrum)
fi
