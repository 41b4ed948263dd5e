// The code-page layer: the locale's code page and the three conversions,
// under the C locale, C.UTF-8 and a Latin-1 locale made for the test.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/codepage.h"
#include "base/trace.h"
#include "support/locale_fixture.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

using testing::kLatin1Locale;
using testing::latin1_locale_path;
using testing::LogCapture;
using testing::ScopedLocale;

// UTF-16 in the platform's byte order, as bytes.
std::string utf16(std::u16string_view units) {
  return {reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t)};
}

std::string to_utf8(std::string_view source, int options, size_t room = 256) {
  std::string out(room, '\0');
  out.resize(static_cast<size_t>(Convert_toUTF8_wopt(out, source, options)));
  return out;
}

std::string unicode_to_utf8(std::string_view source, int options, size_t room = 256) {
  std::string out(room, '\0');
  out.resize(static_cast<size_t>(Convert_UnicodeToUTF8_wopt(out, source, options)));
  return out;
}

std::string from_utf8(std::string_view source, size_t room = 256) {
  std::string out(room, '\0');
  out.resize(static_cast<size_t>(Convert_fromUTF8(out, source)));
  return out;
}

#define REQUIRE_LATIN1()                                                          \
  if (latin1_locale_path().empty()) GTEST_SKIP() << "localedef cannot make " << kLatin1Locale

struct LocaleCase {
  const char* name;
  bool latin1;
  int codepage;
  const char* codeset;
};

TEST(CodepageTest, LocaleCodePageFollowsTheEnvironment) {
  REQUIRE_LATIN1();
  const LocaleCase cases[] = {
      {"C", false, 367, "ANSI_X3.4-1968"},
      {"C.UTF-8", false, kCodepageUtf8, "UTF-8"},
      {kLatin1Locale, true, 819, "ISO-8859-1"},
  };
  for (const LocaleCase& want : cases) {
    SCOPED_TRACE(want.name);
    ScopedLocale locale(want.name, want.latin1 ? latin1_locale_path() : "");
    EXPECT_NE(systm.getLocale(), nullptr);
    EXPECT_EQ(systm.getCodepage(), want.codepage);
    char name[32];
    EXPECT_EQ(systm.getCodepageInfo(0, name), 0);
    EXPECT_STREQ(name, want.codeset);
  }
}

TEST(CodepageTest, Latin1TextBecomesUtf8AndBack) {
  REQUIRE_LATIN1();
  ScopedLocale locale(kLatin1Locale, latin1_locale_path());
  EXPECT_EQ(to_utf8("M\xFCller \xE4\xF6\xFC \xF8", kConvertStrict), "M\xC3\xBCller \xC3\xA4\xC3\xB6\xC3\xBC \xC3\xB8");
  EXPECT_EQ(from_utf8("\xC3\xA4\xC3\xB6\xC3\xBC \xC3\xB8"), "\xE4\xF6\xFC \xF8");
  // The euro sign has no Latin-1 form.
  LogCapture log;
  EXPECT_EQ(from_utf8("1 \xE2\x82\xAC"), "");
}

TEST(CodepageTest, ByteOutsideTheCLocaleFailsOrBecomesTheReplacementCharacter) {
  ScopedLocale locale("C");
  EXPECT_EQ(to_utf8("a\xE4z", kConvertStrict), "");
  EXPECT_EQ(to_utf8("a\xE4z", kConvertSubstitute), "a\xEF\xBF\xBDz");
}

struct UnicodeCase {
  const char* scenario;
  std::u16string source;
  int options;
  size_t room;
  std::string utf8;
};

TEST(CodepageTest, UnicodeBecomesUtf8WithoutTheLocale) {
  ScopedLocale locale("C");  // no part in this direction
  const UnicodeCase cases[] = {
      {"letters of several lengths", u"\u00E4\u00F8\u20AC\U0001F600", kConvertStrict, 64,
       "\xC3\xA4\xC3\xB8\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"cut before a character that does not fit", u"a\u20AC", kConvertStrict, 3, "a"},
      {"cut before a pair that does not fit", u"ab\U0001F600", kConvertStrict, 5, "ab"},
      {"lone surrogate, strict", u"a\xD800z", kConvertStrict, 64, ""},
      {"lone surrogate, substituted", u"a\xD800z", kConvertSubstitute, 64, "a\xEF\xBF\xBDz"},
      {"surrogate pair cut at the end, substituted", u"ab\xD83D", kConvertSubstitute, 64, "ab\xEF\xBF\xBD"},
  };
  for (const UnicodeCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    EXPECT_EQ(unicode_to_utf8(utf16(c.source), c.options, c.room), c.utf8);
  }
  EXPECT_EQ(utf8_from_utf16(utf16(u"x\xDC00\u00E9")), "x\xEF\xBF\xBD\xC3\xA9");
}

struct Utf8Case {
  const char* scenario;
  std::string source;
  int options;
  size_t room;
  std::string utf8;
};

TEST(CodepageTest, Utf8LocaleTextIsCheckedCharacterByCharacter) {
  ScopedLocale locale("C.UTF-8");
  const Utf8Case cases[] = {
      {"valid text", "M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x98\x80", kConvertStrict, 64,
       "M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"cut before a character that does not fit", "ab\xE2\x82\xAC", kConvertStrict, 4, "ab"},
      {"overlong form, strict", "a\xC0\xAFz", kConvertStrict, 64, ""},
      {"overlong form, substituted", "a\xC0\xAFz", kConvertSubstitute, 64, "a\xEF\xBF\xBD\xEF\xBF\xBDz"},
      {"encoded surrogate, substituted", "\xED\xA0\x80", kConvertSubstitute, 64,
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"sequence cut at the end, substituted", "ok\xE2\x82", kConvertSubstitute, 64,
       "ok\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"beyond U+10FFFF, strict", "\xF4\x90\x80\x80", kConvertStrict, 64, ""},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    EXPECT_EQ(to_utf8(c.source, c.options, c.room), c.utf8);
  }
}

TEST(CodepageTest, MissingLocaleGivesNothingAndIsLoggedWithoutTracing) {
  ScopedLocale locale("xx_NOWHERE.ISO-8859-1");
  LogCapture log;
  ASSERT_EQ(trace_all, 0);
  EXPECT_EQ(systm.getLocale(), nullptr);
  EXPECT_EQ(systm.getCodepage(), 0);
  EXPECT_EQ(to_utf8("abc", kConvertSubstitute), "");
  EXPECT_TRUE(log.has("utf0014", 'W', "RAS1:Locale returned null; no locale found.")) << log.text();
  EXPECT_EQ(from_utf8("abc"), "");
  EXPECT_TRUE(log.has("utf0024", 'W', "RAS1:Locale returned null; no locale found.")) << log.text();
  // UTF-16 needs no locale.
  EXPECT_EQ(unicode_to_utf8(utf16(u"abc"), kConvertStrict), "abc");
}

TEST(CodepageTest, CodeSetWithoutANumberGivesNothingAndIsLogged) {
  // A code set outside the table of numbers.
  const std::string dir = testing::made_locale_path("hy_AM", "ARMSCII-8");
  if (dir.empty()) GTEST_SKIP() << "localedef cannot make hy_AM.ARMSCII-8";
  ScopedLocale locale("hy_AM.ARMSCII-8", dir);
  LogCapture log;
  ASSERT_NE(systm.getLocale(), nullptr);
  EXPECT_EQ(systm.getCodepage(), 0);
  EXPECT_EQ(to_utf8("abc", kConvertSubstitute), "");
  EXPECT_TRUE(log.has("utf0013", 'W', "RAS1:Codepage return was 0; Not a valid Codepage")) << log.text();
  EXPECT_EQ(from_utf8("abc"), "");
  EXPECT_TRUE(log.has("utf0023", 'W', "RAS1:Codepage return was 0; Not a valid Codepage")) << log.text();
}

TEST(CodepageTest, GlobalTracingLogsParametersAndResult) {
  ScopedLocale locale("C.UTF-8");
  LogCapture log;
  const int16_t saved = trace_all;
  trace_all = 1;
  EXPECT_EQ(unicode_to_utf8(utf16(u"A\u00E4"), kConvertStrict, 16), "A\xC3\xA4");
  EXPECT_EQ(to_utf8("ok", kConvertStrict, 8), "ok");
  EXPECT_EQ(from_utf8("\xC3\xA4", 8), "\xC3\xA4");
  trace_all = saved;
  const struct {
    const char* id;
    const char* text;
  } lines[] = {
      {"utf0030", "RAS1:Parm - reslen:<16> "},
      {"utf0031", "RAS1:Parm - srclen:<4> "},
      {"utf0032", "RAS1:Source<A\\u00E4>"},
      {"utf0034", "RAS1:NLS2_TranslateString err code: <0>"},
      {"utf0035", "RAS1:Bytes converted: <3>"},
      {"utf0036", "RAS1:UTF-8 string:"},
      {"utf0037", "RAS1:Result<A\xC3\xA4>"},
      {"utf0010", "RAS1:Parm - reslen:<8> "},
      {"utf0011", "RAS1:Parm - srclen:<2> "},
      {"utf0012", "RAS1:Source<ok>"},
      {"utf0015", "RAS1:NLS2_TranslateString err code: <0>"},
      {"utf0016", "RAS1:Bytes converted: <2>"},
      {"utf0017", "RAS1:UTF-8 string:"},
      {"utf0018", "RAS1:Result<ok>"},
      {"utf0020", "RAS1:Parm - reslen:<8> "},
      {"utf0022", "RAS1:Source<\xC3\xA4>"},
      {"utf0027", "RAS1:Code page string:"},
      {"utf0028", "RAS1:Result<\xC3\xA4>"},
  };
  for (const auto& line : lines) EXPECT_TRUE(log.has(line.id, 'T', line.text)) << line.id << "\n" << log.text();
}

}  // namespace
}  // namespace qrx
