#!/usr/bin/env bash
# Configures and builds Formwright (Release) into build/ or the folder given as $1.
# Extra arguments are passed to cmake's configure step.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"
shift || true
jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" --parallel "$jobs"
