#include "base/time_text.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace qrx {
namespace {

TEST(TimeText, FormsOfTheCurrentLocalTime) {
  const std::time_t when = 1741090272;  // early March 2025
  testing::FixedClock clock(when);
  std::tm tm{};
  localtime_r(&when, &tm);
  auto expect = [&](const char* pattern) {
    char text[64];
    std::strftime(text, sizeof text, pattern, &tm);
    return std::string(text);
  };
  const std::string year_offset = std::to_string(tm.tm_year);  // 125 for 2025
  EXPECT_EQ(u_get_time(kTimeSlashed), expect("%Y/%m/%d %H:%M:%S"));
  EXPECT_EQ(u_get_time(kTimeLocale), expect("%c"));
  EXPECT_EQ(u_get_time(kTimeAgent), year_offset + expect("%m%d%H%M%S"));
  EXPECT_EQ(u_get_time(kTimeAgentMs), year_offset + expect("%m%d%H%M%S") + "000");
  EXPECT_EQ(u_get_time(kTimeCompact), expect("%Y%m%d%H%M%S"));
  EXPECT_EQ(u_get_time(99), expect("%Y%m%d%H%M%S"));
  EXPECT_EQ(u_local_time(), expect("%H%M%S"));
  EXPECT_EQ(u_get_time(kTimeAgentMs).size(), 16u);
}

}  // namespace
}  // namespace qrx
