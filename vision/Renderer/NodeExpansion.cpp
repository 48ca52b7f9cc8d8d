#include "Renderer/NodeExpansion.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <utility>
#include <vector>

namespace Lumetra {

namespace {

constexpr std::uint64_t kSaturated = std::uint64_t{1} << 62;

/// Nodes, each with the nodes it names (as children or instances, repeats kept), and the entries
/// that the scene names as its roots.
struct Hierarchy {
  std::vector<std::vector<std::size_t>> named;
  std::vector<std::size_t> roots;
};

/// The nodes the roots become, each naming built as a copy (a naming that closes a cycle counts
/// nothing); saturates at kSaturated. Iterative: a hierarchy may nest deeper than the stack.
std::uint64_t expandedNodes(const Hierarchy& h) {
  enum : std::uint8_t { New, Open, Done };
  std::vector<std::uint8_t> state(h.named.size(), New);
  std::vector<std::uint64_t> size(h.named.size(), 0);
  std::vector<std::pair<std::size_t, std::size_t>> path;  // node, next naming to visit
  std::uint64_t total = 0;
  for (const std::size_t root : h.roots) {
    if (root >= h.named.size()) continue;
    if (state[root] == New) path.emplace_back(root, 0), state[root] = Open;
    while (!path.empty()) {
      auto& [node, next] = path.back();
      if (next < h.named[node].size()) {
        const std::size_t child = h.named[node][next++];
        if (child < h.named.size() && state[child] == New) path.emplace_back(child, 0), state[child] = Open;
        continue;
      }
      std::uint64_t nodes = 1;
      for (const std::size_t child : h.named[node])
        if (child < h.named.size() && state[child] == Done) nodes = std::min(kSaturated, nodes + size[child]);
      size[node] = nodes, state[node] = Done;
      path.pop_back();
    }
    if (state[root] == Done) total = std::min(kSaturated, total + size[root]);
  }
  return total;
}

/// A JSON value, keeping only what the node hierarchy needs: numbers, arrays and objects.
struct Json {
  double number = -1.0;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;
  const Json* member(const char* key) const {
    for (const auto& [name, value] : members)
      if (name == key) return &value;
    return nullptr;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : mText(text) {}
  bool read(Json& value, int depth = 0) {
    space();
    if (mAt >= mText.size()) return false;
    const char c = mText[mAt];
    if (depth > 256 && (c == '{' || c == '[')) return skip();
    if (c == '{' || c == '[') return list(value, c == '{', depth);
    if (c == '"') return string(nullptr);
    const std::size_t start = mAt;
    while (mAt < mText.size() && std::strchr(",]} \t\r\n", mText[mAt]) == nullptr) ++mAt;
    if (mAt == start) return false;
    if (std::isdigit(static_cast<unsigned char>(c))) value.number = std::atof(mText.substr(start, mAt - start).c_str());
    return true;
  }

 private:
  /// Passes over an array or object nested too deep to keep (no part of the hierarchy lies there).
  bool skip() {
    for (std::size_t open = 0; mAt < mText.size();) {
      const char c = mText[mAt];
      if (c == '"') {
        if (!string(nullptr)) return false;
        continue;
      }
      ++mAt;
      if (c == '[' || c == '{') ++open;
      else if ((c == ']' || c == '}') && --open == 0) return true;
    }
    return false;
  }
  void space() {
    while (mAt < mText.size() && std::isspace(static_cast<unsigned char>(mText[mAt]))) ++mAt;
  }
  bool string(std::string* out) {
    for (++mAt; mAt < mText.size() && mText[mAt] != '"'; ++mAt) {
      if (mText[mAt] == '\\') ++mAt;
      else if (out != nullptr) out->push_back(mText[mAt]);
    }
    return mAt++ < mText.size();
  }
  bool list(Json& value, bool object, int depth) {
    const char close = object ? '}' : ']';
    ++mAt;
    space();
    if (mAt < mText.size() && mText[mAt] == close) return ++mAt, true;
    for (;;) {
      std::string key;
      if (object) {
        space();
        if (mAt >= mText.size() || mText[mAt] != '"' || !string(&key)) return false;
        space();
        if (mAt >= mText.size() || mText[mAt++] != ':') return false;
      }
      Json item;
      if (!read(item, depth + 1)) return false;
      if (object) value.members.emplace_back(std::move(key), std::move(item));
      else value.items.push_back(std::move(item));
      space();
      if (mAt >= mText.size()) return false;
      if (mText[mAt++] == close) return true;
      if (mText[mAt - 1] != ',') return false;
    }
  }
  const std::string& mText;
  std::size_t mAt = 0;
};

/// The indices a JSON array lists (others are left out).
std::vector<std::size_t> indices(const Json* array) {
  std::vector<std::size_t> out;
  for (const Json& item : array != nullptr ? array->items : std::vector<Json>{})
    if (item.number >= 0.0 && item.number < 4e9) out.push_back(static_cast<std::size_t>(item.number));
  return out;
}

/// A glTF file's nodes; its roots are the nodes its scenes name, or else every node no node names.
bool gltfHierarchy(const std::string& text, Hierarchy& h) {
  Json root;
  if (!JsonReader(text).read(root)) return false;
  const Json* nodes = root.member("nodes");
  if (nodes == nullptr) return false;
  for (const Json& node : nodes->items) h.named.push_back(indices(node.member("children")));
  const Json* scenes = root.member("scenes");
  for (const Json& scene : scenes != nullptr ? scenes->items : std::vector<Json>{}) {
    const std::vector<std::size_t> named = indices(scene.member("nodes"));
    h.roots.insert(h.roots.end(), named.begin(), named.end());
  }
  if (h.roots.empty()) {
    std::vector<bool> isChild(h.named.size(), false);
    for (const auto& named : h.named)
      for (const std::size_t child : named)
        if (child < isChild.size()) isChild[child] = true;
    for (std::size_t n = 0; n < isChild.size(); ++n)
      if (!isChild[n]) h.roots.push_back(n);
  }
  return true;
}

/// An attribute's text with its character references and predefined entities replaced, as the
/// XML reader gives it (a reference beyond ASCII as UTF-8).
std::string decoded(const std::string& text) {
  static const std::map<std::string, char> kNamed = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const std::size_t end = text[k] == '&' ? text.find(';', k) : std::string::npos;
    const std::string entity = end != std::string::npos ? text.substr(k + 1, end - k - 1) : std::string();
    const auto named = kNamed.find(entity);
    if (named != kNamed.end()) {
      out += named->second;
    } else if (entity.size() > 1 && entity[0] == '#') {
      const bool hex = entity[1] == 'x';
      std::uint32_t code = static_cast<std::uint32_t>(std::strtoul(entity.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
      if (code < 0x80) out += static_cast<char>(code);
      else if (code < 0x800) out += {static_cast<char>(0xC0 | code >> 6), static_cast<char>(0x80 | (code & 0x3F))};
      else if (code < 0x10000) out += {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                                       static_cast<char>(0x80 | (code & 0x3F))};
      else out += {static_cast<char>(0xF0 | (code >> 18 & 0x07)), static_cast<char>(0x80 | (code >> 12 & 0x3F)),
                   static_cast<char>(0x80 | (code >> 6 & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
    } else {
      out += text[k];
      continue;
    }
    k = end;
  }
  return out;
}


/// A COLLADA file's nodes and visual scenes, each naming the nodes inside it and those it
/// instances; its roots are its visual scenes.
bool colladaHierarchy(const std::string& text, Hierarchy& h) {
  std::map<std::string, std::size_t> byId;
  std::vector<std::pair<std::size_t, std::string>> instances;  // node, the id it instances
  std::vector<std::size_t> open;
  for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
    if (text.compare(at, 4, "<!--") == 0) {
      at = text.find("-->", at);
      if (at == std::string::npos) break;
      continue;
    }
    const std::size_t end = text.find('>', at);
    if (end == std::string::npos) break;
    const std::string tag = text.substr(at + 1, end - at - 1);
    const std::string name = tag.substr(0, tag.find_first_of(" \t\r\n/", 1));  // "/node" for a closing tag
    if (name == "node" || name == "visual_scene") {
      const std::size_t node = h.named.size();
      h.named.emplace_back();
      if (!open.empty()) h.named[open.back()].push_back(node);
      if (name == "visual_scene") h.roots.push_back(node);
      const std::string id = xmlAttribute(tag, "id");
      if (!id.empty()) byId.try_emplace(id, node);
      if (tag.empty() || tag.back() != '/') open.push_back(node);
    } else if ((name == "/node" || name == "/visual_scene") && !open.empty()) {
      open.pop_back();
    } else if (name == "instance_node" && !open.empty()) {
      const std::string url = xmlAttribute(tag, "url");
      if (url.size() > 1 && url[0] == '#') instances.emplace_back(open.back(), url.substr(1));
    }
    at = end;
  }
  for (const auto& [node, id] : instances) {
    const auto target = byId.find(id);
    if (target != byId.end()) h.named[node].push_back(target->second);
  }
  return true;
}

bool endsWithNoCase(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() &&
         std::equal(ending.begin(), ending.end(), text.end() - static_cast<std::ptrdiff_t>(ending.size()),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

std::string xmlAttribute(const std::string& tag, const char* name) {
  const std::size_t length = std::strlen(name);
  const auto space = [&tag](std::size_t k) {
    while (k < tag.size() && std::isspace(static_cast<unsigned char>(tag[k]))) ++k;
    return k;
  };
  for (std::size_t at = tag.find(name); at != std::string::npos; at = tag.find(name, at + 1)) {
    std::size_t k = space(at + length);
    if (at == 0 || !std::isspace(static_cast<unsigned char>(tag[at - 1])) || k >= tag.size() || tag[k] != '=') continue;
    k = space(k + 1);
    const char quote = k < tag.size() ? tag[k] : '\0';
    const std::size_t end = tag.find(quote, k + 1);
    if ((quote == '"' || quote == '\'') && end != std::string::npos) return decoded(tag.substr(k + 1, end - k - 1));
  }
  return {};
}

NodeFormat nodeFormat(const std::string& path, const std::string& head) {
  if (endsWithNoCase(path, ".glb") || head.compare(0, 4, "glTF") == 0) return NodeFormat::Glb;
  const std::size_t first = head.find_first_not_of(" \t\r\n\xEF\xBB\xBF");  // a byte-order mark too
  const char opening = first != std::string::npos ? head[first] : '\0';
  if (endsWithNoCase(path, ".gltf") || opening == '{') return NodeFormat::Gltf;
  std::string start = head.substr(0, 4096);
  for (char& c : start) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool xml = opening == '<' && start.find("<collada") != std::string::npos;
  return endsWithNoCase(path, ".dae") || xml ? NodeFormat::Collada : NodeFormat::None;
}

std::string repeatedNodes(NodeFormat format, std::string text) noexcept {
  try {
    if (format == NodeFormat::Glb) {  // a 12-byte header, then the JSON chunk: its length, its type, its text
      std::uint32_t length = 0;
      if (text.size() < 20 || text.compare(0, 4, "glTF") != 0 || text.compare(16, 4, "JSON") != 0) return {};
      std::memcpy(&length, text.data() + 12, 4);
      text = text.substr(20, length);
    }
    Hierarchy h;
    if (!(format == NodeFormat::Collada ? colladaHierarchy(text, h) : gltfHierarchy(text, h))) return {};
    const std::uint64_t own = h.named.size(), expanded = expandedNodes(h);
    if (expanded <= own + kMaxRepeatedNodes) return {};
    return fmt::format("its nodes repeat one another into {}{} nodes, more than its own {} plus {}: have its nodes "
                       "place fewer copies of one another.",
                       expanded >= kSaturated ? "more than " : "", expanded, own, kMaxRepeatedNodes);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace Lumetra
