// The README's tables of configuration keys must say what the registries hold.
#include "Configs.h"
#include "Process.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <type_traits>

namespace {

struct Row {
  std::string key, kind, defaultText, description;
};

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(' ');
  const auto e = s.find_last_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The rows of the table that follows the heading.
std::vector<Row> tableAfter(const std::string& readme, const std::string& heading) {
  std::vector<Row> rows;
  std::istringstream in(readme.substr(readme.find(heading)));
  std::string line;
  bool inTable = false;
  while (std::getline(in, line)) {
    if (line.rfind("| key |", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable || line.rfind("|---", 0) == 0) continue;
    if (line.rfind("|", 0) != 0) break;
    std::vector<std::string> cells;
    std::size_t start = 1;
    // The description is the last cell and may itself hold no '|'.
    for (int i = 0; i < 3; ++i) {
      const std::size_t bar = line.find('|', start);
      cells.push_back(trim(line.substr(start, bar - start)));
      start = bar + 1;
    }
    cells.push_back(trim(line.substr(start, line.rfind('|') - start)));
    rows.push_back({cells[0], cells[1], cells[2], cells[3]});
  }
  return rows;
}

// A default as the table writes it: doubles in the shortest text that reads back as the same
// value (with ".0" when that has no point), strings in quotes, lists in brackets.
template <typename T>
std::string describe(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return std::to_string(v);
  } else if constexpr (std::is_same_v<T, double>) {
    const std::string text = fmt::format("{}", v);
    return text.find_first_of(".e") == std::string::npos ? text + ".0" : text;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "\"" + v + "\"";
  } else {
    std::string out = "[";
    for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + describe(v[i]);
    return out + "]";
  }
}

const char* const kKindNames[] = {"Bool", "Int", "Double", "String", "IntList", "DoubleList", "StringList"};

void expectTableMatches(const ConfigBase& config, const std::vector<Row>& rows) {
  // One row per key (the registry iterates in byte order of the keys).
  std::vector<std::string> keys, rowKeys;
  for (const auto& entry : config.registry.entries()) keys.push_back(entry.first);
  for (const Row& row : rows) rowKeys.push_back(row.key);
  std::sort(rowKeys.begin(), rowKeys.end());
  ASSERT_EQ(rowKeys, keys);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    const auto it = config.registry.find(row.key);
    ASSERT_NE(it, config.registry.end());
    EXPECT_EQ(row.kind, kKindNames[it->second.index()]);
    std::visit(
        [&](auto* p) {
          EXPECT_EQ(row.defaultText, describe(p->defaultValue));
          EXPECT_EQ(row.description, p->description);
        },
        it->second);
  }
}

}  // namespace

TEST(Readme, ConfigurationTablesMatchTheRegistries) {
  const std::string readme = TestSupport::readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/README.md");
  ASSERT_FALSE(readme.empty());
  expectTableMatches(TrainingConfig(), tableAfter(readme, "### Training configuration"));
  expectTableMatches(BatchConfig(), tableAfter(readme, "### Batch configuration"));
  expectTableMatches(CalibrationConfig(), tableAfter(readme, "### Camera calibration"));
}
