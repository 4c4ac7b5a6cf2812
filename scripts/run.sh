#!/usr/bin/env bash
# Sets everything up, builds and installs kadro into out/kadro, and runs it
# on the bundled sample photos. Prints where the results are.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKADRO_TESTS=OFF -DKADRO_BENCH=OFF >/dev/null
cmake --build build
prefix=$here/out/kadro
cmake --install build --prefix "$prefix" >/dev/null

results=$here/out/results
mkdir -p "$results"
samples=$here/.cache/samples
"$prefix/bin/kadro" inspect --json "$samples/astronaut.png" "$samples/camera.png" \
  2>/dev/null >"$results/inspect.jsonl"
"$prefix/bin/kadro" inspect "$samples/astronaut.png" "$samples/camera.png" 2>/dev/null

echo
echo "kadro installed at: $prefix/bin/kadro"
echo "results in:         $results"
ls -1 "$results" | sed "s|^|  $results/|"
