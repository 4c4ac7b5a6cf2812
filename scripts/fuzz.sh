#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz) and runs each for a
# bounded time, two at a time, starting from the seed corpora in fuzz/corpus.
# A crash, a sanitizer report, a failed check or a hang fails the run; the
# input that did it is left in build-fuzz/findings and the log's end shown.
#
#   bash scripts/fuzz.sh                  # 45 s per target
#   FUZZ_SECONDS=600 bash scripts/fuzz.sh image_job preset_json
#
# New inputs the fuzzers find go to build-fuzz/corpus, never to the seeds.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

seconds=${FUZZ_SECONDS:-45}
jobs=${FUZZ_JOBS:-$(nproc)}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(image_job face_job face_model preset_json preset_store recipe_settings)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKADRO_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"

out=build-fuzz/runs
mkdir -p "$out" build-fuzz/findings

run() {
  local target=$1 work=build-fuzz/corpus/$1 dict=()
  mkdir -p "$work"
  [ -f "fuzz/dict/$target.dict" ] && dict=("-dict=fuzz/dict/$target.dict")
  # glib and fontconfig keep process-lifetime caches that the leak
  # checker would report; the store and JSON targets stay checked for leaks.
  local leaks=1
  case $target in image_job | face_job | recipe_settings) leaks=0 ;; esac
  ASAN_OPTIONS=detect_leaks=$leaks:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    nice "build-fuzz/fuzz/${target}_fuzzer" "${dict[@]}" -max_total_time="$seconds" \
      -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$target-" "$work" "fuzz/corpus/$target" \
      >"$out/$target.log" 2>&1
}

failed=()
report() {  # target
  failed+=("$1")
  echo "fuzz: $1 failed; the end of build-fuzz/runs/$1.log:"
  tail -n 60 "$out/$1.log"
}
pids=()
names=()
for target in "${targets[@]}"; do
  run "$target" &
  pids+=($!)
  names+=("$target")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || report "${names[0]}"
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || report "${names[$i]}"
done

for target in "${targets[@]}"; do
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$target.log" | tail -n 1)
  echo "fuzz: $target: ${runs:-?} executions in ${seconds} s"
done
echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
