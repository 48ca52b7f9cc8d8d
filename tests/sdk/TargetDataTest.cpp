// The target data classes may be owned and destroyed through their base class.
#include "ObjectTracker/Trainer/Image/TargetData.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

// Destroying a target through the base releases its pictures and keypoints with it.
TEST(TargetData, TheBaseDestroysTheWholeTarget) {
  EXPECT_TRUE(std::has_virtual_destructor_v<Obrin::Target>);
}

}  // namespace
