// The documentation keeps up with the parsers: every keyword of every
// control file, as the parsers' tables spell it, is documented in
// docs/control-files.md.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

TEST(DocsTest, EveryKeywordOfEveryParserTableIsInTheControlFileDocument) {
  const std::string doc = testing::file_text(QRX_SOURCE_DIR "/docs/control-files.md");
  ASSERT_FALSE(doc.empty()) << "docs/control-files.md is missing";
  const struct {
    const char* file;
    std::vector<std::string> words;
  } tables[] = {
      {"PROCESS.CTL", distributor_keywords()}, {"DICT.CTL", dict_keywords()},
      {"COLLECT.CTL", cursor_keywords()},      {"COLLECT.CTL load", load_keywords()},
      {"COLLECT.CTL decode", decode_keywords()}, {"TRACE.CTL", trace_keywords()},
      {"evaluator file", eval_keywords()},     {"NAME.RQS", rqs_keywords()},
  };
  std::vector<std::string> missing;
  for (const auto& table : tables) {
    EXPECT_FALSE(table.words.empty()) << table.file;
    for (const std::string& word : table.words)
      if (doc.find("`" + word + "`") == std::string::npos) missing.push_back(std::string(table.file) + ": " + word);
  }
  EXPECT_TRUE(missing.empty()) << [&] {
    std::string list;
    for (const std::string& m : missing) list += "\n  " + m;
    return "not documented (as `word`) in docs/control-files.md:" + list;
  }();
}

// A cursor keeps the rows of earlier runs up to its limit unless it has
// `samples` (or `empty`): the PostgreSQL example's cursors of several rows
// must keep only their last run, or every reply repeats earlier sessions.
TEST(DocsTest, PostgresExampleCursorsOfSeveralRowsKeepOnlyTheirLastRun) {
  const std::string text = testing::file_text(QRX_SOURCE_DIR "/examples/postgresql/qrxcoll.ctl");
  ASSERT_FALSE(text.empty());
  const std::regex block(R"((^|\n)cursor (\w+);([\s\S]*?)(?=\ncursor |\nend;))");
  const std::regex limit(R"(\n\s*limit (\d+);)");
  int checked = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), block), end; it != end; ++it) {
    const std::string name = (*it)[2], body = (*it)[3];
    std::smatch m;
    if (body.find("\n  demand;") != std::string::npos) continue;
    if (!std::regex_search(body, m, limit) || std::stoi(m[1]) <= 1) continue;
    ++checked;
    EXPECT_TRUE(body.find("\n  samples 1;") != std::string::npos ||
                body.find("\n  empty;") != std::string::npos)
        << name << " accumulates earlier runs' rows";
  }
  EXPECT_EQ(checked, 5) << "PGSESS, PGBUSYDB, PGDBSESS, PGLOCKS, PGSETS";
}

}  // namespace
}  // namespace qrx
