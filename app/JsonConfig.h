#pragma once
// Loading a configuration from a JSON file. Every object member at any depth (but not inside
// arrays) is indexed under its own key; a key that occurs twice anywhere is refused.
#include "Parameter.h"

#include <filesystem>
#include <string>

/// Loads the file over the configuration's current values. On any failure (missing file,
/// syntax error, duplicated key, a value of the wrong kind or out of range) it returns false
/// and leaves every parameter as it was.
bool loadJsonFile(ConfigBase& config, const std::filesystem::path& path);
/// The same, and on failure `reason` says why in a user's words, starting with the path: the
/// line and column of a syntax error, the duplicated key, or the key whose value has the wrong
/// kind or range.
bool loadJsonFile(ConfigBase& config, const std::filesystem::path& path, std::string& reason);

/// Reads and parses the file into the document; false for an empty text or a syntax error.
bool parseJsonFile(JsonDocument& document, const std::filesystem::path& path);

/// The file's text with every carriage return, line feed and tab removed; empty when the
/// file cannot be read.
std::string readJsonText(const std::string& path);

/// Parses the first JSON value of the text into the document's root and key index.
bool parseJsonConfig(JsonDocument& document, const std::string& text);

/// Assigns the parameter from the document's key index. Throws std::runtime_error when the
/// JSON value has the wrong kind or does not fit the parameter.
void applyJsonValue(const JsonDocument& document, const ParameterRef& entry);
