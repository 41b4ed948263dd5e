#include "base/windows.h"

#include <gtest/gtest.h>

#include "base/relative_time.h"

namespace qrx {
namespace {

int32_t at(const char* now_text) { return relative_sec(now_text); }

class WindowsTest : public ::testing::Test {
 protected:
  distributor d;
  // 2026-12-12 is a Saturday, 2026-12-14 a Monday.
  void expect_window(const char* now, const char* start, const char* end) {
    set_window(d, at(now));
    EXPECT_EQ(secs_to_date(d.window_start), start) << "now " << now;
    EXPECT_EQ(secs_to_date(d.window_end), end) << "now " << now;
  }
};

TEST_F(WindowsTest, NoWindowsMeansTheWholeDay) {
  expect_window("20261214103000", "20261214000000", "20261215000000");
}

TEST_F(WindowsTest, WindowPastMidnightStaysOpenIntoTheNextDay) {
  d.mon_fri = {{22 * 3600, 6 * 3600 + 86400}};
  expect_window("20261214230000", "20261214220000", "20261215060000");
  expect_window("20261215050000", "20261214220000", "20261215060000");
  expect_window("20261215070000", "20261215220000", "20261216060000");
}

TEST_F(WindowsTest, WindowlessSaturdayMovesToSunday) {
  d.saturday = {{0, 0}};
  d.sunday = {{8 * 3600, 12 * 3600}};
  expect_window("20261212090000", "20261213080000", "20261213120000");
}

TEST_F(WindowsTest, HolidaySkipsTheWholeDay) {
  d.mon_fri = {{8 * 3600, 17 * 3600}};
  d.holidays[0] = relative_date("20261214");
  expect_window("20261214090000", "20261215080000", "20261215170000");
}

TEST_F(WindowsTest, SeveralWindowsInADayAreUsedInTurn) {
  d.mon_fri = {{8 * 3600, 10 * 3600}, {14 * 3600, 16 * 3600}};
  expect_window("20261214090000", "20261214080000", "20261214100000");
  expect_window("20261214120000", "20261214140000", "20261214160000");
  expect_window("20261214170000", "20261215080000", "20261215100000");
}

}  // namespace
}  // namespace qrx
