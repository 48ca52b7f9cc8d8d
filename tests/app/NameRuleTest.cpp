#include "Constants.h"
#include "TrainingDrivers.h"

#include <gtest/gtest.h>

// Names refused with their console line (empty, too long, blanks, quotes, other bytes) are checked
// through the executable.
TEST(TargetName, Rule) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"Box_1", true},
      {"hyphen-name", false},
      {"dot.name", false},
      {"line\n", false},
  };
  for (const auto& [name, accepted] : cases) EXPECT_EQ(validateTargetName(name), accepted) << name;
}

