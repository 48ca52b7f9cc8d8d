#!/usr/bin/env bash
# Shows that the test suite bites: applies deliberate faults to the product one at a time, in a
# scratch copy of the tree, rebuilds, runs the test suite and reports the tests that fail for
# each fault. A fault that no test catches (a surviving mutant) makes the script exit with 1.
#   bash scripts/mutation-check.sh [scratch-folder]
# MUTATION_ONLY=<extended regular expression> tries only the faults whose names match it.
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
fault "an old folder set aside is removed, not put back" vision/Core/AtomicFile.cpp \
  "5, \".old-\") == 0; }" "5, \".old+\") == 0; }"
fault "a re-train resets the folder's permission bits" vision/Core/StagedFolder.cpp \
  "if (::fchmod(mLock, held.st_mode & 07777) != 0) return failedWith(errno);" ""
fault "a re-train drops the user's sub-folders" vision/Core/CarriedEntries.cpp \
  "if (::mkdirat(to, name.c_str(), 0700) != 0) return cannotKeep(shown + name, errno);" "continue;"
fault "a folder where a target file goes is dropped" vision/Core/CarriedEntries.cpp \
  "if (!S_ISDIR(info.st_mode)) continue;  // the old target's own file" "continue;"
fault "a flush error is ignored" vision/Core/CarriedEntries.cpp \
  "return error == 0 ? std::string() : cannotFlush(error);" "return std::string();"
fault "a user's .tmp-<word> folder taken for a leftover" vision/Core/AtomicFile.cpp \
  '|| !isNumberPair(name.substr(at + 5))) return {};' ') return {};'
fault "signals handled only while a folder is assembled" app/Program.cpp \
  "  Lumetra::endOnTerminatingSignals();\n" ""
fault "a replaced folder closed to writing is left behind" vision/Core/TerminatingSignals.cpp \
  "(folder.st_mode & S_IRWXU) != S_IRWXU" "(folder.st_mode & S_IRWXU) == 07777"
fault "an old folder set aside goes when a target made anew stands" vision/Core/AtomicFile.cpp \
  "back == EEXIST && !(isAsideName(name) && placedNothing(name, names))" "back == EEXIST"
fault "folders nested deeper than the tree removal are left" vision/Core/StagedFolder.cpp \
  '  std::error_code error;\n  fs::remove_all(fs::path("/proc/self/fd") / std::to_string(parent) / name, error);\n' ''
fault "a link set aside is never put back" vision/Core/AtomicFile.cpp \
  "S_ISLNK(info.st_mode)) {" "S_ISLNK(info.st_mode) && false) {"
fault "a staging folder armed for removal only after it is made" vision/Core/StagedFolder.cpp \
  '    armed = armStaging(mParent, mName, mStaging.string());\n    if (::mkdirat(mParent, mName.c_str(), 0777) != 0) {\n      if (errno == EEXIST) continue;  // a run of the same process id in another container\n      return failed(errno);\n    }\n    stopForTest("made", mParent, mName);\n' \
  '    if (::mkdirat(mParent, mName.c_str(), 0777) != 0) {\n      if (errno == EEXIST) continue;  // a run of the same process id in another container\n      return failed(errno);\n    }\n    stopForTest("made", mParent, mName);\n    armed = armStaging(mParent, mName, mStaging.string());\n'
fault "considered-edge angle 10 degrees" app/CadTraining.cpp \
  "kConsideredEdgeDegrees = 1.0f;" "kConsideredEdgeDegrees = 10.0f;"
fault "edges at the angle limit not counted" vision/Renderer/EdgeModel.cpp \
  "if (!(normalProduct(edge) <= limit)) break;" "if (!(normalProduct(edge) < limit)) break;"
fault "renderbuffer refusal ends in a full stop" app/CadSettings.cpp \
  'allows at most {} x {} pixels"' 'allows at most {} x {} pixels."'
fault "dangling link not taken for a target" app/CadTraining.cpp \
  "if (!fs::exists(fs::symlink_status(targetFolder, error))) return true;" \
  "if (!fs::exists(fs::status(targetFolder, error))) return true;"
fault "batch name may hold DEL" app/TrainingDrivers.cpp " || ch == 0x7f; };" "; };"
fault "batch count -1 taken as none" app/TrainingDrivers.cpp \
  "batchConfig.qrCodeTargetNum.value < 0) {" "batchConfig.qrCodeTargetNum.value < -1) {"
fault "key repeated in one object not refused" app/JsonConfig.cpp \
  "    keyIndex_.emplace(key, &slot->second);" "    if (first) keyIndex_.emplace(key, &slot->second);"
fault "PNG preparation skipped" vision/Image/CodecGuard.cpp \
  "prepareBmp(bytes) && preparePng(bytes)" "prepareBmp(bytes)"
fault "JPEG without its end marker accepted" vision/Image/CodecGuard.cpp \
  "if (i >= n) return false;  // no end-of-image marker" "if (i >= n) return true;  // no end-of-image marker"
fault "PLY list counts read in the wrong byte order" vision/Renderer/ModelFileGuard.cpp \
  "const std::size_t index = bigEndian ? at + k : at + size - 1 - k;" \
  "const std::size_t index = bigEndian ? at + size - 1 - k : at + k;"
fault "OFF face one corner short accepted" vision/Renderer/ModelFileGuard.cpp \
  "indexBelow(face[0], face.size());\n    for (std::size_t k = 1; sound && k <= std::strtoull(face[0].c_str(), nullptr, 10); ++k)" \
  "indexBelow(face[0], face.size() + 1);\n    for (std::size_t k = 1; sound && k < face.size(); ++k)"
fault "guarded child left running at its time limit" vision/Renderer/GuardedImport.cpp \
  "if (timedOut) ::kill(child, SIGKILL);" "if (false) ::kill(child, SIGKILL);"
fault "PLY header without end_header accepted" vision/Renderer/ModelFileGuard.cpp \
  'if (key == "end_header" && line.size() == 1) {' 'if (key.compare(0, 7, "end_hea") == 0 && line.size() == 1) {'
fault "texture side limit doubled" vision/Renderer/MeshTextures.cpp \
  "w <= MeshModel::kMaxTextureSide &&" "w <= 2 * MeshModel::kMaxTextureSide &&"
fault "copy names of two textures collapse" vision/Renderer/ImportedModel.cpp \
  "!taken.insert(fileName).second;" "false;"
fault "texture outside the model's folder used" vision/Renderer/TextureFiles.cpp \
  "if (mRoot.empty() || !liesIn(real, mRoot)) {" "if (mRoot.empty()) {"
fault "folder read again under each name links give it" vision/Renderer/TextureFiles.cpp \
  "identity{status.st_dev, status.st_ino};" "identity{status.st_dev, std::hash<std::string>{}(folder.string())};"
fault "texture file copied once per spelling" vision/Renderer/ModelCopy.cpp \
  "if (known != copied.end()) {" "if (false) {"
fault "textures decoded beyond their sum" vision/Renderer/MeshTextures.cpp \
  "std::min(pixelsLeft, MeshModel::kMaxTexturePixels)" "MeshModel::kMaxTexturePixels"
fault "copy of a file read past the size it had when opened" vision/Renderer/ModelCopy.cpp \
  "if (static_cast<std::uint64_t>(got) > left) {" "if (false) {"
fault "texture name too long kept in the copy" vision/Renderer/ModelCopy.cpp \
  "if (file.name.size() > longestName) {" "if (false) {"
fault "COLLADA unit text with words after its number read as the number" vision/Renderer/ScenePlacement.cpp \
  "if (error != std::errc() || end != text.data() + text.size()) return false;" "if (error != std::errc()) return false;"
fault "nodes naming one another many times built before a count" vision/Renderer/ModelFileGuard.cpp \
  "    if (!reason.empty()) {\n      error = reason;" "    if (false) {\n      error = reason;"
fault "a glTF file not named so left to the importer uncounted" vision/Renderer/NodeExpansion.cpp \
  "|| opening == '{') return NodeFormat::Gltf;" "|| false) return NodeFormat::Gltf;"
fault "a COLLADA file not named so read without its unit" vision/Renderer/NodeExpansion.cpp \
  "const bool xml = opening == '<' && start.find(\"<collada\") != std::string::npos;" "const bool xml = false;"
fault "glTF nested deeply not counted in the node expansion" vision/Renderer/NodeExpansion.cpp \
  "if (depth > 256 && (c == '{' || c == '[')) return skip();" "if (depth > 256) return false;"
fault "COLLADA instances spelled with character references not counted" vision/Renderer/NodeExpansion.cpp \
  "} else if (entity.size() > 1 && entity[0] == '#') {" "} else if (false) {"
fault "COLLADA attributes with spaces around their '=' not read" vision/Renderer/NodeExpansion.cpp \
  "std::size_t k = space(at + length);" "std::size_t k = at + length;"
fault "COLLADA comments read as nodes" vision/Renderer/NodeExpansion.cpp \
  'if (text.compare(at, 4, "<!--") == 0) {' 'if (false) {'
fault "self-closing COLLADA node left open" vision/Renderer/NodeExpansion.cpp \
  "if (tag.empty() || tag.back() != '/') open.push_back(node);" "open.push_back(node);"
fault "glTF without scenes counted from no root" vision/Renderer/NodeExpansion.cpp \
  "  if (h.roots.empty()) {" "  if (false) {"
fault "glTF string escapes not passed over" vision/Renderer/NodeExpansion.cpp \
  ") ++mAt;\n      else if (out != nullptr)" ") mAt += 0;\n      else if (out != nullptr)"
fault "glTF children not counted in the node expansion" vision/Renderer/NodeExpansion.cpp \
  'node.member("children")' 'node.member("child")'
fault "node transforms multiplied child first" vision/Renderer/ScenePlacement.cpp \
  "const aiMatrix4x4 placed = parent * node->mTransformation;" "const aiMatrix4x4 placed = node->mTransformation * parent;"
fault "nodes keep mesh numbers of dropped meshes" vision/Renderer/GuardedImport.cpp \
  "node->mMeshes[at++] = newIndex[node->mMeshes[k]];" "node->mMeshes[at++] = node->mMeshes[k];"
fault "faces repeated by nodes not counted" vision/Renderer/ScenePlacement.cpp \
  "if (placedFaces > ownFaces + kMaxRepeatedFaces)" "if (false)"
fault "COLLADA unit taken without its sign" vision/Renderer/ScenePlacement.cpp \
  "unit = root.determinant() < 0 ? -length : length;" "unit = length;"
fault "COLLADA unit not held to a usable model size" vision/Renderer/ScenePlacement.cpp \
  "if (size == 0.0 || (size >= kSmallestSize && size <= kLargestSize)) return {};" "return {};"
fault "peak memory leaves out the synthetic views' pixels" sdk/ObjectTracker/Trainer/Image/ImageTargetPeakMemory.cpp \
  "parts[0].bytes += pixels * (56.0" "parts[0].bytes += 0.0 * pixels * (56.0"
fault "a failed symmetric model's reason counts all views" app/CadTraining.cpp \
  "if (trained.templatesWanted > 0) asked.numTemplates" "if (false) asked.numTemplates"
fault "finest edge-sample step never tried" app/CadTraining.cpp \
  "step + 1 == std::size(kEdgeSampleStepsOfReach) ||" "step + 2 == std::size(kEdgeSampleStepsOfReach) ||"
fault "a display closing during the OpenGL start ends the process" vision/Renderer/OpenGL/OpenGlStart.cpp \
  "if (Start* start = tStart) {" "if (Start* start = tStart; false) {"
fault "exit handlers wait for a display lost during the OpenGL start" app/Program.cpp \
  "if (Lumetra::OpenGL::glfwGivenUp()) {" "if (false) {"
fault "a display given up earlier in a batch is said to have closed" vision/Renderer/OpenGL/GlContext.cpp \
  "mFailure = glfwGivenUp() ? windowSystemFailure()" "mFailure = false ? windowSystemFailure()"
fault "views cut by the near clipping plane blamed on the distance" app/CadTrainingReasons.cpp \
  "!spanSaid && trained.fewPixelsNearest < clipped)" "!spanSaid && false)"
fault "a renderer's window opened without a bound on the display" vision/Renderer/OpenGL/GlContext.cpp \
  "GLFWwindow* made = openWindowBounded(width, height, \"GLfw Window\", framebufferWidth, framebufferHeight, mFailure);" \
  "GLFWwindow* made = createWindow(width, height, \"GLfw Window\"); if (made != nullptr) glfwGetFramebufferSize(made, &framebufferWidth, &framebufferHeight);"

survivors=0
printf '\n%-40s %s\n' "fault" "failing tests"
for i in "${!names[@]}"; do
  name="${names[$i]}" file="${files[$i]}" old="${texts[$i]}" new="${faulty[$i]}"
  if [ -n "${MUTATION_ONLY:-}" ] && ! [[ "$name" =~ $MUTATION_ONLY ]]; then continue; fi
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
