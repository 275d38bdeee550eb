#!/usr/bin/env bash
# Builds the fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer),
# replays each target's seeds and recorded crashers without the engine, then
# fuzzes it for a while. Each input is held to a memory and time cap, so that
# one whose cost outgrows its few bytes is reported like a crash; any crash,
# hang, leak or sanitizer report fails the script.
#   FUZZ_SECONDS (20) per target, FUZZ_BUILD_DIR (build/fuzz), FUZZ_TARGETS (all)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build/fuzz}
# The sanitizer's quarantine of freed blocks (256 MB by default) would count against the cap.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}
scripts/install-deps.sh fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUM_FUZZ=ON -DKESTRUM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets
status=0
for t in ${FUZZ_TARGETS:-$(ls fuzz/corpus)}; do
  work="$build/fuzz-work/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  if ! "$build/fuzz/fuzz_${t}_replay" "fuzz/corpus/$t" $(ls -d "fuzz/crashers/$t" 2>/dev/null) >"$work/replay.log" 2>&1; then
    echo "FAIL $t: replaying its seeds and crashers"; tail -n 40 "$work/replay.log"; status=1
  # New inputs go to the first directory; the committed seeds stay as they are.
  elif ! "$build/fuzz/fuzz_$t" -max_total_time="${FUZZ_SECONDS:-20}" -rss_limit_mb=512 -malloc_limit_mb=256 \
      -timeout=5 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work/corpus" "fuzz/corpus/$t" >"$work/fuzz.log" 2>&1; then
    echo "FAIL $t: finding kept in $work/artifacts/"; grep -v '^#' "$work/fuzz.log" | tail -n 50; status=1
  else
    echo "ok   $t: $(awk '/average_exec_per_sec/ {print $2}' "$work/fuzz.log") exec/s," \
      "$(grep -E '^#[0-9]+.*(DONE|cov:)' "$work/fuzz.log" | tail -n 1)"
  fi
done
exit $status
