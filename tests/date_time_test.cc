#include "base/date_time.h"

#include <gtest/gtest.h>

namespace qrx {
namespace {

struct DateCase {
  const char* text;
  const char* stamp;  // expected 16 characters
  int rc;
};

void PrintTo(const DateCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class NormalizeDateTime : public ::testing::TestWithParam<DateCase> {};

TEST_P(NormalizeDateTime, GivesAgentStampOrNumberedError) {
  const DateCase& c = GetParam();
  std::string out = "garbage";
  EXPECT_EQ(us_normalizeDateTime(c.text, out), c.rc);
  EXPECT_EQ(out, c.stamp);
  EXPECT_EQ(out.size(), 16u);
}

INSTANTIATE_TEST_SUITE_P(
    SeparatedForms, NormalizeDateTime,
    ::testing::Values(
        DateCase{"2005/03/04 10:11:12", "1050304101112000", 0},
        DateCase{"03/04/2005 10:11:12", "1050304101112000", 0},
        DateCase{"04-03-2005 101112", "1050304101112000", 0},
        DateCase{"04-03-2005 10.11.12", "1050304101112000", 0},
        DateCase{"  \"2005/03/04\"\r\n", "1050304000000000", 0},  // trimmed; midnight
        DateCase{"2005/ 03/ 4", "1050304000000000", 0},           // blanks before fields
        DateCase{"12/31/49", "1491231000000000", 0},              // two-digit year below 50: 20xx
        DateCase{"12/31/50", "0501231000000000", 0},              // 50..99: 19xx
        DateCase{"01/01/1901 00:00:00", "0010101000000000", 0},
        DateCase{"12/31/2150 23:59:59", "2501231235959000", 0}));

INSTANTIATE_TEST_SUITE_P(
    CompactForms, NormalizeDateTime,
    ::testing::Values(
        DateCase{"1050304101112000", "1050304101112000", 0},  // already an agent stamp
        DateCase{"20050304101112", "1050304101112000", 0},    // 20YY
        DateCase{"2012251011", "1201225101100000", 0},        // two-digit year 20
        DateCase{"200304", "1030400000000000", 0},            // 20YY is tried first
        DateCase{"990304", "0990304000000000", 0},
        DateCase{"19990304", "0990304000000000", 0},          // 19YY
        DateCase{"0990304101112000", "0990304101112000", 0},
        DateCase{"10503041011120009999", "1050304101112000", 0},  // at most 16 digits used
        DateCase{"0000000000000002", "0000000000000002", 0},  // special values pass
        DateCase{"", "                ", 0},
        DateCase{" \t'' ", "                ", 0}));

INSTANTIATE_TEST_SUITE_P(
    Errors, NormalizeDateTime,
    ::testing::Values(
        DateCase{"12/40/2005", "DateFmtErr=608  ", 608},
        DateCase{"13/2005/01", "DateFmtErr=607  ", 607},  // y/m/d with year 13, month 2005
        DateCase{"2005/13/01", "DateFmtErr=607  ", 607},
        DateCase{"2005/12/00", "DateFmtErr=608  ", 608},
        DateCase{"2005/12/01 24:00:00", "DateFmtErr=609  ", 609},
        DateCase{"2005/12/01 23:60:00", "DateFmtErr=610  ", 610},
        DateCase{"2005/12/01 235960", "DateFmtErr=611  ", 611},
        DateCase{"2005/12/01 1011", "DateFmtErr=589  ", 589},
        DateCase{"2005/12/01 10:11:12 pm", "DateFmtErr=603  ", 603},
        DateCase{"2005/12/01T10:11:12", "DateFmtErr=603  ", 603},
        DateCase{"12/01/2151", "DateFmtErr=619  ", 619},
        DateCase{"12/01/1900", "DateFmtErr=619  ", 619},
        DateCase{"2005.12.01", "DateFmtErr=570  ", 570},
        DateCase{"/12/2005", "DateFmtErr=581  ", 581},
        DateCase{"12/", "DateFmtErr=519  ", 519},
        DateCase{"12/01-2005", "DateFmtErr=520  ", 520},
        DateCase{"12/01/", "DateFmtErr=521  ", 521},
        DateCase{"2005/", "DateFmtErr=530  ", 530},
        DateCase{"2005/12-01", "DateFmtErr=531  ", 531},
        DateCase{"2005/12/x", "DateFmtErr=532  ", 532},
        DateCase{"01-", "DateFmtErr=540  ", 540},
        DateCase{"01-12/2005", "DateFmtErr=541  ", 541},
        DateCase{"01-12-", "DateFmtErr=542  ", 542},
        DateCase{"2005/12/01 10:", "DateFmtErr=550  ", 550},
        DateCase{"2005/12/01 10:11", "DateFmtErr=551  ", 551},
        DateCase{"2005/12/01 10:11:", "DateFmtErr=552  ", 552},
        DateCase{"2005/12/01 10:11:5", "DateFmtErr=553  ", 553},
        DateCase{"0123", "DateFmtErr=662  ", 662},
        DateCase{"2113", "DateFmtErr=677  ", 677},
        DateCase{"1813", "DateFmtErr=700  ", 700},
        DateCase{"9913", "DateFmtErr=709  ", 709},
        DateCase{"4444", "DateFmtErr=570  ", 570}));

TEST(NormalizeDateTimeInput, OnlyTheFirst99CharactersAreRead) {
  std::string text = "2005/03/04" + std::string(89, ' ') + "junk";
  std::string out;
  EXPECT_EQ(us_normalizeDateTime(text, out), 0);
  EXPECT_EQ(out, "1050304000000000");
}

}  // namespace
}  // namespace qrx
