// The dynamic fetch turns character columns into UTF-8: UTF-16 columns and
// columns in the locale's code page are converted, UTF-8 columns pass
// through. SQLite files stand in for the database; a wrapping statement
// relabels their text columns and hands out UTF-16 where a test needs it.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>

#include "base/codepage.h"
#include "base/trace.h"
#include "exec/dynamic_fetch.h"
#include "session/database.h"
#include "sqlrt/sqlrt.h"
#include "support/database_fixture.h"
#include "support/locale_fixture.h"
#include "support/wrapping_driver.h"

namespace qrx {
namespace {

using testing::kLatin1Locale;
using testing::latin1_locale_path;
using testing::ScopedLocale;

std::string utf16(std::u16string_view units) {
  return {reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t)};
}

// Describes the first column with `charset`; with UTF-16 `values`, each
// fetch puts the next of them into the first column, as a driver that
// fetches wide characters does (cut to the place).
class RelabelingStatement : public testing::ForwardingStatement {
 public:
  RelabelingStatement(std::unique_ptr<sqlrt::Statement> inner, int charset, std::deque<std::string> values)
      : ForwardingStatement(std::move(inner)), charset_(charset), values_(std::move(values)) {}
  int describe(std::vector<sqlrt::ColumnDesc>& columns) override {
    const int code = ForwardingStatement::describe(columns);
    if (code == 0 && !columns.empty()) columns[0].charset = charset_;
    return code;
  }
  int fetch(std::span<sqlrt::Binding> columns) override {
    const int code = ForwardingStatement::fetch(columns);
    if (code != 0 || values_.empty() || columns.empty()) return code;
    const std::string value = values_.front();
    values_.pop_front();
    const size_t n = std::min(value.size(), static_cast<size_t>(columns[0].length));
    std::memcpy(columns[0].data, value.data(), n);
    columns[0].returned_bytes = static_cast<int>(n);
    columns[0].returned_chars = static_cast<int>(n / 2);
    return code;
  }

 private:
  int charset_;
  std::deque<std::string> values_;
};

class PrepLFetchCodepageTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    collector_.server_id = db_.file("MON.db");
    setup_sql("PRAGMA user_version = 1;");
  }

  // Statements of the next session describe their first column with
  // `charset` and hand out `values` (UTF-16) in it.
  void relabel(int charset, std::deque<std::string> values = {}) {
    rollback();  // the session in use, if any, ends
    drivers_.push_back(std::make_unique<testing::WrappingDriver>(
        [charset, values](std::unique_ptr<sqlrt::Statement> inner) {
          return std::make_unique<RelabelingStatement>(std::move(inner), charset, values);
        }));
    sqlrt::set_driver_override(drivers_.back().get());
  }

  // The first column of every fetched row.
  std::vector<std::string> first_values() const {
    std::vector<std::string> values;
    for (const testing::SeenRow& row : rows) values.push_back(row.at(0).value());
    return values;
  }

  testing::TempDir db_;
  std::vector<std::unique_ptr<testing::WrappingDriver>> drivers_;  // kept while sessions may use them
};

TEST_F(PrepLFetchCodepageTest, Utf16TextArrivesAsUtf8CutBeforeACharacterThatDoesNotFit) {
  setup_sql("CREATE TABLE t (name VARCHAR2(10), short_name VARCHAR2(2));"
            "INSERT INTO t VALUES ('x', 'x'), ('x', 'x');");
  relabel(sqlrt::kUnicode, {utf16(u"M\u00FCller \u20AC"), utf16(u"\u00E4\u00F6\u00FC \u00F8")});
  curs& c = cursor("NAMES", "SELECT name FROM t");
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(first_values(), (std::vector<std::string>{"M\xC3\xBCller \xE2\x82\xAC",
                                                      "\xC3\xA4\xC3\xB6\xC3\xBC \xC3\xB8"}));
  // The rest of the place is cleared, not left with fetched bytes.
  EXPECT_EQ(rows[0][0].text, "M\xC3\xBCller \xE2\x82\xAC" + std::string(30 - 11, '\0'));
  EXPECT_EQ(log_.count("oru0210"), 0) << log_.text();

  rows.clear();
  relabel(sqlrt::kUnicode, {utf16(u"a\u20AC\u20AC"), utf16(u"abcd\u20AC")});
  curs& cut = cursor("SHORT", "SELECT short_name FROM t");
  ASSERT_EQ(run(cut), 0);  // a place of 6 bytes
  EXPECT_EQ(first_values(), (std::vector<std::string>{"a\xE2\x82\xAC", "abcd"}));
}

TEST_F(PrepLFetchCodepageTest, InvalidUtf16IsLoggedAndStoredWithAReplacementCharacter) {
  setup_sql("CREATE TABLE t (name VARCHAR2(10)); INSERT INTO t VALUES ('x'), ('x');");
  relabel(sqlrt::kUnicode, {utf16(u"a\xD800z"), utf16(u"ok")});
  curs& c = cursor("BROKEN", "SELECT name AS uname FROM t");
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(first_values(), (std::vector<std::string>{"a\xEF\xBF\xBDz", "ok"}));
  EXPECT_TRUE(log_.has("oru0210", 'w', "UTF-8 conversion failed for column: <uname>")) << log_.text();
  EXPECT_EQ(log_.count("oru0210"), 1);
}

TEST_F(PrepLFetchCodepageTest, CodePageTextIsConvertedFromTheLocalesCodePage) {
  if (latin1_locale_path().empty()) GTEST_SKIP() << "localedef cannot make " << kLatin1Locale;
  // Latin-1 bytes, as a client in a Latin-1 locale receives them.
  setup_sql("CREATE TABLE t (name VARCHAR2(10)); INSERT INTO t VALUES (CAST(X'4DFC6C6C657220F8' AS TEXT));");
  relabel(sqlrt::kNonUnicode);
  {
    ScopedLocale locale(kLatin1Locale, latin1_locale_path());
    curs& c = cursor("LATIN", "SELECT name FROM t");
    ASSERT_EQ(run(c), 0);
    EXPECT_EQ(first_values(), std::vector<std::string>{"M\xC3\xBCller \xC3\xB8"});
    EXPECT_EQ(log_.count("oru0210"), 0);
  }
  rows.clear();
  {
    // In the C locale those bytes are no characters at all.
    ScopedLocale locale("C");
    curs& c = cursor("ASCII", "SELECT name FROM t");
    ASSERT_EQ(run(c), 0);
    EXPECT_EQ(first_values(), std::vector<std::string>{"M\xEF\xBF\xBDller \xEF\xBF\xBD"});
    EXPECT_TRUE(log_.has("oru0210", 'w', "UTF-8 conversion failed for column: <name>")) << log_.text();
  }
}

TEST_F(PrepLFetchCodepageTest, Utf8TextPassesThroughUnchangedUnderEveryLocale) {
  if (latin1_locale_path().empty()) GTEST_SKIP() << "localedef cannot make " << kLatin1Locale;
  setup_sql("CREATE TABLE t (name VARCHAR2(10)); INSERT INTO t VALUES ('M\xC3\xBCller \xE2\x82\xAC');");
  for (const std::string locale_name : {"C", kLatin1Locale}) {
    SCOPED_TRACE(locale_name);
    ScopedLocale locale(locale_name, latin1_locale_path());
    rows.clear();
    curs& c = cursor("PLAIN" + std::to_string(rows.size()), "SELECT name FROM t");
    ASSERT_EQ(run(c), 0);
    EXPECT_EQ(first_values(), std::vector<std::string>{"M\xC3\xBCller \xE2\x82\xAC"});
  }
  EXPECT_EQ(log_.count("oru0210"), 0);
}

TEST_F(PrepLFetchCodepageTest, TraceNamesTheConversionAndTheCodePage) {
  if (latin1_locale_path().empty()) GTEST_SKIP() << "localedef cannot make " << kLatin1Locale;
  ScopedLocale locale(kLatin1Locale, latin1_locale_path());
  trace_set("dzzzzzzzzzz");
  setup_sql("CREATE TABLE t (name VARCHAR2(10)); INSERT INTO t VALUES (CAST(X'E4' AS TEXT));");
  relabel(sqlrt::kNonUnicode);
  ASSERT_EQ(run(cursor("CP", "SELECT name FROM t")), 0);
  EXPECT_TRUE(log_.has("oru0135", 't', "NLS flag (1): <non-Unicode>")) << log_.text();
  EXPECT_TRUE(log_.has("oru0195", 't', "Non-Unicode conversion"));
  EXPECT_TRUE(log_.has("oru0200", 't', "Code page CCSID: <819>"));
  EXPECT_TRUE(log_.has("oru0205", 't', "Code page name: <ISO-8859-1>"));
  EXPECT_TRUE(log_.has("oru0266", 't', "Overriding bytes to convert: <1>"));

  relabel(sqlrt::kUnicode, {utf16(u"\u00E4")});
  ASSERT_EQ(run(cursor("UNI", "SELECT name FROM t")), 0);
  EXPECT_TRUE(log_.has("oru0135", 't', "NLS flag (2): <Unicode>"));
  EXPECT_TRUE(log_.has("oru0190", 't', "Unicode conversion"));
  EXPECT_EQ(first_values(), (std::vector<std::string>{"\xC3\xA4", "\xC3\xA4"}));
}

}  // namespace
}  // namespace qrx
