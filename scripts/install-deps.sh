#!/usr/bin/env bash
# Installs every Debian package that building, running, testing and benchmarking Formwright needs.
# Idempotent: when everything is present it prints nothing and touches nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev libomp-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libassimp-dev assimp-testmodels
  libstb-dev libglfw3-dev libxcb1-dev libgl-dev libegl-dev libgl1-mesa-dri
  libeigen3-dev libfmt-dev picojson-dev rapidjson-dev libcereal-dev
  libqrcodegencpp-dev python3-glad
  xvfb xauth
  libopencv-dev opencv-doc
  zbar-tools
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${#missing[@]} package(s): ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
