// qrxexport's parts without a collector: the metrics file, the plan checked
// against cursor definitions, the exposition text (names, escaping, the two
// formats, NONE and failed cursors) and the exporter's exchanges over a
// stand-in link.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/metrics_config.h"
#include "agent/metrics_exporter.h"
#include "agent/metrics_render.h"
#include "agent/status_records.h"
#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

// ---- The metrics file

TEST(MetricsConfigTest, StatementsFillTheConfig) {
  testing::LogCapture capture;
  MetricsConfig config;
  ASSERT_EQ(parse_metrics_text(";; comment\nlisten 0.0.0.0:9999;\ncursor DBSTATS;\n"
                               "  metric commits counter name qrx_commits help \"Commits; ever\";\n"
                               "  metric size_mb scale 1048576;\n"
                               "  label sid;\n  drop program;\ncursor TBL;\nend;\n",
                               "m.ctl", config),
            -1)
      << "a ';' inside quotes ends the statement, as in every control file";
  config = {};
  ASSERT_EQ(parse_metrics_text("listen 0.0.0.0:9999;\ncursor DBSTATS;\n"
                               "  metric commits counter name qrx_commits help 'Commits, ever';\n"
                               "  metric size_mb scale 1048576;\n"
                               "  label sid;\n  DROP program;\ncursor TBL;\nend;\n",
                               "m.ctl", config),
            0)
      << capture.log();
  EXPECT_EQ(config.host, "0.0.0.0");
  EXPECT_EQ(config.port, 9999);
  ASSERT_EQ(config.cursors.size(), 2u);
  EXPECT_EQ(config.cursors[1].cursor, "TBL");
  const std::vector<ColumnMapping>& cols = config.cursors[0].columns;
  ASSERT_EQ(cols.size(), 4u);
  EXPECT_EQ(cols[0].column, "commits");
  EXPECT_EQ(cols[0].role, ColumnRole::kSample);
  EXPECT_EQ(cols[0].type, MetricType::kCounter);
  EXPECT_EQ(cols[0].name, "qrx_commits");
  EXPECT_EQ(cols[0].help, "Commits, ever");
  EXPECT_EQ(cols[1].scale, 1048576);
  EXPECT_EQ(cols[1].type, MetricType::kGauge);
  EXPECT_EQ(cols[2].role, ColumnRole::kLabel);
  EXPECT_EQ(cols[3].role, ColumnRole::kDrop);
}

TEST(MetricsConfigTest, EachFaultIsToldWithItsLine) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"bogus 1;", "Metrics file m.ctl line 1: unknown statement bogus"},
      {"metric a;", "Metrics file m.ctl line 1: metric outside a cursor block"},
      {"cursor A;\nmetric;", "Metrics file m.ctl line 2: metric needs a value"},
      {"cursor A;\nmetric a summary;", "Metrics file m.ctl line 2: unexpected word summary"},
      {"cursor A;\nmetric a name 9bad;", "Metrics file m.ctl line 2: metric name 9bad is not valid"},
      {"cursor A;\nmetric a name;", "Metrics file m.ctl line 2: name needs a value"},
      {"cursor A;\nmetric a scale 0;", "Metrics file m.ctl line 2: scale 0 is not a positive number"},
      {"cursor A;\nmetric a help 'open;", "Metrics file m.ctl line 2: a quote is not closed"},
      {"cursor A;\nlabel a gauge;", "Metrics file m.ctl line 2: unexpected word gauge"},
      {"listen host:99999;", "Metrics file m.ctl line 1: listen address host:99999 is not HOST:PORT"},
      {"listen :80;", "Metrics file m.ctl line 1: listen address :80 is not HOST:PORT"},
      {"cursor A B;", "Metrics file m.ctl line 1: cursor takes one name"},
  };
  for (const Case& c : cases) {
    testing::LogCapture capture;
    MetricsConfig config;
    EXPECT_EQ(parse_metrics_text(c.text, "m.ctl", config), -1) << c.text;
    EXPECT_TRUE(capture.has("com0401", 'E', c.message)) << c.text << "\n" << capture.log();
  }
}

TEST(MetricsConfigTest, ListenAddressTakesHostAndPortOrAPort) {
  std::string host = "127.0.0.1";
  int port = 1;
  EXPECT_TRUE(parse_listen_address("9100", host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 9100);
  EXPECT_TRUE(parse_listen_address("0.0.0.0:80", host, port));
  EXPECT_EQ(host, "0.0.0.0");
  EXPECT_EQ(port, 80);
  EXPECT_TRUE(parse_listen_address("[::1]:9571", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 9571);
  for (const char* bad : {"", "0", "65536", "x:1x", "1.2.3.4:", "-5"})
    EXPECT_FALSE(parse_listen_address(bad, host, port)) << bad;
  EXPECT_EQ(port, 9571);
}

// ---- The exposition

ExportColumn sample(const char* column, const char* family, MetricType type = MetricType::kGauge) {
  ExportColumn c;
  c.column = column;
  c.role = ColumnRole::kSample;
  c.type = type;
  c.family = family;
  c.help = std::string("Help of ") + column;
  return c;
}

ExportColumn label(const char* column) {
  ExportColumn c;
  c.column = column;
  c.role = ColumnRole::kLabel;
  c.label = column;
  return c;
}

ProbeTable table(std::vector<ProbeColumn> columns, std::vector<std::vector<std::string>> rows) {
  return ProbeTable{"T", "", std::move(columns), std::move(rows)};
}

// The lines of `text` that start with `prefix`.
std::string lines_with(const std::string& text, const std::string& prefix) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    if (line.starts_with(prefix)) out += line + "\n";
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return out;
}

TEST(MetricsRenderTest, NumbersAreSamplesAndTextsLabelsWithHelpAndType) {
  const ExportCursor plan[] = {{"SESS", nullptr, {label("user"), sample("cpu", "qrx_sess_cpu")}}};
  ScrapeResult scrape;
  scrape.collector_up = true;
  scrape.rows.push_back(table({{"user", false}, {"cpu", true}}, {{"APP  ", "1.5"}, {"SYS", "2"}}));
  const std::string text = render_exposition(plan, scrape, ExpositionFormat::kPrometheus);
  EXPECT_EQ(lines_with(text, "qrx_sess") + lines_with(text, "# HELP qrx_sess") +
                lines_with(text, "# TYPE qrx_sess"),
            "qrx_sess_cpu{user=\"APP\"} 1.5\nqrx_sess_cpu{user=\"SYS\"} 2\n"
            "# HELP qrx_sess_cpu Help of cpu\n# TYPE qrx_sess_cpu gauge\n");
  EXPECT_EQ(lines_with(text, "qrx_up"), "qrx_up 1\n");
  EXPECT_EQ(lines_with(text, "qrx_cursor_up"), "qrx_cursor_up{cursor=\"SESS\"} 1\n");
}

TEST(MetricsRenderTest, LabelValuesAreEscapedAndMadeValidUtf8) {
  struct Case {
    std::string raw;
    std::string shown;
  };
  const Case cases[] = {
      {"back\\slash", "back\\\\slash"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"two\nlines", "two\\nlines"},
      {"tab\there", "tab\xEF\xBF\xBDhere"},
      {"bell\x07", "bell\xEF\xBF\xBD"},
      {"del\x7f", "del\xEF\xBF\xBD"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"bad\xC3", "bad\xEF\xBF\xBD"},
      {"bad\xFFtail", "bad\xEF\xBF\xBDtail"},
      {"overlong\xC0\xAF", "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate\xED\xA0\x80", "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {std::string("nul\0in", 6), "nul\xEF\xBF\xBDin"},
      {std::string("  padded\0\0", 10), "padded"},
  };
  for (const Case& c : cases) {
    const ExportCursor plan[] = {{"C", nullptr, {label("l"), sample("v", "qrx_c_v")}}};
    ScrapeResult scrape;
    scrape.rows.push_back(table({{"l", false}, {"v", true}}, {{c.raw, "1"}}));
    const std::string text = render_exposition(plan, scrape, ExpositionFormat::kPrometheus);
    EXPECT_EQ(lines_with(text, "qrx_c_v{"), "qrx_c_v{l=\"" + c.shown + "\"} 1\n") << c.raw;
  }
}

TEST(MetricsRenderTest, CountersEndInTotalAndOpenMetricsNamesTheFamilyWithout) {
  const ExportCursor plan[] = {{"DB", nullptr, {sample("commits", "qrx_commits", MetricType::kCounter),
                                                sample("odd", "qrx_odd", MetricType::kUntyped)}}};
  ScrapeResult scrape;
  scrape.rows.push_back(table({{"commits", true}, {"odd", true}}, {{"7", "1e400"}}));
  const std::string prom = render_exposition(plan, scrape, ExpositionFormat::kPrometheus);
  EXPECT_EQ(lines_with(prom, "# TYPE qrx_commits") + lines_with(prom, "qrx_commits") +
                lines_with(prom, "# TYPE qrx_odd") + lines_with(prom, "qrx_odd"),
            "# TYPE qrx_commits_total counter\nqrx_commits_total 7\n# TYPE qrx_odd untyped\n"
            "qrx_odd +Inf\n");
  EXPECT_FALSE(prom.ends_with("# EOF\n"));
  const std::string open = render_exposition(plan, scrape, ExpositionFormat::kOpenMetrics);
  EXPECT_EQ(lines_with(open, "# TYPE qrx_commits") + lines_with(open, "qrx_commits") +
                lines_with(open, "# TYPE qrx_odd"),
            "# TYPE qrx_commits counter\nqrx_commits_total 7\n# TYPE qrx_odd unknown\n");
  EXPECT_TRUE(open.ends_with("\n# EOF\n"));
}

TEST(MetricsRenderTest, HelpIsEscapedAsEachFormatRequires) {
  ExportColumn col = sample("v", "qrx_v");
  col.help = "a \\ b \"c\"\nd";
  const ExportCursor plan[] = {{"C", nullptr, {col}}};
  ScrapeResult scrape;
  scrape.rows.push_back(table({{"v", true}}, {{"1"}}));
  EXPECT_EQ(lines_with(render_exposition(plan, scrape, ExpositionFormat::kPrometheus), "# HELP qrx_v"),
            "# HELP qrx_v a \\\\ b \"c\"\\nd\n");
  EXPECT_EQ(lines_with(render_exposition(plan, scrape, ExpositionFormat::kOpenMetrics), "# HELP qrx_v"),
            "# HELP qrx_v a \\\\ b \\\"c\\\"\\nd\n");
}

TEST(MetricsRenderTest, NoneOrFailedCursorGivesNoSamplesAndCursorUpZero) {
  const ExportCursor plan[] = {{"GONE", nullptr, {sample("v", "qrx_gone_v")}},
                               {"HERE", nullptr, {sample("v", "qrx_here_v")}}};
  ScrapeResult scrape;
  scrape.collector_up = true;
  scrape.rows.emplace_back();
  scrape.rows.push_back(table({{"v", true}}, {{"3"}}));
  const std::string text = render_exposition(plan, scrape, ExpositionFormat::kPrometheus);
  EXPECT_EQ(lines_with(text, "qrx_gone"), "");
  EXPECT_EQ(lines_with(text, "qrx_here"), "qrx_here_v 3\n");
  EXPECT_EQ(lines_with(text, "qrx_cursor_up"),
            "qrx_cursor_up{cursor=\"GONE\"} 0\nqrx_cursor_up{cursor=\"HERE\"} 1\n");
}

TEST(MetricsRenderTest, RowsWithEqualLabelsGiveOneSampleAndScaleApplies) {
  ExportColumn mb = sample("mb", "qrx_bytes");
  mb.scale = 1024;
  const ExportCursor plan[] = {{"C", nullptr, {label("name"), mb}}};
  ScrapeResult scrape;
  scrape.rows.push_back(table({{"name", false}, {"mb", true}}, {{"a", "2"}, {"a", "5"}, {"b", "0.5"}}));
  EXPECT_EQ(lines_with(render_exposition(plan, scrape, ExpositionFormat::kPrometheus), "qrx_bytes{"),
            "qrx_bytes{name=\"a\"} 2048\nqrx_bytes{name=\"b\"} 512\n");
}

TEST(MetricsRenderTest, HealthComesFromTheStatusReplies) {
  ScrapeResult scrape;
  scrape.collector_up = true;
  scrape.cursors.push_back({"DBSTATS", 1700000000, 0, 2, 5, -7});
  scrape.distributors.push_back({"collector", "FAIL"});
  scrape.distributors.push_back({"rqs", "GOOD"});
  const std::string text = render_exposition({}, scrape, ExpositionFormat::kPrometheus);
  EXPECT_EQ(lines_with(text, "qrx_cursor_") + lines_with(text, "qrx_distributor_"),
            "qrx_cursor_last_run_timestamp_seconds{cursor=\"DBSTATS\"} 1700000000\n"
            "qrx_cursor_elapsed_seconds{cursor=\"DBSTATS\"} 2\n"
            "qrx_cursor_rows{cursor=\"DBSTATS\"} 5\n"
            "qrx_cursor_result_code{cursor=\"DBSTATS\"} -7\n"
            "qrx_distributor_status{distributor=\"collector\",status=\"FAIL\"} 1\n"
            "qrx_distributor_status{distributor=\"rqs\",status=\"GOOD\"} 1\n"
            "qrx_distributor_failed{distributor=\"collector\"} 1\n"
            "qrx_distributor_failed{distributor=\"rqs\"} 0\n");
}

TEST(MetricsRenderTest, ElapsedSecondsKeepTheirFraction) {
  ScrapeResult scrape;
  scrape.cursors.push_back({"FAST", 1700000000, 1700000000, 0.0125, 1, 0});
  scrape.cursors.push_back({"SLOW", 1700000000, 1700000003, 2.5, 1, 0});
  const std::string text = render_exposition({}, scrape, ExpositionFormat::kPrometheus);
  EXPECT_EQ(lines_with(text, "qrx_cursor_elapsed_seconds{"),
            "qrx_cursor_elapsed_seconds{cursor=\"FAST\"} 0.0125\n"
            "qrx_cursor_elapsed_seconds{cursor=\"SLOW\"} 2.5\n");
}

TEST(MetricsRenderTest, AcceptHeaderChoosesTheFormat) {
  EXPECT_EQ(format_for_accept(""), ExpositionFormat::kPrometheus);
  EXPECT_EQ(format_for_accept("text/plain;version=0.0.4;q=0.5,*/*;q=0.1"),
            ExpositionFormat::kPrometheus);
  EXPECT_EQ(format_for_accept("application/openmetrics-text;version=1.0.0,text/plain;q=0.5"),
            ExpositionFormat::kOpenMetrics);
  EXPECT_STREQ(exposition_content_type(ExpositionFormat::kOpenMetrics),
               "application/openmetrics-text; version=1.0.0; charset=utf-8");
}

TEST(MetricsRenderTest, NamePartsAreMadeValid) {
  EXPECT_EQ(metric_name_part("DBSTATS"), "dbstats");
  EXPECT_EQ(metric_name_part("%CURSOR"), "_cursor");
  EXPECT_EQ(metric_name_part("9lives"), "_9lives");
  EXPECT_EQ(metric_name_part("a-b.c"), "a_b_c");
  EXPECT_TRUE(valid_metric_name("qrx:x_1"));
  EXPECT_FALSE(valid_metric_name("1x"));
  EXPECT_FALSE(valid_metric_name("a-b"));
}

// ---- The plan and the exporter

class MetricsPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(parse_curs_text(defs_, "cursor SESS;\ninterval 5;\n"
                              "INSERT INTO s (sid, username, cpu_s, skip) VALUES "
                              "(:INT!sid, :username^8, :FLOAT!cpu_s, :NS!skip);\n"
                              "cursor DB;\ninterval 5;\n"
                              "INSERT INTO d (commits) VALUES (:INT64!commits);\nend;\n"),
              0)
        << capture_.log();
  }

  std::vector<ExportCursor> plan(const std::string& text, int expected = 0) {
    MetricsConfig config;
    EXPECT_EQ(parse_metrics_text(text, "m.ctl", config), 0) << capture_.log();
    std::vector<ExportCursor> out;
    EXPECT_EQ(build_export_plan(defs_, config, "m.ctl", out), expected) << capture_.log();
    return out;
  }

  Definitions defs_;
  testing::LogCapture capture_;
};

TEST_F(MetricsPlanTest, DefaultsAndMappingsSettleEachColumn) {
  const std::vector<ExportCursor> p =
      plan("cursor SESS;\nlabel sid;\nmetric cpu_s counter help 'CPU';\ncursor DB;\n"
           "metric commits name qrx_commits_total counter;\n");
  ASSERT_EQ(p.size(), 2u);
  ASSERT_EQ(p[0].columns.size(), 3u) << "the not-sent column is no column of the reply";
  EXPECT_EQ(p[0].columns[0].role, ColumnRole::kLabel);
  EXPECT_EQ(p[0].columns[0].label, "sid");
  EXPECT_EQ(p[0].columns[1].role, ColumnRole::kLabel);
  EXPECT_EQ(p[0].columns[2].role, ColumnRole::kSample);
  EXPECT_EQ(p[0].columns[2].family, "qrx_sess_cpu_s");
  EXPECT_EQ(p[0].columns[2].type, MetricType::kCounter);
  EXPECT_EQ(p[0].columns[2].help, "CPU");
  EXPECT_EQ(p[1].columns[0].family, "qrx_commits");
  EXPECT_EQ(p[1].columns[0].help, "Column commits of cursor DB");
}

TEST_F(MetricsPlanTest, UnknownCursorsColumnsAndRepeatedNamesAreRefused) {
  plan("cursor NOPE;\ncursor SESS;\nmetric nope;\ncursor DB;\nmetric commits name qrx_sess_cpu_s;\n"
       "cursor SESS;\n",
       -1);
  EXPECT_TRUE(capture_.has("com0402", 'E', "Metrics file m.ctl: cursor NOPE is not defined"));
  EXPECT_TRUE(capture_.has("com0403", 'E', "Metrics file m.ctl: cursor SESS has no column nope"));
  EXPECT_TRUE(capture_.has("com0404", 'E',
                           "Metrics file m.ctl: metric qrx_sess_cpu_s of cursor DB is given twice"));
  EXPECT_EQ(capture_.count("com0404"), 3) << "the second SESS block repeats sid and cpu_s";
}

TEST_F(MetricsPlanTest, HealthFamilyNamesAreNotTakenByMappings) {
  plan("cursor DB;\nmetric commits name qrx_up;\n", -1);
  EXPECT_TRUE(capture_.has("com0404", 'E', "Metrics file m.ctl: metric qrx_up of cursor DB is given twice"));
}

TEST(MetricsExampleTest, ExampleMetricsFilesMatchTheirCursorFiles) {
  for (const std::string example : {"demo", "postgresql"}) {
    testing::LogCapture capture;
    Definitions defs;
    const std::string dir = QRX_SOURCE_DIR "/examples/" + example + "/";
    // Cursors fed by fetch exits name dictionary elements.
    ASSERT_EQ(parse_dict_text(defs, testing::file_text(dir + "qrxdict.ctl")), 0) << example << capture.log();
    ASSERT_EQ(parse_curs_text(defs, testing::file_text(dir + "qrxcoll.ctl")), 0) << example << capture.log();
    MetricsConfig config;
    EXPECT_EQ(parse_metrics_text(testing::file_text(dir + "qrxmetr.ctl"), "qrxmetr.ctl", config), 0)
        << example << capture.log();
    std::vector<ExportCursor> plan;
    EXPECT_EQ(build_export_plan(defs, config, "qrxmetr.ctl", plan), 0) << example << capture.log();
    EXPECT_EQ(plan.size(), 4u) << example;
    EXPECT_EQ(config.port, kDefaultMetricsPort);
  }
}

// A stand-in collector: answers each request from `rows`, counts exchanges
// and the most exchanges ever in flight at once.
class FakeLink : public CollectorLink {
 public:
  std::optional<std::vector<CursList>> exchange(const std::string& requests,
                                                std::chrono::steady_clock::time_point,
                                                std::string& problem) override {
    const int now = ++in_flight_;
    int seen = most_in_flight_.load();
    while (now > seen && !most_in_flight_.compare_exchange_weak(seen, now)) {
    }
    {
      std::unique_lock<std::mutex> lock(gate_mutex_);
      asked.push_back(requests);
      gate_changed_.wait(lock, [&] { return gate_open_; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    --in_flight_;
    if (!up) {
      problem = "no collector is running (looked in /x)";
      return std::nullopt;
    }
    std::vector<CursList> blocks;
    for (const CursList& b : replies) blocks.push_back(b);
    return blocks;
  }
  int most_in_flight() const { return most_in_flight_; }
  // While the gate is closed, exchanges wait for it as for a stopped collector.
  void set_gate(bool open) {
    {
      const std::lock_guard<std::mutex> lock(gate_mutex_);
      gate_open_ = open;
    }
    gate_changed_.notify_all();
  }
  std::size_t exchanges_begun() {
    const std::lock_guard<std::mutex> lock(gate_mutex_);
    return asked.size();
  }

  bool up = true;
  int delay_ms = 0;
  std::vector<CursList> replies;
  std::vector<std::string> asked;

 private:
  std::atomic<int> in_flight_{0};
  std::atomic<int> most_in_flight_{0};
  std::mutex gate_mutex_;
  std::condition_variable gate_changed_;
  bool gate_open_ = true;
};

// A deadline no exchange of these tests comes near.
MetricsExporter::Clock::time_point later() {
  return MetricsExporter::Clock::now() + std::chrono::minutes(5);
}

CursList block(const std::string& name, int numrow, int lenrow, std::string data) {
  CursList b;
  b.name = name;
  b.numrow = numrow;
  b.lenrow = lenrow;
  b.data = std::move(data);
  return b;
}

// One DB row: commits as a little-endian int64.
std::string db_row(int64_t commits) {
  std::string row(8, '\0');
  std::memcpy(row.data(), &commits, 8);
  return row;
}

CursList cursor_status(const std::string& name, int32_t result_code) {
  curs c;
  c.name = name;
  c.result_code = result_code;
  c.rows = 1;
  const std::vector<char> record = cursor_status_record(c);
  return block("C-STATUS", 1, static_cast<int>(kCursorStatusSize),
               std::string(record.begin(), record.end()));
}

TEST_F(MetricsPlanTest, OneScrapeIsOneExchangeForEveryCursorAndBothStatusReplies) {
  auto link = std::make_unique<FakeLink>();
  FakeLink& fake = *link;
  fake.replies = {block("DB", 1, 8, db_row(1LL << 40)), block("SESS", 0, 0, ""),
                  cursor_status("DB", 0)};
  MetricsExporter exporter(plan("cursor SESS;\ncursor DB;\n"), std::move(link));
  const std::string text = exporter.scrape(ExpositionFormat::kPrometheus, later());
  ASSERT_EQ(fake.asked, std::vector<std::string>{"SESS DB C-STATUS D-STATUS"});
  EXPECT_EQ(lines_with(text, "qrx_db_") + lines_with(text, "qrx_sess_") +
                lines_with(text, "qrx_cursor_up") + lines_with(text, "qrx_up"),
            "qrx_db_commits 1099511627776\n"
            "qrx_cursor_up{cursor=\"SESS\"} 0\nqrx_cursor_up{cursor=\"DB\"} 1\nqrx_up 1\n");
}

TEST_F(MetricsPlanTest, ACursorWhoseLastStatementFailedGivesNoSamples) {
  auto link = std::make_unique<FakeLink>();
  link->replies = {block("DB", 1, 8, db_row(5)), cursor_status("DB", -1)};
  MetricsExporter exporter(plan("cursor DB;\n"), std::move(link));
  const std::string text = exporter.scrape(ExpositionFormat::kPrometheus, later());
  EXPECT_EQ(lines_with(text, "qrx_db_"), "");
  EXPECT_EQ(lines_with(text, "qrx_cursor_up"), "qrx_cursor_up{cursor=\"DB\"} 0\n");
  EXPECT_EQ(lines_with(text, "qrx_cursor_result_code"), "qrx_cursor_result_code{cursor=\"DB\"} -1\n");
}

TEST_F(MetricsPlanTest, UndecodableRowsAreToldAndGiveNoSamples) {
  auto link = std::make_unique<FakeLink>();
  link->replies = {block("DB", 1, 3, "abc")};
  MetricsExporter exporter(plan("cursor DB;\n"), std::move(link));
  const std::string text = exporter.scrape(ExpositionFormat::kPrometheus, later());
  EXPECT_EQ(lines_with(text, "qrx_cursor_up"), "qrx_cursor_up{cursor=\"DB\"} 0\n");
  EXPECT_TRUE(capture_.has("com0410", 'W',
                           "Rows of DB could not be decoded: row length 3 does not match the "
                           "columns of DB"))
      << capture_.log();
}

TEST_F(MetricsPlanTest, ACollectorThatDoesNotAnswerIsToldOncePerOutage) {
  auto link = std::make_unique<FakeLink>();
  FakeLink& fake = *link;
  fake.up = false;
  MetricsExporter exporter(plan("cursor DB;\n"), std::move(link));
  EXPECT_EQ(lines_with(exporter.scrape(ExpositionFormat::kPrometheus, later()), "qrx_up"), "qrx_up 0\n");
  EXPECT_FALSE(exporter.healthy(later()));
  exporter.scrape(ExpositionFormat::kPrometheus, later());
  EXPECT_EQ(capture_.count("com0409"), 1);
  EXPECT_TRUE(capture_.has("com0409", 'W',
                           "The collector did not answer: no collector is running (looked in /x)"));
  fake.up = true;
  EXPECT_TRUE(exporter.healthy(later()));
  EXPECT_EQ(lines_with(exporter.scrape(ExpositionFormat::kPrometheus, later()), "qrx_up"), "qrx_up 1\n");
  EXPECT_TRUE(capture_.has("com0411", 'I', "The collector answers again"));
}

TEST_F(MetricsPlanTest, ConcurrentScrapesNeverShareTheChannel) {
  auto link = std::make_unique<FakeLink>();
  FakeLink& fake = *link;
  fake.delay_ms = 20;
  fake.replies = {block("DB", 1, 8, db_row(5))};
  MetricsExporter exporter(plan("cursor DB;\n"), std::move(link));
  std::vector<std::thread> scrapers;
  for (int i = 0; i < 4; ++i)
    scrapers.emplace_back([&] {
      exporter.scrape(ExpositionFormat::kPrometheus, later());
      exporter.healthy(later());
    });
  for (std::thread& t : scrapers) t.join();
  // Those that came while an exchange ran shared it.
  EXPECT_GE(fake.asked.size(), 1u);
  EXPECT_LE(fake.asked.size(), 8u);
  EXPECT_EQ(fake.most_in_flight(), 1);
}

TEST_F(MetricsPlanTest, AStalledCollectorCostsScrapesTheirDeadlineAndOneSharedExchange) {
  auto link = std::make_unique<FakeLink>();
  FakeLink& fake = *link;
  fake.replies = {block("DB", 1, 8, db_row(5))};
  fake.set_gate(false);
  MetricsExporter exporter(plan("cursor DB;\n"), std::move(link));
  std::vector<std::string> answers(4);
  std::vector<std::thread> scrapers;
  for (std::string& answer : answers)
    scrapers.emplace_back([&] {
      answer = exporter.scrape(ExpositionFormat::kPrometheus,
                               MetricsExporter::Clock::now() + std::chrono::milliseconds(100));
    });
  for (std::thread& t : scrapers) t.join();
  EXPECT_FALSE(exporter.healthy(MetricsExporter::Clock::now() + std::chrono::milliseconds(100)));
  for (const std::string& answer : answers) EXPECT_EQ(lines_with(answer, "qrx_up"), "qrx_up 0\n");
  EXPECT_EQ(fake.exchanges_begun(), 1u);
  EXPECT_EQ(capture_.count("com0409"), 1);
  EXPECT_TRUE(capture_.has("com0409", 'W',
                           "The collector did not answer: no answer from the collector in time"));

  fake.set_gate(true);
  EXPECT_EQ(lines_with(exporter.scrape(ExpositionFormat::kPrometheus, later()), "qrx_up"),
            "qrx_up 1\n");
  EXPECT_TRUE(capture_.has("com0411", 'I', "The collector answers again"));
}

}  // namespace
}  // namespace qrx
