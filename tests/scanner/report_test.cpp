#include "scanner/report.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(FinalReport, ElapsedTimeBorrowsFromTheSeconds) {
  EXPECT_FLOAT_EQ(ElapsedSeconds({5, 999900}, {8, 0}), 2.0001f);
  EXPECT_FLOAT_EQ(ElapsedSeconds({5, 100}, {5, 600}), 0.0005f);
}

TEST(FinalReport, SpeedIsNeverNanOrInfinite) {
  struct Case {
    std::uint64_t bytes;
    float seconds;
    float speed;
  };
  const Case cases[] = {
      {0, 0.0f, 0.0f},          // nothing read, no time
      {0, 2.0f, 0.0f},          // nothing read
      {1000000, 0.0f, 0.0f},    // no measurable time
      {1000000, -0.5f, 0.0f},   // the clock went back
      {4000000, 2.0f, 2.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const float speed = ScanSpeed(c.bytes, c.seconds);
    EXPECT_TRUE(std::isfinite(speed));
    EXPECT_FLOAT_EQ(speed, c.speed);
  }
}

}  // namespace
