#include <gtest/gtest.h>

#include <string>

#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

class TraceParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_all_ = trace_all;
    saved_something_ = trace_something;
    ASSERT_EQ(parse_curs_text(defs_, "cursor A;\nINSERT INTO T (X) VALUES (:X);\n"
                              "cursor B;\nINSERT INTO T (X) VALUES (:X);\nend;\n"),
              0);
    trace_all = trace_something = 0;
  }
  void TearDown() override {
    trace_all = saved_all_;
    trace_something = saved_something_;
  }
  curs& cursor(const char* name) { return *defs_.find_cursor(name); }
  testing::LogCapture log;
  Definitions defs_;

 private:
  int16_t saved_all_ = 0, saved_something_ = 0;
};

TEST_F(TraceParserTest, KeywordsInLowerOrUpperCaseSetFlags) {
  EXPECT_EQ(parse_trace_text(defs_, ";; which cursors\nTRACE A;\ntraced B;\nshow_row A;\n"
                             "SHOW_CURSOR B;\ntracem A;\n"),
            0)
      << log.text();
  EXPECT_EQ(cursor("A").trace, 1);
  EXPECT_EQ(cursor("A").tracem, 1);
  EXPECT_EQ(cursor("A").show_row, 1);
  EXPECT_EQ(cursor("B").traced, 1);
  EXPECT_EQ(cursor("B").show_cursor, 1);
  EXPECT_EQ(cursor("B").trace, 0);
  EXPECT_EQ(trace_something, 1);
  EXPECT_EQ(trace_all, 0);
  EXPECT_NE(log.text().find(") -- Starting parse of TRACE.CTL --- Time = "), std::string::npos);
  EXPECT_NE(log.text().find(") --  Trace Control Parsing ended at "), std::string::npos);
  EXPECT_TRUE(log.has("ptc4760", 'i', "Trace Parsing ended ok"));
}

TEST_F(TraceParserTest, StatementOverTwoLines) {
  EXPECT_EQ(parse_trace_text(defs_, "trace\n  A, B;\n"), 0);
  EXPECT_EQ(cursor("A").trace, 1);
  EXPECT_EQ(cursor("B").trace, 1);
}

TEST_F(TraceParserTest, MixedCaseKeywordIsUnknownAndStopsReading) {
  EXPECT_EQ(parse_trace_text(defs_, "Trace A;\ntrace B;\n"), 1);
  EXPECT_TRUE(log.has("ptc4640", 'e', "Unknown keyword (Trace)"));
  EXPECT_TRUE(log.has("ptc4755", 'e', "Trace Parsing ended with errors"));
  EXPECT_EQ(cursor("B").trace, 0);
}

TEST_F(TraceParserTest, TraceAllMarksEveryCursor) {
  EXPECT_EQ(parse_trace_text(defs_, "trace_all;\n"), 0);
  for (const char* n : {"A", "B"}) {
    EXPECT_EQ(cursor(n).trace, 1);
    EXPECT_EQ(cursor(n).show_cursor, 1);
    EXPECT_EQ(cursor(n).show_row, 1);
  }
  EXPECT_EQ(trace_all, 1);
  EXPECT_EQ(trace_something, 1);
}

TEST_F(TraceParserTest, EndStopsTheFile) {
  EXPECT_EQ(parse_trace_text(defs_, "end;\ntrace A;\n"), 0);
  EXPECT_EQ(cursor("A").trace, 0);
}

struct NameFault {
  const char* keyword;
  const char* long_id;
  const char* long_text;
  const char* missing_id;
  const char* missing_text;
};

const NameFault kNameFaults[] = {
    {"trace", "ptc4645", "Trace cursor name too long : ", "ptc4655", "Cursor to trace (%) not found"},
    {"tracem", "ptc4670", "Tracem cursor name too long : ", "ptc4680",
     "Cursor on which to trace math (%) not found"},
    {"traced", "ptc4685", "Traced cursor name too long : ", "ptc4695",
     "Cursor on which to trace decodes (%) not found"},
    {"show_row", "ptc4700", "Show_row cursor name too long : ", "ptc4705",
     "Cursor on which to show_row (%) not found"},
    {"show_cursor", "ptc4710", "Show_cursor cursor name too long : ", "ptc4715",
     "Cursor on which to show_cursor (%) not found"},
};

TEST_F(TraceParserTest, NameFaultsPerKeyword) {
  for (const NameFault& f : kNameFaults) {
    SCOPED_TRACE(f.keyword);
    testing::LogCapture one;
    const std::string k = f.keyword;
    EXPECT_EQ(parse_trace_text(defs_, k + " ABCDEFGHIJ A;\n" + k + " NOSUCH, B;\n"), 1);
    EXPECT_TRUE(one.has(f.long_id, 'e', std::string(f.long_text) + "ABCDEFGHIJ")) << one.text();
    std::string missing = f.missing_text;
    missing.replace(missing.find('%'), 1, "NOSUCH");
    EXPECT_TRUE(one.has(f.missing_id, 'e', missing)) << one.text();
  }
  // The rest of a statement with a long name is skipped; names after a
  // missing one are still set.
  EXPECT_EQ(cursor("A").trace, 0);
  EXPECT_EQ(cursor("B").trace, 1);
  EXPECT_EQ(cursor("B").show_cursor, 1);
}

TEST_F(TraceParserTest, KeywordCodes) {
  EXPECT_EQ(test_trace_word("trace", 5), 1);
  EXPECT_EQ(test_trace_word("TRACEM", 6), 2);
  EXPECT_EQ(test_trace_word("traced", 6), 3);
  EXPECT_EQ(test_trace_word("traceall", 8), 4);
  EXPECT_EQ(test_trace_word("TRACE_ALL", 9), 4);
  EXPECT_EQ(test_trace_word("show_row", 8), 5);
  EXPECT_EQ(test_trace_word("show_cursor", 11), 6);
  EXPECT_EQ(test_trace_word("END", 3), 7);
  EXPECT_EQ(test_trace_word("Trace", 5), 0);
}

TEST_F(TraceParserTest, ResetTracingClearsFlagsAndSwitches) {
  ASSERT_EQ(parse_trace_text(defs_, "trace A;\ntraced A;\ntracem B;\nshow_row A;\n"), 0);
  trace_all = 1;
  reset_trace = 1;
  reset_tracing(defs_);
  EXPECT_EQ(cursor("A").trace, 0);
  EXPECT_EQ(cursor("A").traced, 0);
  EXPECT_EQ(cursor("B").tracem, 0);
  EXPECT_EQ(cursor("A").show_row, 1);  // only the three trace flags are cleared
  EXPECT_EQ(trace_all, 0);
  EXPECT_EQ(trace_something, 0);
  EXPECT_EQ(reset_trace, 0);
}

}  // namespace
}  // namespace qrx
