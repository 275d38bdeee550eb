#!/usr/bin/env bash
# Builds the fuzz targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs every target over its seed corpus for a short while, after
# replaying the seeds and every recorded crasher without the engine. Any
# crash, hang, leak or sanitizer report fails the script.
#
#   FUZZ_SECONDS   time per target (default 20)
#   FUZZ_JOBS      targets run at once (default 1)
#   FUZZ_BUILD_DIR build directory (default build/fuzz)
#   FUZZ_TARGETS   targets to run (default: every directory of fuzz/corpus)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
jobs=${FUZZ_JOBS:-1}
build=${FUZZ_BUILD_DIR:-build/fuzz}
scripts/install-deps.sh fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUM_FUZZ=ON -DKESTRUM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

run_target() {
  local t=$1 work="$build/fuzz-work/$1"
  mkdir -p "$work/corpus" "$work/artifacts"
  local inputs=("fuzz/corpus/$t")
  [ -d "fuzz/crashers/$t" ] && inputs+=("fuzz/crashers/$t")
  if ! "$build/fuzz/fuzz_${t}_replay" "${inputs[@]}" >"$work/replay.log" 2>&1; then
    echo "FAIL $t: replaying its seeds and crashers"; tail -n 40 "$work/replay.log"; return 1
  fi
  # The first directory receives what the run discovers; the seeds stay as
  # they are in the repository.
  if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work/corpus" "fuzz/corpus/$t" >"$work/fuzz.log" 2>&1; then
    echo "FAIL $t: finding kept in $work/artifacts/"; tail -n 60 "$work/fuzz.log"; return 1
  fi
  local last execs
  last=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$work/fuzz.log" | tail -n 1)
  execs=$(grep -E 'stat::average_exec_per_sec' "$work/fuzz.log" | awk '{print $2}')
  echo "ok   $t: ${seconds}s, ${execs:-?} exec/s, ${last}"
}

status=0
pids=()
for t in "${targets[@]}"; do
  run_target "$t" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
