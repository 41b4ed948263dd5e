#include "base/relative_time.h"

#include <gtest/gtest.h>

namespace qrx {
namespace {

TEST(RelativeTime, DayZeroIsLeapDay1992AndASaturday) {
  EXPECT_EQ(relative_date("19920229"), 0);
  EXPECT_EQ(day_of_week(0), 0);
  EXPECT_EQ(relative_date("19920301"), 1);
  EXPECT_EQ(day_of_week(1), 1);  // Sunday
  EXPECT_EQ(real_date(0), "19920229");
  EXPECT_EQ(real_date(1), "19920301");
}

TEST(RelativeTime, DateTextsRoundTripOverThirtyYears) {
  // Every day from 1992 to 2030 maps back onto its own date text, with the
  // right day of the week (1 January 2024 was a Monday, code 2).
  for (int32_t day = 0; day < 14000; ++day) {
    std::string text = real_date(day);
    ASSERT_EQ(relative_date(text), day) << text;
  }
  EXPECT_EQ(day_of_week(relative_date("20240101")), 2);
  EXPECT_EQ(real_date(relative_date("19960229")), "19960229");
  EXPECT_EQ(real_date(relative_date("19930228") + 1), "19930301");
}

TEST(RelativeTime, TwoDigitYearsPivotAt81) {
  EXPECT_EQ(relative_date("00800101"), relative_date("20800101"));
  EXPECT_EQ(relative_date("00810101"), relative_date("19810101"));
}

TEST(RelativeTime, SecondsAndTexts) {
  EXPECT_EQ(relative_sec("19920301100007"), 86400 + 10 * 3600 + 7);
  EXPECT_EQ(secs_to_date(86400 + 10 * 3600 + 7), "19920301100007");
  EXPECT_EQ(secs_to_hour(86400 + 3661), "01:01:01");
  EXPECT_EQ(form_time("20261210014851"), "2026/12/10 01:48:51");
  EXPECT_EQ(relative_sec("2026121"), -1);
  EXPECT_EQ(relative_date("2026x210"), -1);
}

TEST(RelativeTime, NowTextOfAClockTimeIsLocal) {
  std::time_t t = 1700000000;
  std::string text = get_time(t);
  ASSERT_EQ(text.size(), 14u);
  EXPECT_EQ(relative_now(t), relative_sec(text));
}

}  // namespace
}  // namespace qrx
