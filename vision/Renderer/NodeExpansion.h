#pragma once
// How many nodes a glTF or COLLADA file's node hierarchy becomes once read. A node may name
// another as its child, or as an instance, more than once, and each naming is built as a copy of
// that node's whole subtree: a file of a few kilobytes whose nodes each name the next twice
// becomes millions of nodes while it is read, before any count of its meshes could refuse it.
#include <cstdint>
#include <string>

namespace Lumetra {

/// Nodes that the hierarchy may add to the file's own by naming nodes more than once.
constexpr std::uint64_t kMaxRepeatedNodes = std::uint64_t{1} << 20;

/// The value of the attribute `name` in an XML tag's text (spaces allowed around its '='), as the
/// XML reader gives it (character references and predefined entities replaced), or empty.
std::string xmlAttribute(const std::string& tag, const char* name);

enum class NodeFormat { None, Gltf, Glb, Collada };

/// The format of the model file at `path` whose first bytes are `head`, by its name's ending or,
/// whatever its name, by its bytes (the import library reads a file by its content): a binary
/// glTF file's magic, a JSON text, or a COLLADA root element near the start.
NodeFormat nodeFormat(const std::string& path, const std::string& head);

/// Why the nodes of the glTF (JSON or binary) or COLLADA file whose bytes are `text` repeat one
/// another into more than its own nodes plus kMaxRepeatedNodes, or empty (also for a file that
/// cannot be parsed, which is left to the import library). Never throws.
std::string repeatedNodes(NodeFormat format, std::string text) noexcept;

}  // namespace Lumetra
