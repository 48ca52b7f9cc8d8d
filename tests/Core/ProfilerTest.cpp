#include "Core/Profiler.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

void profiledWork() { PROFILE_BLOCK("ProfilerTest work"); }

std::uint64_t callsOf(const std::string& name) {
  std::uint64_t calls = 0;
  int seen = 0;
  for (const auto& b : Lumetra::Profiler::snapshot()) {
    if (b.name == name) {
      calls += b.calls;
      ++seen;
    }
  }
  EXPECT_LE(seen, 1) << name << " registered more than once";
  return calls;
}

}  // namespace

TEST(Profiler, BlocksRegisterOnceAndCountFromManyThreads) {
  Lumetra::Profiler::reset();
  Lumetra::Profiler::setEnabled(false);
  profiledWork();
  EXPECT_EQ(callsOf("ProfilerTest work"), 0u);  // switched off: nothing is counted

  Lumetra::Profiler::setEnabled(true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) profiledWork();
    });
  }
  for (auto& t : threads) t.join();
  Lumetra::Profiler::setEnabled(false);
  EXPECT_EQ(callsOf("ProfilerTest work"), 8000u);
  Lumetra::Profiler::reset();
  EXPECT_EQ(callsOf("ProfilerTest work"), 0u);
}

