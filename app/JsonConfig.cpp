#include "JsonConfig.h"

#include <Core/Log.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace {

// Nesting deeper than this is refused as a syntax error rather than risking the stack.
constexpr std::size_t kMaxJsonDepth = 200;

using KeyIndex = std::multimap<std::string, const picojson::value*>;

// Fills a value without indexing anything: the context used for array items and below.
class PlainParseContext {
 public:
  PlainParseContext(picojson::value* out, std::size_t depth) : out_(out), depth_(depth) {}
  bool set_null() {
    *out_ = picojson::value();
    return true;
  }
  bool set_bool(bool b) {
    *out_ = picojson::value(b);
    return true;
  }
  bool set_number(double f) {
    // The parser ignores this result, so a number beyond the range of a double must throw.
    if (!std::isfinite(f)) throw std::overflow_error("number out of range");
    *out_ = picojson::value(f);
    return true;
  }
  template <typename Iter>
  bool parse_string(picojson::input<Iter>& in) {
    *out_ = picojson::value(picojson::string_type, false);
    return picojson::_parse_string(out_->get<std::string>(), in);
  }
  bool parse_array_start() {
    if (depth_ >= kMaxJsonDepth) return refuseDepth();
    *out_ = picojson::value(picojson::array_type, false);
    return true;
  }
  template <typename Iter>
  bool parse_array_item(picojson::input<Iter>& in, std::size_t) {
    picojson::array& a = out_->get<picojson::array>();
    a.push_back(picojson::value());
    PlainParseContext ctx(&a.back(), depth_ + 1, tooDeep_);
    return picojson::_parse(ctx, in);
  }
  bool parse_array_stop(std::size_t) { return true; }
  bool parse_object_start() {
    if (depth_ >= kMaxJsonDepth) return refuseDepth();
    *out_ = picojson::value(picojson::object_type, false);
    return true;
  }
  template <typename Iter>
  bool parse_object_item(picojson::input<Iter>& in, const std::string& key) {
    picojson::object& o = out_->get<picojson::object>();
    PlainParseContext ctx(&o[key], depth_ + 1, tooDeep_);
    return picojson::_parse(ctx, in);
  }
  bool parse_object_stop() { return true; }
  /// True when the parse stopped at the nesting limit.
  bool tooDeep() const { return *tooDeep_; }
  /// A context inside the parse that `tooDeep` belongs to.
  PlainParseContext(picojson::value* out, std::size_t depth, bool* tooDeep)
      : out_(out), depth_(depth), tooDeep_(tooDeep) {}

 protected:
  bool refuseDepth() {
    *tooDeep_ = true;
    return false;
  }

  picojson::value* out_;
  std::size_t depth_;
  bool ownTooDeep_ = false;
  // Shared by every context of one parse; the outermost one owns it.
  bool* tooDeep_ = &ownTooDeep_;
};

}  // namespace

// Like the plain context, but files every object member under its own key. Array items are
// parsed with the plain context, so nothing inside an array is indexed.
class JsonConfigParseContext : public PlainParseContext {
 public:
  JsonConfigParseContext(picojson::value* out, KeyIndex& keyIndex) : PlainParseContext(out, 0), keyIndex_(keyIndex) {}

  template <typename Iter>
  bool parse_object_item(picojson::input<Iter>& in, const std::string& key) {
    picojson::object& o = out_->get<picojson::object>();
    const auto [slot, first] = o.try_emplace(key);
    // The index points into the tree. A key repeated in one object would overwrite its slot and
    // leave the entries of the first value's members pointing at nothing, so the repeat is parsed
    // apart and only its key is entered again, enough for the file to be refused as a duplicate.
    bool ok;
    if (first) {
      JsonConfigParseContext ctx(&slot->second, keyIndex_, depth_ + 1, tooDeep_);
      ok = picojson::_parse(ctx, in);
    } else {
      picojson::value repeated;
      PlainParseContext ctx(&repeated, depth_ + 1, tooDeep_);
      ok = picojson::_parse(ctx, in);
    }
    keyIndex_.emplace(key, &slot->second);
    return ok;
  }

 private:
  JsonConfigParseContext(picojson::value* out, KeyIndex& keyIndex, std::size_t depth, bool* tooDeep)
      : PlainParseContext(out, depth, tooDeep), keyIndex_(keyIndex) {}

  KeyIndex& keyIndex_;
};

std::string readJsonText(const std::string& path) {
  if (path.empty()) return std::string();
  std::ifstream file(path);
  if (!file) return std::string();
  std::string text;
  std::string line;
  while (std::getline(file, line)) text += line;
  std::string cleaned;
  cleaned.reserve(text.size());
  for (char ch : text) {
    if (ch != '\r' && ch != '\n' && ch != '\t') cleaned.push_back(ch);
  }
  return cleaned;
}

namespace {

// Where and why a parse stopped: the offset into the text the parser was given, and whether
// the nesting limit or a number out of range stopped it rather than the syntax.
struct ParseStop {
  std::size_t offset = 0;
  std::string cause;
};

bool parseText(JsonDocument& document, const std::string& text, ParseStop& stop) {
  document.keyIndex.clear();
  if (text.empty()) return false;
  picojson::value root;
  KeyIndex keyIndex;
  picojson::input<std::string::const_iterator> in(text.begin(), text.end());
  std::string error;
  try {
    JsonConfigParseContext ctx(&root, keyIndex);
    if (!picojson::_parse(ctx, in)) {
      stop.offset = static_cast<std::size_t>(in.cur() - text.begin());
      error = "syntax error at line " + std::to_string(in.line()) + " near: " + text.substr(stop.offset);
      if (ctx.tooDeep()) {
        // The parser has taken the bracket that opened one level too many.
        stop.cause = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        --stop.offset;
      }
    }
  } catch (const std::exception& e) {
    // A number picojson cannot hold (beyond the range of a double) ends up here.
    stop.offset = static_cast<std::size_t>(in.cur() - text.begin());
    stop.cause = dynamic_cast<const std::overflow_error*>(&e) != nullptr ? "a number beyond the range of a double"
                                                                          : std::string("parsing failed: ") + e.what();
    error = e.what();
    if (error.empty()) error = "number out of range";
  }
  if (!error.empty()) {
    LUMETRA_LOG_ERROR("{}", error);
    return false;
  }
  document.root = std::move(root);
  document.keyIndex = std::move(keyIndex);
  return true;
}

// Line and column (from 1) in the file of an offset into its text with the carriage returns,
// line feeds and tabs taken out.
std::pair<std::size_t, std::size_t> filePosition(const std::filesystem::path& path, std::size_t offset) {
  std::ifstream file(path, std::ios::binary);
  std::size_t line = 1;
  std::size_t column = 1;
  std::size_t kept = 0;
  char ch;
  while (kept < offset && file.get(ch)) {
    if (ch == '\n') {
      ++line;
      column = 1;
      continue;
    }
    ++column;
    if (ch != '\r' && ch != '\t') ++kept;
  }
  // Skip to the character itself, past line ends and tabs that the parser never saw.
  while (file.get(ch) && (ch == '\r' || ch == '\n' || ch == '\t')) {
    if (ch == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

}  // namespace

bool parseJsonConfig(JsonDocument& document, const std::string& text) {
  ParseStop stop;
  return parseText(document, text, stop);
}

bool parseJsonFile(JsonDocument& document, const std::filesystem::path& path) {
  const std::string text = readJsonText(path.string());
  if (text.empty()) return false;
  return parseJsonConfig(document, text);
}

namespace {

// A JSON value of the wrong kind for its parameter.
class KindMismatch : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void typeMismatch(const char* kind) {
  throw KindMismatch(std::string("\"type mismatch! call is<type>() before get<type>()\" && ") + kind);
}

// What a parameter of each kind takes, in a user's words.
const char* kindWords(const ParameterRef& entry) {
  static const char* const words[] = {"true or false", "a number", "a number", "a text in double quotes",
                                      "an array of numbers", "an array of numbers", "an array of texts"};
  return words[entry.index()];
}

const picojson::value* findValue(const JsonDocument& document, const std::string& key) {
  auto it = document.keyIndex.find(key);
  return it == document.keyIndex.end() ? nullptr : it->second;
}

std::int32_t toInt32(const picojson::value& v, const std::string& key) {
  if (!v.is<double>()) typeMismatch("is<double>()");
  const double truncated = std::trunc(v.get<double>());
  if (!(truncated >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        truncated <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    throw std::runtime_error("the value of " + key + " is outside the 32-bit integer range");
  }
  return static_cast<std::int32_t>(truncated);
}

void apply(const picojson::value& v, Parameter<bool>& p) {
  if (!v.is<bool>()) typeMismatch("is<bool>()");
  p.value = v.get<bool>();
}
void apply(const picojson::value& v, Parameter<std::int32_t>& p) { p.value = toInt32(v, p.key); }
void apply(const picojson::value& v, Parameter<double>& p) {
  if (!v.is<double>()) typeMismatch("is<double>()");
  p.value = v.get<double>();
}
void apply(const picojson::value& v, Parameter<std::string>& p) {
  if (!v.is<std::string>()) typeMismatch("is<std::string>()");
  p.value = v.get<std::string>();
}

// Lists: a value that is not an array (a lone number, null) is of the wrong kind; every element is
// checked before anything is assigned.
const picojson::array& arrayOf(const picojson::value& v) {
  if (!v.is<picojson::array>()) typeMismatch("is<picojson::array>()");
  return v.get<picojson::array>();
}

void apply(const picojson::value& v, Parameter<std::vector<std::int32_t>>& p) {
  const picojson::array& a = arrayOf(v);
  // The list keeps its length: a shorter array would leave positions the callers rely on without
  // a value from the file. Elements past the length are ignored, whatever number they hold, but
  // must still be numbers.
  if (a.size() < p.value.size()) {
    throw std::runtime_error("the array of " + p.key + " needs at least " + std::to_string(p.value.size()) +
                             " numbers");
  }
  std::vector<std::int32_t> numbers;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (i < p.value.size()) {
      numbers.push_back(toInt32(a[i], p.key));
    } else if (!a[i].is<double>()) {
      typeMismatch("is<double>()");
    }
  }
  p.value = std::move(numbers);
}
void apply(const picojson::value& v, Parameter<std::vector<double>>& p) {
  const picojson::array& a = arrayOf(v);
  std::vector<double> numbers;
  numbers.reserve(a.size());
  for (const picojson::value& e : a) {
    if (!e.is<double>()) typeMismatch("is<double>()");
    numbers.push_back(e.get<double>());
  }
  p.value = std::move(numbers);
}
void apply(const picojson::value& v, Parameter<std::vector<std::string>>& p) {
  const picojson::array& a = arrayOf(v);
  std::vector<std::string> strings;
  strings.reserve(a.size());
  for (const picojson::value& e : a) {
    if (!e.is<std::string>()) typeMismatch("is<std::string>()");
    strings.push_back(e.get<std::string>());
  }
  p.value = std::move(strings);
}

// The values of every parameter of a registry, to put back when a load fails half-way.
using ValueSnapshot = std::variant<bool, std::int32_t, double, std::string, std::vector<std::int32_t>,
                                   std::vector<double>, std::vector<std::string>>;

}  // namespace

void applyJsonValue(const JsonDocument& document, const ParameterRef& entry) {
  std::visit(
      [&](auto* parameter) {
        if (parameter == nullptr) return;
        const picojson::value* v = findValue(document, parameter->key);
        if (v != nullptr) apply(*v, *parameter);
      },
      entry);
}

bool loadJsonFile(ConfigBase& config, const std::filesystem::path& path) {
  std::string reason;
  return loadJsonFile(config, path, reason);
}

bool loadJsonFile(ConfigBase& config, const std::filesystem::path& path, std::string& reason) {
  const std::string where = path.string() + ": ";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) || ec) {
    LUMETRA_LOG_ERROR("File does not exist {}", path.string());
    std::error_code existsError;
    const bool exists = std::filesystem::exists(path, existsError);
    if (existsError) {
      reason = where + existsError.message();
    } else {
      reason = where + (exists ? "not a regular file" : "no such file");
    }
    return false;
  }
  JsonDocument document;
  const std::string text = readJsonText(path.string());
  ParseStop stop;
  if (!parseText(document, text, stop)) {
    LUMETRA_LOG_ERROR("Failed to parse json file from {}", path.string());
    if (text.empty()) {
      reason = where + "the file is empty or cannot be read";
    } else {
      const auto [line, column] = filePosition(path, stop.offset);
      reason = where + (stop.cause.empty() ? "JSON syntax error" : stop.cause) + " at line " + std::to_string(line) +
               ", column " + std::to_string(column);
    }
    return false;
  }
  for (auto it = document.keyIndex.begin(); it != document.keyIndex.end();) {
    auto next = document.keyIndex.upper_bound(it->first);
    if (std::distance(it, next) > 1) {
      LUMETRA_LOG_ERROR("Found duplicated keys in JSON file {}", path.string());
      reason = where + "the key \"" + it->first + "\" occurs more than once; keep one";
      return false;
    }
    it = next;
  }

  std::vector<ValueSnapshot> saved;
  saved.reserve(config.registry.size());
  for (const auto& [key, entry] : config.registry.entries()) {
    std::visit(
        [&](auto* parameter) {
          using T = std::decay_t<decltype(parameter->value)>;
          saved.emplace_back(std::in_place_type<T>, parameter->value);
        },
        entry);
  }
  const ParameterRef* applying = nullptr;
  try {
    for (const auto& [key, entry] : config.registry.entries()) {
      applying = &entry;
      applyJsonValue(document, entry);
    }
  } catch (const std::exception& e) {
    std::size_t i = 0;
    for (const auto& [key, entry] : config.registry.entries()) {
      std::visit(
          [&](auto* parameter) {
            using T = std::decay_t<decltype(parameter->value)>;
            parameter->value = std::get<T>(std::move(saved[i]));
          },
          entry);
      ++i;
    }
    LUMETRA_LOG_ERROR("Invalid value in JSON file {}: {}", path.string(), e.what());
    if (dynamic_cast<const KindMismatch*>(&e) != nullptr && applying != nullptr) {
      const std::string key = std::visit([](auto* parameter) { return parameter->key; }, *applying);
      reason = where + "the value of " + key + " must be " + kindWords(*applying);
    } else {
      reason = where + e.what();
    }
    return false;
  }
  config.document = std::move(document);
  return true;
}
