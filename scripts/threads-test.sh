#!/usr/bin/env bash
# The program built with ThreadSanitizer in build/tsan, run on the sample
# photograph (several bands) with 1, 2 and 8 threads and from a pipe,
# undithered and dithered from fixed errors: a race report fails, as do
# different outputs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TSAN_BUILD_DIR:-build/tsan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUM_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" --target quantize
export TSAN_OPTIONS=halt_on_error=1:exitcode=66
for opts in "256" "-floyd -seed 3 64"; do
  for t in 1 2 8; do
    QUANTIZE_THREADS=$t "$build/tools/quantize/quantize" -quiet $opts examples/coffee.ppm > "$build/threads$t.ppm"
  done
  # From a pipe, whose bytes are held instead of read again.
  cat examples/coffee.ppm | QUANTIZE_THREADS=2 "$build/tools/quantize/quantize" -quiet $opts > "$build/piped.ppm"
  cmp "$build/threads1.ppm" "$build/threads2.ppm"
  cmp "$build/threads1.ppm" "$build/threads8.ppm"
  cmp "$build/threads1.ppm" "$build/piped.ppm"
done
echo "threads-test: no race, the same image with 1, 2 and 8 threads"
