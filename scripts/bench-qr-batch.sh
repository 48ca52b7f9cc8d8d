#!/usr/bin/env bash
# Times one batch of many QR-code targets written into one folder, to show that a batch's time
# grows in proportion to its targets however many entries the folder holds.
# Usage: bench-qr-batch.sh [count (100000)] [folder (a new one under /tmp)] [executable]
# The folder is left as it is, so that a second run shows a folder already holding the targets.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
count="${1:-100000}"
out="${2:-$(mktemp -d /tmp/formwright-qr-batch-XXXXXX)}"
exe="${3:-$here/build/bin/Formwright}"
mkdir -p "$out"
printf '{"Config.Target.Type": "QRCode"}\n' >"$out/.training.json"
printf '{"Batch.Target.Type": "QRCode", "Batch.Target.Name": "Seat", "Batch.QRCodeTarget.Num": %s, "Batch.Config.File": "%s"}\n' \
  "$count" "$out/.training.json" >"$out/.batch.json"
before=$(find "$out" -mindepth 1 -maxdepth 1 | wc -l)
start=$(date +%s%N)
status=0
"$exe" -B "$out" "$out/.batch.json" >/dev/null || status=$?
milliseconds=$((($(date +%s%N) - start) / 1000000))
written=$(find "$out" -mindepth 1 -maxdepth 1 -name 'PALOM_Seat_*' | wc -l)
printf '%s QR targets into %s (%s entries before): %d.%03d s, exit status %s, %s target folders there now\n' \
  "$count" "$out" "$before" $((milliseconds / 1000)) $((milliseconds % 1000)) "$status" "$written"
