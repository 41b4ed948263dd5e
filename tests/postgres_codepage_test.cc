// Names with letters outside ASCII, fetched from the UTF8 and the LATIN1
// database of the private PostgreSQL server that scripts/test starts
// (scripts/pg-start), arrive as UTF-8 whatever the collector's locale.
// Skipped when QRX_TEST_ODBC is not set.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "exec/dynamic_fetch.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "session/database.h"
#include "sqlrt/sqlrt.h"
#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/locale_fixture.h"

namespace qrx {
namespace {

using testing::kLatin1Locale;
using testing::latin1_locale_path;
using testing::ScopedLocale;

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

struct DatabaseCase {
  const char* dsn_variable;
  const char* sql;  // ASCII only: the server makes the letters
  std::vector<std::string> names;
};

const DatabaseCase kDatabases[] = {
    {"QRX_TEST_ODBC",
     "SELECT name FROM (VALUES (1, U&'\\00E4\\00F6\\00FC'), (2, U&'\\00F8re'), (3, U&'\\20AC 5')) "
     "AS v(n, name) ORDER BY n",
     {"\xC3\xA4\xC3\xB6\xC3\xBC", "\xC3\xB8re", "\xE2\x82\xAC 5"}},
    // LATIN1 has no euro sign.
    {"QRX_TEST_ODBC_LATIN1",
     "SELECT name FROM (VALUES (1, U&'\\00E4\\00F6\\00FC'), (2, U&'\\00F8re'), "
     "(3, convert_from('\\x4dfc6c6c6572'::bytea, 'LATIN1'))) AS v(n, name) ORDER BY n",
     {"\xC3\xA4\xC3\xB6\xC3\xBC", "\xC3\xB8re", "M\xC3\xBCller"}},
};

class PostgresCodepageTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    if (env_or_empty("QRX_TEST_ODBC").empty() || env_or_empty("QRX_TEST_ODBC_LATIN1").empty())
      GTEST_SKIP() << "QRX_TEST_ODBC or QRX_TEST_ODBC_LATIN1 is not set (scripts/pg-start)";
    if (latin1_locale_path().empty()) GTEST_SKIP() << "localedef cannot make " << kLatin1Locale;
    set_env("COLL_DB_DRIVER", "odbc");
    collector_.logon_id = env_or_empty("QRX_TEST_ODBC_USER");
    collector_.password = env_or_empty("QRX_TEST_ODBC_PASSWORD");
  }
  void TearDown() override {
    rollback();
    DatabaseFixture::TearDown();
  }
};

TEST_F(PostgresCodepageTest, NamesArriveAsUtf8FromBothDatabasesUnderEveryLocale) {
  for (const DatabaseCase& db : kDatabases) {
    for (const std::string locale_name : {"C", kLatin1Locale}) {
      SCOPED_TRACE(std::string(db.dsn_variable) + " under " + locale_name);
      ScopedLocale locale(locale_name, latin1_locale_path());
      rollback();  // each database and locale logs on afresh
      collector_.server_id = env_or_empty(db.dsn_variable);
      rows.clear();
      curs& c = cursor("NAMES", db.sql);
      ASSERT_EQ(run(c), 0) << log_.text();
      std::vector<std::string> names;
      for (const testing::SeenRow& row : rows) names.push_back(row.at(0).value());
      EXPECT_EQ(names, db.names);
    }
  }
  EXPECT_EQ(log_.count("oru0210"), 0) << log_.text();
}

TEST_F(PostgresCodepageTest, StoredRowHoldsTheUtf8BytesCutAtACharacter) {
  // A text column is fetched with 384 bytes: 129 euro signs (387 bytes of
  // UTF-8) keep 128 of them, none cut in half.
  collector_.server_id = env_or_empty("QRX_TEST_ODBC");
  ASSERT_EQ(parse_curs_text(defs_, "cursor EURO;\n  interval 10;\n  limit 10;\n"
                            "  INSERT INTO t (name, code) VALUES (:name, :code);\n"
                            "  insert_select SELECT U&'\\00E4\\00F8' AS name, repeat(U&'\\20AC', 129) AS code;\n"
                            "end;\n"),
            0);
  curs& c = *defs_.find_cursor("EURO");
  c.collector = &collector_;
  fetch_hooks().row = merge_fetched_row;
  ASSERT_EQ(run(c), 0) << log_.text();
  ASSERT_EQ(c.stored.count(), 1);
  const columns& name = *c.cols[0];
  const columns& code = *c.cols[1];
  const row_data* row = c.stored.first();
  EXPECT_EQ(std::string(row->data() + name.stored_offset, 4), "\xC3\xA4\xC3\xB8");
  std::string euros;
  for (int i = 0; i < 128; ++i) euros += "\xE2\x82\xAC";
  ASSERT_GE(code.stored_length, 384);
  EXPECT_EQ(std::string(row->data() + code.stored_offset, 384), euros);
}

// The rows of the history file `path` without the historian's time in
// front; sorted, so that runs that saw different numbers of passes compare.
std::vector<std::string> history_rows(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);)
    if (line.size() > 14) rows.push_back(line.substr(14));
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

// The collector keeps the names of the LATIN1 database in its history file
// as the same UTF-8 bytes when started under the C locale and under a
// Latin-1 locale.
TEST(PostgresCodepageCollectorTest, HistoryHoldsTheSameUtf8UnderTheCAndALatin1Locale) {
  if (env_or_empty("QRX_TEST_ODBC_LATIN1").empty()) GTEST_SKIP() << "QRX_TEST_ODBC_LATIN1 is not set";
  if (latin1_locale_path().empty()) GTEST_SKIP() << "localedef cannot make " << kLatin1Locale;
  const std::string process =
      "process collector;\n  type local;\n  interval 2;\nprocess historian;\n  type local;\n  interval 2;\nend;\n";
  const std::string collect =
      "cursor NAMES;\n  interval 2;\n  limit 10;\n  history;\n"
      "  insert_select SELECT CAST(name AS varchar(12)) AS name FROM (VALUES (1, U&'\\00E4\\00F6\\00FC'),"
      " (2, U&'\\00F8re'), (3, convert_from(decode('4dfc6c6c6572', 'hex'), 'LATIN1'))) AS v(n, name) ORDER BY n;\n"
      "  INSERT INTO names (name) VALUES (:name^12);\nend;\n";
  std::vector<std::vector<std::string>> runs;
  for (const std::string locale : {"C", kLatin1Locale}) {
    SCOPED_TRACE(locale);
    testing::TempDir dir;
    std::ofstream(dir.file("qrxproc.ctl")) << process;
    std::ofstream(dir.file("qrxcoll.ctl")) << collect;
    std::ofstream(dir.file("qrxdict.ctl")) << "name SERVER;\n  type char(64);\n  initial -rdbms UNKNOWN;\nend;\n";
    std::ofstream(dir.file("qrxtrac.ctl")) << ";; none\n";
    std::string environment = "LANG=" + locale + " LC_ALL=" + locale + " LOCPATH='" + latin1_locale_path() +
                              "' ODBCSYSINI='" + env_or_empty("ODBCSYSINI") + "' ODBCINI='" + env_or_empty("ODBCINI") +
                              "' COLL_SERVERID=" + env_or_empty("QRX_TEST_ODBC_LATIN1") +
                              " COLL_DB_DRIVER=odbc COLL_LOGON=" + env_or_empty("QRX_TEST_ODBC_USER") +
                              " COLL_PASSWORD='" + env_or_empty("QRX_TEST_ODBC_PASSWORD") + "'";
    testing::CollectorProcess collector;
    ASSERT_TRUE(collector.start(dir.path(), "-dbtype qrx", environment));
    const std::string history = dir.file("NAMES.HST");
    const bool written = testing::wait_until([&] { return history_rows(history).size() >= 3; });
    collector.stop(SIGTERM);
    ASSERT_TRUE(written) << testing::collector_log(dir.path());
    EXPECT_EQ(testing::collector_log(dir.path()).find("ORU0210"), std::string::npos);
    runs.push_back(history_rows(history));
  }
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], runs[1]);
  const std::string all = [&] {
    std::string joined;
    for (const std::string& row : runs[0]) joined += row + "\n";
    return joined;
  }();
  for (const char* name : {"\xC3\xA4\xC3\xB6\xC3\xBC", "\xC3\xB8re", "M\xC3\xBCller"})
    EXPECT_NE(all.find(name), std::string::npos) << name << " in\n" << all;
}

}  // namespace
}  // namespace qrx
