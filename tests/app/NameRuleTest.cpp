#include "Constants.h"
#include "TrainingDrivers.h"

#include <gtest/gtest.h>

TEST(TargetName, Rule) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", false},
      {"_", true},
      {"Box_1", true},
      {std::string(26, 'a'), true},
      {std::string(27, 'a'), false},
      {std::string(26, ' '), false},
      {"with blank", false},
      {"hyphen-name", false},
      {"dot.name", false},
      {"caf\xc3\xa9", false},
      {"line\n", false},
      {"\nline", false},
      {"quote\"", false},
      {"back\\slash", false},
  };
  for (const auto& [name, accepted] : cases) EXPECT_EQ(validateTargetName(name), accepted) << name;
}

