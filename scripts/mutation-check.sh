#!/usr/bin/env bash
# Shows that the test suite bites: applies deliberate faults to the product one at a time, in a
# scratch copy of the tree, rebuilds, runs the test suite and reports the tests that fail for
# each fault. A fault that no test catches (a surviving mutant) makes the script exit with 1.
#   bash scripts/mutation-check.sh [scratch-folder]
# The live tree is never changed; the scratch copy (default: a new folder under /tmp) is removed
# at the end, also when the run is interrupted.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
scratch="${1:-$(mktemp -d /tmp/formwright-mutants-XXXXXX)}"
jobs="${MUTATION_JOBS:-3}"
current=""
source "$here/scripts/xvfb.sh"

cleanup() {
  # Put back the file of a fault that was being tried, then drop the scratch copy.
  if [ -n "$current" ] && [ -f "$current.orig" ]; then mv -f "$current.orig" "$current" && touch "$current"; fi
  stop_display
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$scratch/src"
# The working tree as it is (tracked and new files, nothing that git ignores such as build folders).
(cd "$here" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done | tar -c --null -T - -f -) | tar -x -C "$scratch/src" || exit 2
src="$scratch/src"
build="$scratch/build"

start_display

echo "Building the scratch copy in $build"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFORMWRIGHT_BUILD_BENCH=OFF >/dev/null || exit 2
cmake --build "$build" -j "$jobs" >"$scratch/build.log" 2>&1 || { tail -20 "$scratch/build.log"; exit 2; }

# The tests that fail, one name a line (empty when all pass).
failing_tests() {
  (cd "$build" && ctest -j "$jobs" --timeout 600 >"$scratch/ctest.log" 2>&1)
  sed -n '/The following tests FAILED:/,$p' "$scratch/ctest.log" | sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' |
    sed 's/[[:space:]]*# GetParam() = .*$//'
}

baseline="$(failing_tests)"
if [ -n "$baseline" ]; then
  echo "The unchanged tree fails tests already:"
  echo "$baseline"
  exit 2
fi

# Replaces the one occurrence of OLD by NEW in FILE (exact text, Python escapes such as \n).
mutate() {
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, old, new = sys.argv[1], sys.argv[2].encode().decode("unicode_escape"), sys.argv[3].encode().decode("unicode_escape")
text = open(path).read()
if text.count(old) != 1:
    sys.exit("expected one occurrence of %r in %s, found %d" % (old, path, text.count(old)))
open(path, "w").write(text.replace(old, new))
EOF
}

names=() files=() texts=() faulty=()
fault() { names+=("$1"); files+=("$2"); texts+=("$3"); faulty+=("$4"); }
fault "two-thirds reduction rounds down" vision/Image/ImageOP.cpp \
  "d[x] = static_cast<uchar>((sum * 3641 + 16384) >> 15);" "d[x] = static_cast<uchar>((sum * 3641) >> 15);"
fault "FAST suppression keeps equal neighbours" vision/Feature/FastCornerDetector.cpp \
  "if (s > here[j - 1] && s > here[j + 1]" "if (s >= here[j - 1] && s >= here[j + 1]"
fault "descriptor bits in reverse order" vision/Feature/BinaryDescriptor.cpp \
  "byte |= static_cast<unsigned>(va < vb) << j;" "byte |= static_cast<unsigned>(va < vb) << (7 - j);"
fault "grid fill-up ignores the mask" vision/Feature/GridFeatureExtractor.cpp \
  'break;\n    if (maskIsFree(c.x, c.y)) {' 'break;\n    if (true) {'
fault "_KPT.dat: score before level" sdk/ObjectTracker/Trainer/Image/ImageTargetFiles.cpp \
  "archive(keyPoint.level, keyPoint.score);" "archive(keyPoint.score, keyPoint.level);"
fault "JSON member renamed" sdk/ObjectTracker/Trainer/Image/ImageTargetFiles.cpp \
  '"mTrackabilityScore"' '"mTrackability"'
fault "QR module one pixel larger" sdk/ObjectTracker/Trainer/QRCode/QRCodeTargetGenerator.cpp \
  "drawQRCode(*code, pixelsPerModule, moduleCount);" "drawQRCode(*code, pixelsPerModule + 1, moduleCount);"
fault "default of Image.FAST.Number" app/Configs.h \
  '"Image.FAST.Number", 4000,' '"Image.FAST.Number", 4001,'
fault "paths printed unquoted" app/Console.cpp \
  'std::string quotePath(const std::string& path) {\n' 'std::string quotePath(const std::string& path) {\n  if (!path.empty()) return path;\n'
fault "files replaced one by one, not the folder" vision/Core/StagedFolder.cpp \
  "if (::renameat2(AT_FDCWD, mStaging.c_str(), AT_FDCWD, mFolder.c_str(), RENAME_EXCHANGE) == 0) {" \
  "if (errno = EINVAL; false) {"
fault "considered-edge angle 10 degrees" app/CadTraining.cpp \
  "kConsideredEdgeDegrees = 1.0f;" "kConsideredEdgeDegrees = 10.0f;"
fault "edges at the angle limit not counted" vision/Renderer/EdgeModel.cpp \
  "if (!(normalProduct(edge) <= limit)) break;" "if (!(normalProduct(edge) < limit)) break;"
fault "renderbuffer refusal ends in a full stop" app/CadSettings.cpp \
  'allows at most {} x {} pixels"' 'allows at most {} x {} pixels."'
fault "peak memory leaves out the synthetic views' pixels" sdk/ObjectTracker/Trainer/Image/ImageTargetPeakMemory.cpp \
  "parts[0].bytes += pixels * (56.0" "parts[0].bytes += 0.0 * pixels * (56.0"
fault "a failed symmetric model's reason counts all views" app/CadTraining.cpp \
  "if (trained.templatesWanted > 0) asked.numTemplates" "if (false) asked.numTemplates"
fault "finest edge-sample step never tried" app/CadTraining.cpp \
  "step + 1 == std::size(kEdgeSampleStepsOfReach) ||" "step + 2 == std::size(kEdgeSampleStepsOfReach) ||"
fault "a display closing during the OpenGL start ends the process" vision/Renderer/OpenGL/OpenGlStart.cpp \
  "if (Start* start = tStart) {" "if (Start* start = tStart; false) {"

survivors=0
printf '\n%-40s %s\n' "fault" "failing tests"
for i in "${!names[@]}"; do
  name="${names[$i]}" file="${files[$i]}" old="${texts[$i]}" new="${faulty[$i]}"
  current="$src/$file"
  cp "$current" "$current.orig"
  if ! mutate "$current" "$old" "$new"; then
    printf '%-40s %s\n' "$name" "NOT APPLIED"
    survivors=$((survivors + 1))
  elif ! cmake --build "$build" -j "$jobs" >"$scratch/build.log" 2>&1; then
    printf '%-40s %s\n' "$name" "DOES NOT BUILD (see the build log)"
    tail -5 "$scratch/build.log"
    survivors=$((survivors + 1))
  else
    failed="$(failing_tests)"
    if [ -z "$failed" ]; then
      printf '%-40s %s\n' "$name" "SURVIVED"
      survivors=$((survivors + 1))
    else
      printf '%-40s %s\n' "$name" "$(echo "$failed" | head -6 | paste -sd ' ')$( [ "$(echo "$failed" | wc -l)" -gt 6 ] && echo " ... ($(echo "$failed" | wc -l) in all)")"
    fi
  fi
  # A fresh time stamp, so that the build notices the file changed back.
  mv -f "$current.orig" "$current" && touch "$current"
  current=""
done
# Rebuild the unchanged copy last, so that a kept build folder matches its sources.
cmake --build "$build" -j "$jobs" >/dev/null 2>&1

if [ "$survivors" -ne 0 ]; then
  echo "$survivors fault(s) not caught"
  exit 1
fi
echo "Every fault is caught."
