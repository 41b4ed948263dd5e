// Fetch exits: value conversion, result tables, the four output layouts and
// whole exit runs of cursors whose scripts are real programs in a temporary
// directory (rows, skipped and kept lines, message lines, failures, dummy
// rows, quoting of row values).

#include "exits/fetch_exit.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "ctl/control_parse.h"
#include "exec/bases.h"
#include "exec/cursor_links.h"
#include "exec/percent_cursor.h"
#include "exits/merge_results.h"
#include "exits/result_tables.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

TEST(ConvertData, CharacterAndBinaryConversions) {
  const struct {
    const char* src;
    int dst_len;
    uint32_t flags;
    const char* expected;  // the destination up to and with its NUL
    int written;
  } cases[] = {
      {"AB", 5, kConvPad | kConvKeepLeft, "AB   ", 5},
      {"AB", 5, kConvRight, "   AB", 5},
      {"AB   ", 5, kConvTrim | kConvKeepLeft | kConvNoNul, "AB", 2},
      {"", 3, kConvPad, "   ", 3},
      {"a b", 9, kConvQuote, "\"a b\"", 5},
      {"a \"b\"", 9, kConvQuote, "'a \"b\"'", 7},
      {"a \"b\" 'c'", 12, kConvQuote, "\ta \"b\" 'c'\t", 11},
      {"abcdef", 4, 0, "abcd", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src);
    char dst[32];
    std::memset(dst, '#', sizeof dst);
    const int n = convertData(c.dst_len, dst, kDataCharacter, -1, c.src, kDataCharacter, c.flags);
    EXPECT_EQ(n, c.written);
    EXPECT_EQ(std::string(dst, static_cast<std::size_t>(n)), c.expected);
    if (!(c.flags & kConvNoNul)) {
      EXPECT_EQ(dst[n], '\0');
    }
  }
  char field[8] = {};
  const int32_t value = 1234;
  EXPECT_EQ(convertData(6, field, kDataCharacter, 4, reinterpret_cast<const char*>(&value),
                        kDataBinary, 0),
            6);
  EXPECT_EQ(std::string(field), "  1234");  // numbers go right

  testing::LogCapture log;
  int32_t out = 7;
  EXPECT_EQ(convertData(4, reinterpret_cast<char*>(&out), kDataBinary, -1, "12x", kDataCharacter, 0), 0);
  EXPECT_EQ(out, 7);
  EXPECT_TRUE(log.has("diu4030", 'w', "Binary to character conversion error. Value:12x(x)"))
      << log.text();
  EXPECT_EQ(convertData(4, reinterpret_cast<char*>(&out), kDataBinary, -1, "-42", kDataCharacter, 0), 4);
  EXPECT_EQ(out, -42);
}

TEST(ResultTables, DefinitionsRowsAndFreeingModes) {
  curs c;
  c.script_items = {{"NAME", 10, 1}, {"SIZE", 5, 2}, {"USED", 8, 2}};
  auto anchor = DBX_init(nullptr, nullptr, nullptr);
  auto kept = std::make_shared<DB_DATA>();
  DB_DATA& t = *DB_DATA_init(*anchor, kept, 1);
  ASSERT_EQ(convert_2_column_data(c, t), 3);
  EXPECT_EQ(t.columns[0].offset, 0);
  EXPECT_EQ(t.columns[1].offset, 10);
  EXPECT_EQ(t.columns[2].offset, 15);
  EXPECT_EQ(t.columns[2].position, 3);
  EXPECT_EQ(t.columns[1].db_length, 4);  // numeric: a binary width
  EXPECT_EQ(t.max_row_size, 24u);
  ROW_DATA& r = ROW_DATA_init(t);
  ROW_DATA_init(t);
  EXPECT_EQ(r.buffer.size(), 24u);
  EXPECT_EQ(r.cols[2].value, r.buffer.data() + 15);
  EXPECT_EQ(t.row_count, 2);
  EXPECT_EQ(t.state, 1);

  freeDBresults(*anchor, 'r');
  EXPECT_TRUE(t.rows.empty());
  EXPECT_EQ(t.state, 0);
  EXPECT_EQ(t.columns.size(), 3u);
  freeDBresults(*anchor, 'C');
  EXPECT_TRUE(t.columns.empty());
  EXPECT_EQ(anchor->tables.size(), 1u);
  freeDBresults(*anchor, 'a');
  EXPECT_TRUE(anchor->tables.empty());
}

TEST(ExitLayouts, EachLayoutCutsALineIntoColumnValues) {
  using V = std::vector<std::string>;
  EXPECT_EQ(simpleParsing("a 'b c' d", 5), (V{"a", "b c", "d"}));
  EXPECT_EQ(simpleParsing("x,\"y, z\" \"q\\\"r\"", 5), (V{"x", "y, z", "q \"r"}));
  EXPECT_EQ(simpleParsing("a b c d", 2), (V{"a", "b"}));
  EXPECT_TRUE(simpleParsing("  , ", 3).empty());
  EXPECT_EQ(tabbedParsing("x\ty\t\tz", 4), (V{"x", "y", "", "z"}));
  std::vector<COLUMN_DATA> defs(3);
  defs[0].length = 4;
  defs[1].length = 3;
  defs[2].length = 5;
  EXPECT_EQ(syntaxParsing("abcd123hello!", defs), (V{"abcd", "123", "hello"}));
  EXPECT_EQ(syntaxParsing("ab", defs), (V{"ab", "", ""}));
  EXPECT_EQ(cformatParsing("text  ", defs), (V{"text", "tex", "text"}));
}

// Whole exit runs of cursors parsed from COLLECT.CTL texts, with their
// programs written into a private directory.
class FetchExitRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qrx-fexit-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_EQ(parse_dict_text(defs_, "name FS;\ntype char(40);\nname SIZE;\ntype integer;\n"
                              "name LINE;\ntype char(30);\nend;\n"),
              0);
  }
  void TearDown() override {
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left behind
    fs::remove_all(dir_);
  }
  std::string program(const std::string& name, const std::string& body) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0700);
    return path.string();
  }
  // A cursor `name` with columns fs and size fed by `exit` running `script`.
  curs& cursor(const std::string& name, const std::string& exit, const std::string& script,
               const std::string& more = "", const std::string& select = "FS, SIZE") {
    std::string cols = select == "LINE" ? "(line) VALUES (:line)" : "(fs, size) VALUES (:fs, :size)";
    defs_.del_curs();  // a parse replaces every cursor, the percent cursor with them
    testing::parse_cursors("cursor " + name + ";\nINSERT INTO T " + cols + ";\nfetch_exit " + exit +
                           ";\nscript " + script + ";\ninsert_select SELECT " + select +
                           " FROM T;\nlimit 100;\n" + more + "end;\n", defs_);
    if (!defs_.percent_cursor) create_percent_cursor(defs_);
    return *defs_.find_cursor(name);
  }
  // The stored rows of `c`, each column's value without trailing blanks, joined by "|".
  static std::vector<std::string> rows(const curs& c) {
    std::vector<std::string> out;
    for (const row_data* r = c.stored.first(); r; r = r->next) {
      std::string line;
      for (const auto& col : c.cols) {
        if (!line.empty()) line += "|";
        line += u_stripx(u_chr2str(r->data() + col->stored_offset,
                                   static_cast<std::size_t>(col->stored_length)), 'B');
      }
      out.push_back(line);
    }
    return out;
  }
  int run(curs& c) {
    int32_t rows_out = 0;
    return run_cursor_fetch_exit(c, "20260101120000", rows_out);
  }

  fs::path dir_;
  Definitions defs_;
  testing::LogCapture log_;
};

TEST_F(FetchExitRunTest, WordsLayoutGivesRowsAndMessagesGoToTheLog) {
  const std::string df = program("df.sh",
                                 "echo '/dev/sda1 100'\n"
                                 "echo 'QRX1234W disk nearly full'\n"
                                 "echo '->QRX1234E is data 7'\n"
                                 "echo \"'/my disk' 5\"\n");
  curs& c = cursor("DF", "fetchx2", df);
  ASSERT_EQ(run(c), 0) << log_.text();
  EXPECT_EQ(rows(c), (std::vector<std::string>{"/dev/sda1|100", "QRX1234E|is", "/my disk|5"}));
  EXPECT_EQ(c.result_code, 100);
  EXPECT_TRUE(log_.text().find("QRX1234W disk nearly full") != std::string::npos) << log_.text();
  // The definitions stay with the cursor; the next run adds rows.
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(c.stored.count(), 6);
}

TEST_F(FetchExitRunTest, StartAfterSkipsAndStopAfterKeepsLines) {
  const std::string seq = program("seq.sh", "for i in 1 2 3 4 5 6 7 8; do printf 'fs%s\\t%s\\n' $i $i; done\n");
  curs& c = cursor("SEQ", "fetchx3", seq, "start_after 2;\nstop_after 3;\n");
  ASSERT_EQ(run(c), 0) << log_.text();
  EXPECT_EQ(rows(c), (std::vector<std::string>{"fs3|3", "fs4|4", "fs5|5"}));
}

TEST_F(FetchExitRunTest, ColumnarAndFormattedLayouts) {
  // FS is 40 wide and SIZE 21: fields at those positions.
  const std::string cols = program("cols.sh", "printf '%-40s%21s\\n' /var 42 /home 7\n");
  curs& c = cursor("COLS", "fetchx1", cols);
  ASSERT_EQ(run(c), 0) << log_.text();
  EXPECT_EQ(rows(c), (std::vector<std::string>{"/var|42", "/home|7"}));

  const std::string text = program("text.sh", "echo 'server is up   '\n");
  curs& f = cursor("TEXT", "fetchx5", text, "", "LINE");
  ASSERT_EQ(run(f), 0) << log_.text();
  EXPECT_EQ(rows(f), std::vector<std::string>{"server is up"});
}

TEST_F(FetchExitRunTest, FailingExitsFailTheRunWithCodeMinusOne) {
  const struct {
    const char* name;
    std::string script;
    const char* id;
  } cases[] = {
      {"NONZERO", program("bad.sh", "echo 'x 1'\nexit 4\n"), "fxr4060"},
      {"NOTFOUND", "qrx-no-such-exit-program", "uex4100"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    curs& c = cursor(k.name, "fetchx2t5", k.script);
    EXPECT_EQ(run(c), 1);
    EXPECT_EQ(c.result_code, -1);
    EXPECT_EQ(c.status, std::string(14, ' ') + "-1");
    EXPECT_TRUE(c.stored.empty());
    EXPECT_GE(log_.count(k.id), 1) << log_.text();
  }
  EXPECT_TRUE(log_.has("fxr4060", 'e',
                       "Exit " + cases[0].script + " for cursor NONZERO ended with status 4: no rows taken"))
      << log_.text();
}

TEST_F(FetchExitRunTest, HangingExitIsEndedAtItsLimitAndFails) {
  const std::string hang = program("hang.sh", "echo 'a 1'\nsleep 300\n");
  curs& c = cursor("HANG", "fetchx2t1", hang);
  EXPECT_EQ(run(c), 1);
  EXPECT_EQ(c.result_code, -1);
  EXPECT_EQ(log_.count("uex8080"), 1) << log_.text();
}

TEST_F(FetchExitRunTest, NoOutputGivesTheDummyRowOrAFailure) {
  const std::string quiet = program("quiet.sh", "exit 0\n");
  curs& plain = cursor("PLAIN", "fetchx2", quiet);
  EXPECT_EQ(run(plain), 1);
  EXPECT_EQ(plain.result_code, -1);
  curs& dummy = cursor("DUMMY", "fetchx2", quiet, "dummy_last_row;\n");
  EXPECT_EQ(run(dummy), 0) << log_.text();
  EXPECT_EQ(dummy.result_code, 100);
  EXPECT_TRUE(dummy.layout_fixed);
  EXPECT_EQ(dummy.cols[1]->stored_length, 21);
}

TEST_F(FetchExitRunTest, RowValueInTheParametersRunsNoSecondCommand) {
  // Relative to the working directory the children share with the test.
  const std::string marker = "qrxpw";
  const std::string hostile = "$(touch " + marker + ")`touch " + marker + "`;'\"";
  ASSERT_LE(hostile.size(), 40u);
  const std::string source = program("source.sh", "printf 'one\\t1\\n'\n");
  const std::string echo = program("echo.sh", "printf '%s\\t2\\n' \"$*\"\n");
  const auto block = [](const std::string& name, const std::string& script) {
    return "cursor " + name + ";\nINSERT INTO T (fs, size) VALUES (:fs, :size);\nfetch_exit fetchx3;\n"
           "script " + script + ";\ninsert_select SELECT FS, SIZE FROM T;\nlimit 9;\n";
  };
  testing::parse_cursors(block("SRC", source) + block("DST", echo + " [SRC.fs]") +
                         block("DSTP", echo + " [ SRC.fs] | cat") + "end;\n", defs_);
  if (!defs_.percent_cursor) create_percent_cursor(defs_);
  curs& src = *defs_.find_cursor("SRC");
  ASSERT_EQ(run(src), 0) << log_.text();
  // The row value as a hostile server might have made it.
  row_data* last = src.stored.last();
  u_str2chr(hostile, last->data() + src.cols[0]->stored_offset, 40);
  for (const char* name : {"DST", "DSTP"}) {
    SCOPED_TRACE(name);
    curs& dst = *defs_.find_cursor(name);
    ASSERT_EQ(run(dst), 0) << log_.text();
    EXPECT_EQ(rows(dst), std::vector<std::string>{hostile + "|2"});
  }
  EXPECT_FALSE(fs::exists(marker));
  fs::remove(marker);
}

// An exit cursor's rows are joined to a base cursor's rows as fetched rows are.
TEST_F(FetchExitRunTest, ExitRowsJoinTheirBaseCursorsRows) {
  const std::string source = program("source.sh", "printf 'a\\t10\\nb\\t20\\n'\n");
  const std::string out = program("out.sh", "printf 'a\\t1\\nb\\t2\\n'\n");
  testing::parse_cursors("cursor SRC;\nINSERT INTO T (fs, size) VALUES (:fs, :size);\nfetch_exit fetchx3;\n"
                         "script " + source + ";\ninsert_select SELECT FS, SIZE FROM T;\nlimit 9;\n"
                         "cursor DST;\nINSERT INTO T (fs, size, total) VALUES (:fs, :size, :SRC.size);\n"
                         "fetch_exit fetchx3;\nscript " + out + ";\ninsert_select SELECT FS, SIZE FROM T;\n"
                         "limit 9;\nbase SRC on fs -> fs;\nend;\n", defs_);
  if (!defs_.percent_cursor) create_percent_cursor(defs_);
  ASSERT_EQ(edit_bases(defs_), 0) << log_.text();
  ASSERT_EQ(set_qualifieds(defs_), 0) << log_.text();
  ASSERT_EQ(run(*defs_.find_cursor("SRC")), 0) << log_.text();
  curs& dst = *defs_.find_cursor("DST");
  ASSERT_EQ(run(dst), 0) << log_.text();
  EXPECT_EQ(rows(dst), (std::vector<std::string>{"a|1|10", "b|2|20"}));
}

TEST_F(FetchExitRunTest, ColumnMissingFromTheOutputFailsTheMergeAndHoldsTheCursor) {
  const std::string out = program("out.sh", "echo 'a 1'\n");
  testing::parse_cursors("cursor MISS;\nINSERT INTO T (fs, other) VALUES (:fs, :other);\n"
                         "fetch_exit fetchx2;\nscript " + out + ";\n"
                         "insert_select SELECT FS, SIZE FROM T;\nlimit 9;\nend;\n", defs_);
  if (!defs_.percent_cursor) create_percent_cursor(defs_);
  curs& c = *defs_.find_cursor("MISS");
  EXPECT_EQ(run(c), 1);
  EXPECT_EQ(c.result_code, -1);
  EXPECT_EQ(c.hold, 'Y');
  EXPECT_TRUE(c.stored.empty());
  EXPECT_TRUE(log_.has("cmr1590", 'e', "No database column found for MISS.other")) << log_.text();
  EXPECT_TRUE(log_.has("fxr4035", 'w', "Time = 20260101120000 For cursor MISS, merge failed after = 0 rows"));
  EXPECT_TRUE(log_.has("fxr4040", 'w', "Holding cursor"));
}

TEST_F(FetchExitRunTest, InternalScriptWithoutProceduresFailsClearly) {
  // A collector start-up earlier in this process installs the procedures.
  script_procedure() = nullptr;
  curs& c = cursor("INTERN", "fetchxi1", "smon_locks 1");
  EXPECT_EQ(run(c), 1);
  EXPECT_EQ(c.result_code, -1);
  EXPECT_TRUE(log_.has("ccc4065", 'e', "No built-in procedure can run script smon_locks 1 of cursor INTERN"))
      << log_.text();
}

}  // namespace
}  // namespace qrx
