#!/bin/sh
# Installs what a new Debian machine lacks for building and testing, and
# nothing else (never recommended packages).
set -e
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v ninja >/dev/null 2>&1 || need="$need ninja-build"
command -v g++ >/dev/null 2>&1 || need="$need g++"
command -v pkg-config >/dev/null 2>&1 || need="$need pkg-config"
[ -f /usr/include/gtest/gtest.h ] || need="$need libgtest-dev"
[ -f /usr/include/gmock/gmock.h ] || need="$need libgmock-dev"
[ -f /usr/include/benchmark/benchmark.h ] || need="$need libbenchmark-dev"
for extra in "$@"; do
  case "$extra" in
    fuzz) command -v clang++ >/dev/null 2>&1 || need="$need clang"
          ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need="$need libclang-rt-14-dev" ;;
    # A 32-bit C++ program must link, not only compile.
    m32) echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o /dev/null >/dev/null 2>&1 ||
           need="$need g++-multilib" ;;
  esac
done
if [ -n "$need" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$need (run as root, or install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $need
fi
