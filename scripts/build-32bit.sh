#!/bin/sh
# Builds the library (its sources only: the test framework has no 32-bit
# build here) for a 32-bit target with -m32, where size_t and long are 32
# bits wide and the compiler has no 128-bit integers: code that only builds
# on a 64-bit host fails here.
#
#   BUILD32_DIR   build directory (default build/m32)
set -e
cd "$(dirname "$0")/.."
build=${BUILD32_DIR:-build/m32}
scripts/install-deps.sh m32
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DKESTRUM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target kestrum kestrum_shared
