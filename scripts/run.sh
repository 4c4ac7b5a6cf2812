#!/usr/bin/env bash
# Sets everything up, builds and installs kadro into out/kadro, and runs the
# main job: the Open With flow of the plug-in, through the kadro host, on
# copies of the bundled sample photos with each built-in preset. Prints where
# the results are.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKADRO_TESTS=OFF -DKADRO_BENCH=OFF >/dev/null
cmake --build build
prefix=$here/out/kadro
cmake --install build --prefix "$prefix" >/dev/null
kadro=$prefix/bin/kadro

# The demo keeps its own preset store, so that it shows the built-in presets
# whatever the user has stored.
export XDG_CONFIG_HOME=$here/out/config
results=$here/out/results
rm -rf "$results" "$XDG_CONFIG_HOME"
mkdir -p "$results"
samples=$here/.cache/samples

"$kadro" inspect --json "$samples/astronaut.png" "$samples/camera.png" \
  2>/dev/null >"$results/inspect.jsonl"
"$kadro" actions --icons "$results/icons" "$samples/astronaut.png" >/dev/null

for preset in Square Circle Hexagon "Just Border"; do
  folder=$results/$preset
  mkdir -p "$folder"
  cp "$samples/astronaut.png" "$samples/camera.png" "$folder/"
  vips copy "$samples/astronaut.png" "$folder/astronaut.jpg"
  echo "== kadro open-with \"$preset\""
  "$kadro" open-with "$preset" "$folder/astronaut.png" "$folder/camera.png" \
    "$folder/astronaut.jpg" >/dev/null
done

echo
echo "kadro installed at: $kadro"
echo "results in:         $results"
find "$results" -type f | sort | sed "s|^|  |"
