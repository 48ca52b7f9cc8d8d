#!/usr/bin/env bash
# Installs what is missing, builds Formwright, and trains every example under examples/ into
# out/ (or the folder given as $1), then lists what was written.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/install-deps.sh" || exit 1
bash "$here/scripts/build.sh" "$here/build" >/dev/null || exit 1

exe="$here/build/bin/Formwright"
out="${1:-$here/out}"
mkdir -p "$out"
cd "$here"   # the batch configurations name their files relative to the project folder

failures=0
step() {
  echo
  echo "\$ Formwright $*"
  "$exe" "$@"
  local status=$?
  echo "(exit status $status)"
  [ "$status" -eq 0 ] || failures=$((failures + 1))
  return 0
}

echo "== Usage text"
"$exe" --help || true

echo
echo "== Image target"
step "$out" examples/image-target.json examples/pictures/poster.png
echo
echo "== QR-code target"
step "$out" examples/qrcode-target.json
echo
echo "== Image target with a calibration file"
step "$out" examples/image-target.json examples/pictures/poster.png examples/camera.json
echo
echo "== Batch of image targets"
step -B "$out" examples/batch.json
echo
echo "== Batch of QR-code targets"
step -B "$out" examples/qrcode-batch.json

echo
echo "== CAD target (renders on an OpenGL display; a virtual one is started when there is none)"
xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
      xvfb_pid=$!
      export DISPLAY=":$n"
      sleep 1
      break
    fi
  done
fi
step "$out" examples/cad-target.json examples/models/bracket.obj examples/camera.json

echo
echo "== Written to $out"
find "$out" -type f | sort | while read -r f; do printf '%10d  %s\n' "$(stat -c %s "$f")" "${f#$out/}"; done
if [ "$failures" -ne 0 ]; then
  echo "$failures example run(s) failed"
  exit 1
fi
