#include <gtest/gtest.h>

#include "Portable.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace {

TEST(System, EnvironmentValuesComeBackWhole) {
  const std::string long_value(5000, 'v');
  testing_os::SetEnv("ORVALENGATE_TEST_VAR", long_value);
  EXPECT_EQ(platform::GetEnv("ORVALENGATE_TEST_VAR"), long_value);
  testing_os::UnsetEnv("ORVALENGATE_TEST_VAR");
  EXPECT_EQ(platform::GetEnv("ORVALENGATE_TEST_VAR"), "");
}

TEST(System, ClockFieldsAreInRange) {
  const platform::LocalTime t = platform::Now();
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
  EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
}

TEST(System, RandomStaysBelowItsBoundAndVaries) {
  platform::Random rng;
  bool seen[300] = {};
  int distinct = 0;
  for (int i = 0; i < 3000; ++i) {
    const int r = rng.Below(300);
    ASSERT_TRUE(r >= 0 && r < 300);
    if (!seen[r]) ++distinct;
    seen[r] = true;
  }
  EXPECT_GT(distinct, 250);
}

TEST(System, ExecutablePathNamesThisTest) {
  const std::string path = platform::ExecutablePath();
  EXPECT_NE(path.find("platform_tests"), std::string::npos) << path;
  EXPECT_TRUE(platform::FileExists(path));
}

}  // namespace
