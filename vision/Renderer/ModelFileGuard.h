#pragma once
// Checks on a model file's bytes before the import library reads them. The library trusts some
// fields of damaged files and then runs for ever, reads past its buffers or asks for more memory
// than the file could ever describe; such files are refused here. Valid files always pass.
#include <string>

namespace Lumetra {

/// False, with `error` set, when the import library must not be given the file:
/// - a PLY file (by its name's ending or its first word) without an "end_header" line in its first
///   megabyte, or that ends in that line without a line break: the library reads on past the end
///   of the file for ever, or past its buffer;
/// - a PLY element declared twice: the library writes the second one's items past the arrays it
///   made for the first;
/// - a PLY property of a type the library does not know, or a format other than ascii,
///   binary_little_endian and binary_big_endian;
/// - PLY data shorter than the header declares, or a list counting more values than follow it:
///   the library allocates for the count, or reads on past the end for ever;
/// - a PLY element or an OFF vertex or face count larger than the file's byte count: the library
///   allocates for the count before it reads a single item.
/// - an OFF face line with fewer corners than its count, or a corner that is no vertex: the library
///   reads them from past the line and indexes past its vertices;
/// - an OBJ file whose material library (named on an "mtllib" line, or the library's fallback: the
///   OBJ file's name ending in "mtl") has a statement before its first "newmtl": the library sets
///   textures on a material that does not exist.
/// - a 3DS file whose main, keyframer or keyframe node chunks do not nest within their parents, or
///   whose animation track counts more keys than it has room for: the library allocates for them.
/// - a glTF or COLLADA file whose nodes name one another into too many nodes (NodeExpansion.h):
///   the library builds each naming as a copy while it reads the file.
/// Files that cannot be read are left to the library (it reports them).
bool modelFileIsSound(const std::string& path, std::string& error);

/// Whether the file at `path` is a COLLADA file: by its name's ending (.dae, or .zae for the
/// zipped kind) or, whatever its name, by its root element near the start.
bool isColladaFile(const std::string& path);

}  // namespace Lumetra
