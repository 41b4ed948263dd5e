#include "base/clock.h"

#include <gtest/gtest.h>

namespace qrx {
namespace {

class FixedClock : public Clock {
 public:
  std::time_t now() override { return 1000; }
  void sleep_seconds(unsigned seconds) override { slept += seconds; }
  unsigned slept = 0;
};

TEST(Clock, InstalledClockReplacesSystemClockUntilReset) {
  FixedClock fixed;
  set_clock(&fixed);
  EXPECT_EQ(the_clock().now(), 1000);
  the_clock().sleep_seconds(10);
  EXPECT_EQ(fixed.slept, 10u);
  set_clock(nullptr);
  EXPECT_GT(the_clock().now(), 1000);
}

}  // namespace
}  // namespace qrx
