#include "base/dump.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace qrx {
namespace {

TEST(Dump, SixteenBytesALineWithHexGroupsAndPrintableForm) {
  testing::LogCapture cap;
  const std::string data = "ABCDEFGHIJKLMNOPQR\x01 ";
  u_print_dumpx(nullptr, data.data(), data.size());
  EXPECT_EQ(cap.log(),
            "UPX0100T 000: 41424344 45464748 494A4B4C 4D4E4F50 *ABCDEFGHIJKLMNOP*\n"
            "UPX0100T 010: 51520120                            *QR. *\n");
}

TEST(Dump, OwnIdentifierAndNothingForMissingData) {
  testing::LogCapture cap;
  u_print_dumpx("abc0001", "\xff", 1);
  u_print_dumpx("abc0002", nullptr, 10);
  EXPECT_EQ(cap.log(), "ABC0001T 000: FF                                  *.*\n");
}

TEST(Printable, KeepsTheListedCharactersAndMarksTheRest) {
  EXPECT_EQ(u_printable("aZ9\\/,()\"'=-$#", 'p'), "aZ9\\/,()\"'=-$#");
  EXPECT_EQ(u_printable(std::string_view("a\tb\n\x01\x7f+c", 8), 'p'), "a b ...c");
  EXPECT_EQ(u_printable(std::string_view("a\0b", 3), 'p'), "a.b");
  EXPECT_EQ(u_hex_format(std::string_view("\x00\x01\xab\xcd\xef", 5)), "0001ABCD EF");
}

TEST(Printable, CompressedModeFoldsRunsAndFallsBackToHexForBinary) {
  EXPECT_EQ(u_printable("name   value...!!", 'c'), "name value.");
  const std::string binary("\x01\x02\x03" "ab\x04\x05\x06", 8);
  EXPECT_EQ(u_printable(binary, 'c'), "01020361 62040506");
  const std::string long_binary(40, '\x01');
  EXPECT_EQ(u_printable(long_binary, 'c'), u_hex_format(long_binary.substr(0, 32)));
  EXPECT_EQ(u_printable("a  b  c  d", 'c'), "a b c d");  // mostly white space: kept as text
  EXPECT_EQ(u_printable("a b c d", 'c'), "61206220 632064");
}

}  // namespace
}  // namespace qrx
