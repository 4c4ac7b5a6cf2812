#!/usr/bin/env bash
# Sets everything up, builds the release and the sanitizer configurations
# and runs all tests in both, then runs each fuzz target for a short while.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

bash scripts/setup.sh

jobs=$(nproc)
# Tests are forced on: the run command configures the same build folder
# without them.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKADRO_TESTS=ON
cmake --build build
ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"

# Debug build with AddressSanitizer and UndefinedBehaviorSanitizer. Leak
# reports are off: glib and fontconfig keep process-lifetime caches
# that LeakSanitizer reports as leaks.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKADRO_SANITIZE=ON -DKADRO_TESTS=ON -DKADRO_BENCH=OFF
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$jobs"

# The fuzz targets, built with clang, about 40 s each from the seed corpora.
FUZZ_SECONDS=${FUZZ_SECONDS:-40} bash scripts/fuzz.sh
