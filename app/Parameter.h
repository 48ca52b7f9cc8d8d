#pragma once
// Typed configuration parameters and the registry that maps each dotted key to the
// parameter holding it. Only the JSON loader walks the registry; everything else reads the
// members of a configuration directly.
#include <picojson.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>


template <typename T>
struct Parameter;

/// The seven kinds of parameter, in the order of their index in ParameterRef.
enum class ParameterKind : std::size_t { Bool = 0, Int, Double, String, IntList, DoubleList, StringList };

/// A non-owning pointer to one parameter; its index is the parameter's kind.
using ParameterRef = std::variant<Parameter<bool>*, Parameter<std::int32_t>*, Parameter<double>*,
                                  Parameter<std::string>*, Parameter<std::vector<std::int32_t>>*,
                                  Parameter<std::vector<double>>*, Parameter<std::vector<std::string>>*>;

/// Key to parameter, ordered byte by byte.
class ParameterRegistry {
 public:
  using Map = std::map<std::string, ParameterRef>;

  /// The entry of the key, inserted empty when absent; the flag tells whether it was inserted.
  std::pair<Map::iterator, bool> add(const std::string& key) { return entries_.try_emplace(key); }

  const Map& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  Map::const_iterator find(const std::string& key) const { return entries_.find(key); }
  Map::const_iterator end() const { return entries_.end(); }

 private:
  Map entries_;
};

/// One setting: its key, current value, default and description.
template <typename T>
struct Parameter {
  std::string key;
  T value;
  T defaultValue;
  std::string description;

  Parameter(ParameterRegistry& registry, std::string parameterKey, T initial, std::string text)
      : key(std::move(parameterKey)), value(initial), defaultValue(std::move(initial)), description(std::move(text)) {
    registry.add(key).first->second = ParameterRef(this);
  }

  /// Copies key, value, default and description of `other`, registering the copy in `registry`.
  Parameter(ParameterRegistry& registry, const Parameter& other)
      : key(other.key), value(other.value), defaultValue(other.defaultValue), description(other.description) {
    registry.add(key).first->second = ParameterRef(this);
  }

  Parameter(const Parameter&) = delete;
  Parameter& operator=(const Parameter&) = delete;
};

/// The file loaded last: the root value, and every object member of the file under its own key,
/// pointing at the member's value inside `root` (values are never copied into the index, so a
/// document takes memory in proportion to its file however deeply it nests).
struct JsonDocument {
  std::multimap<std::string, const picojson::value*> keyIndex;
  picojson::value root;

  JsonDocument() = default;
  JsonDocument(const JsonDocument& other) : root(other.root) { indexMembers(root); }
  JsonDocument& operator=(const JsonDocument& other) {
    if (this != &other) {
      root = other.root;
      keyIndex.clear();
      indexMembers(root);
    }
    return *this;
  }
  JsonDocument(JsonDocument&&) = default;
  JsonDocument& operator=(JsonDocument&&) = default;

 private:
  // Enters the members of every object at any depth, but not inside arrays.
  void indexMembers(const picojson::value& value) {
    if (!value.is<picojson::object>()) return;
    for (const auto& [key, member] : value.get<picojson::object>()) {
      indexMembers(member);
      keyIndex.emplace(key, &member);
    }
  }
};

/// The common base of every configuration.
struct ConfigBase {
  ParameterRegistry registry;
  JsonDocument document;

  ConfigBase() = default;

 protected:
  // Derived configurations copy their members themselves and register them anew.
  explicit ConfigBase(const JsonDocument& sourceDocument) : document(sourceDocument) {}
  ConfigBase(const ConfigBase&) = delete;
  ConfigBase& operator=(const ConfigBase&) = delete;
};

