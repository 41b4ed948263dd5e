#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "base/env_vars.h"
#include "base/relative_time.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "qrx/distributor.h"
#include "support/ctl_text.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

// Local time of a date for the fixed clock.
std::time_t local(int year, int month, int day, int hour = 12) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class DistributorParserTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_trace_state(); }
  void TearDown() override { reset_trace_state(); }
  // Parses `text` with one statement per line ("; " starts a new line).
  int parse(const std::string& text) { return parse_distributor_text(defs, testing::one_statement_per_line(text)); }
  const distributor& named(const std::string& name) {
    for (const auto& d : defs.distrib_anchor)
      if (d->distrib_name == name) return *d;
    ADD_FAILURE() << "no distributor " << name;
    static const distributor none;
    return none;
  }
  // A minimal valid collector block followed by `more` and "end;".
  static std::string with_collector(const std::string& more) {
    return "process collector;\ntype local;\ninterval 60;\n" + more + "\nend;\n";
  }

  Definitions defs;
  testing::FixedClock clock{local(2026, 12, 10)};  // a Thursday
  testing::LogCapture log;
};

TEST_F(DistributorParserTest, RealisticFileBuildsEveryDistributor) {
  ASSERT_EQ(parse(";;the distributors of one collector\n"
                  "process collector;\n  type local;\n  logon_id monitor;\n  password pw;\n"
                  "  server_id ORCL;\n  interval 60;\n  continuous YES;\n  class 3;\n"
                  "  Mon_Fri_start 0800;\n  Mon_Fri_end 1800;\n  holiday 2026/12/25;\n"
                  "process historian;\n  type local;\n  interval 300;\n  hold NO;\n  class 1 2;\n"
                  "process evaluator;\n  type local;\n  interval 120;\n  send_false YES;\n"
                  "process rqs;\n  type sql*net;\n  server_id REMOTEDB01;\n  interval 1;\n"
                  "process nrqs;\n  type ctlib;\n  interval 30;\n  sleep 5;\n"
                  "end;\n"),
            0)
      << log.text();
  ASSERT_EQ(defs.distrib_anchor.size(), 5u);
  EXPECT_EQ(defs.distrib_anchor[0]->distrib_name, "collector");
  EXPECT_EQ(defs.distrib_anchor[4]->distrib_name, "nrqs");
  EXPECT_EQ(defs.collector_at, defs.distrib_anchor[0].get());
  EXPECT_TRUE(defs.have_evaluator);
  EXPECT_EQ(defs.sleep_time, 5);

  const distributor& c = named("collector");
  EXPECT_EQ(c.type, 1);
  EXPECT_EQ(c.logon_id, "monitor");
  EXPECT_EQ(c.password, "pw");
  EXPECT_EQ(c.server_id, "ORCL    ");
  EXPECT_EQ(c.interval, 60);
  EXPECT_EQ(c.continuous, 'Y');
  EXPECT_EQ(c.classes[0], 1);
  EXPECT_EQ(c.classes[3], 1);
  EXPECT_EQ(c.classes[4], 0);
  ASSERT_EQ(c.mon_fri.size(), 1u);
  EXPECT_EQ(c.mon_fri[0].start, 8 * 3600);
  EXPECT_EQ(c.mon_fri[0].end, 18 * 3600);
  ASSERT_EQ(c.saturday.size(), 1u);  // no windows: the whole day
  EXPECT_EQ(c.saturday[0].start, full_day.start);
  EXPECT_EQ(c.saturday[0].end, full_day.end);
  EXPECT_EQ(c.holidays[0], relative_date("20261225"));
  EXPECT_EQ(c.holidays[1], 0);
  EXPECT_EQ(c.state, 1);
  // The first window is today's, computed from the clock.
  EXPECT_EQ(secs_to_date(c.window_start), "20261210080000");
  EXPECT_EQ(secs_to_date(c.window_end), "20261210180000");

  EXPECT_EQ(named("historian").hold, 'N');
  EXPECT_EQ(named("historian").classes[1], 1);
  EXPECT_EQ(named("historian").classes[2], 1);
  EXPECT_EQ(named("historian").continuous, 0);
  EXPECT_EQ(named("evaluator").send_false, 1);
  EXPECT_EQ(named("rqs").type, 2);
  EXPECT_EQ(named("rqs").server_id, "REMOTEDB01");
  EXPECT_EQ(named("nrqs").type, 4);
  EXPECT_TRUE(log.has("ppc0881", 'i', "-- Starting parse of PROCESS.CTL -- Time = 2026/12/10 12:00:00"));
  EXPECT_TRUE(log.has("ppc1187", 'i', "--  Process Parsing ended at 2026/12/10 12:00:00"));
}

TEST_F(DistributorParserTest, KeywordsAreAllLowerOrAllUpperCaseOnly) {
  EXPECT_EQ(parse("PROCESS collector;\nTYPE LOCAL;\nINTERVAL 60;\nSATURDAY_START 0900;\n"
                  "SATURDAY_END 1000;\nEND;\n"),
            0)
      << log.text();
  ASSERT_EQ(defs.collector_at->saturday.size(), 1u);
  EXPECT_EQ(defs.collector_at->saturday[0].start, 9 * 3600);
  // The day-window words are written with a capital in their lower-case form.
  EXPECT_EQ(parse(with_collector("Sunday_start 0900;\nSunday_end 1000;")), 0) << log.text();
  EXPECT_EQ(defs.collector_at->sunday[0].end, 10 * 3600);

  EXPECT_EQ(parse(with_collector("sunday_start 0900;")), 1);
  EXPECT_TRUE(log.has("ppc0877", 'e', "Unknown keyword (sunday_start)"));
  EXPECT_EQ(parse(with_collector("Interval 60;")), 1);
  EXPECT_TRUE(log.has("ppc0877", 'e', "Unknown keyword (Interval)"));
  EXPECT_EQ(parse("Process collector;\ntype local;\ninterval 60;\nend;\n"), 1);
  EXPECT_TRUE(log.has("ppc0890", 'e', "First word must be 'process'"));
}

struct BadFile {
  const char* text;
  const char* id;
  const char* message;
};

class DistributorErrorTest : public DistributorParserTest,
                             public ::testing::WithParamInterface<BadFile> {};

TEST_P(DistributorErrorTest, IsReportedAndFailsTheParse) {
  const BadFile& bad = GetParam();
  EXPECT_EQ(parse(bad.text), 1) << bad.text << log.text();
  EXPECT_TRUE(log.has(bad.id, 'e', bad.message)) << log.text();
  EXPECT_EQ(defs.collector_at, nullptr);
}

constexpr const char* kHead = "process collector; type local; interval 60;\n";

const std::string kFiles[] = {
    "type local;\nend;\n",
    "process collector;\ninterval 60;\nend;\n",
    "process collector;\ntype local;\nend;\n",
    "process collector;\ntype sql*net;\ninterval 60;\nend;\n",
    "process;\nend;\n",
    "process abcdefghijklmnopqrstuvwxy;\nend;\n",
    std::string(kHead) + "process collector;\nend;\n",
    std::string(kHead) + "holiday 20270101;\nend;\n",
    std::string(kHead) + "holiday 027//01/01;\nend;\n",
    std::string(kHead) + "holiday 2027/13/01;\nend;\n",
    std::string(kHead) + "time_offset 0100;\ntime_offset 0200;\nend;\n",
    std::string(kHead) + "type dial;\nend;\n",
    "process collector; type remote; interval 60;\nend;\n",
    std::string(kHead) + "class 51;\nend;\n",
    std::string(kHead) + "class -1;\nend;\n",
    std::string(kHead) + "Mon_Fri_start 0800;\nMon_Fri_start 0900;\nend;\n",
    std::string(kHead) + "Mon_Fri_start 800;\nend;\n",
    std::string(kHead) + "Mon_Fri_end 1700;\nMon_Fri_end 1800;\nend;\n",
    std::string(kHead) + "Mon_Fri_end 17000;\nend;\n",
    std::string(kHead) + "Sunday_start 0800;\nSunday_start 0900;\nend;\n",
    std::string(kHead) + "Sunday_start 08;\nend;\n",
    std::string(kHead) + "Sunday_end 1700;\nSunday_end 1800;\nend;\n",
    std::string(kHead) + "Sunday_end 170;\nend;\n",
    std::string(kHead) + "Saturday_start 0800;\nSaturday_start 0900;\nend;\n",
    std::string(kHead) + "Saturday_start 08000;\nend;\n",
    std::string(kHead) + "Saturday_end 1700;\nSaturday_end 1800;\nend;\n",
    std::string(kHead) + "Saturday_end 1;\nend;\n",
    std::string(kHead) + "interval 30;\nend;\n",
    "process collector; type local; interval 86400;\nend;\n",
    std::string(kHead) + "sleep 10000;\nend;\n",
    std::string(kHead) + "server_id A;\nserver_id B;\nend;\n",
    std::string(kHead) + "server_id " + std::string(34, 's') + ";\nend;\n",
    std::string(kHead) + "password a;\npassword b;\nend;\n",
    std::string(kHead) + "password " + std::string(101, 'p') + ";\nend;\n",
    std::string(kHead) + "logon_id a;\nlogon_id b;\nend;\n",
    std::string(kHead) + "logon_id " + std::string(34, 'l') + ";\nend;\n",
    std::string(kHead) + "machine_id " + std::string(65, 'm') + ";\nend;\n",
    std::string(kHead) + "hold maybe;\nend;\n",
    "process collector; type local; interval 60; continuous sometimes;\nend;\n",
    std::string(kHead) + "process historian; interval 60; send_false YES;\nend;\n",
    std::string(kHead) + "process evaluator; interval 60; send_false perhaps;\nend;\n",
    std::string(kHead) + "interval (60;\nend;\n",
    std::string(kHead),
    "process historian; type local; interval 60;\nend;\n",
    std::string(kHead) + "process historian; interval 60; continuous YES;\nend;\n",
    "process collector; type local;\ninterval 60 ;\nsleep 0;\nend;\n",
};

INSTANTIATE_TEST_SUITE_P(
    Messages, DistributorErrorTest,
    ::testing::Values(
        BadFile{kFiles[0].c_str(), "ppc0890", "First word must be 'process'"},
        BadFile{kFiles[1].c_str(), "ppc0900", "No Process type specified"},
        BadFile{kFiles[2].c_str(), "ppc0915", "No Process interval specified"},
        BadFile{kFiles[3].c_str(), "ppc0920", "Server_id required for sql*net"},
        BadFile{kFiles[4].c_str(), "ppc0940", "No Process name supplied"},
        BadFile{kFiles[5].c_str(), "ppc0945", "Process name exceeeds 24 characters"},
        BadFile{kFiles[6].c_str(), "ppc0950", "Duplicate process name: collector"},
        BadFile{kFiles[7].c_str(), "ppc0970", "Invalid holiday date format (YYYY/MM/DD) "},
        BadFile{kFiles[8].c_str(), "ppc0975", "Invalid holiday date length (10)"},
        BadFile{kFiles[9].c_str(), "ppc0970", "Invalid holiday date format (YYYY/MM/DD) "},
        BadFile{kFiles[10].c_str(), "ppc0990", "Duplicate time_offset"},
        BadFile{kFiles[11].c_str(), "ppc0995", "Duplicate type specification"},
        BadFile{kFiles[12].c_str(), "ppc1000", "Unrecognized type:remote"},
        BadFile{kFiles[13].c_str(), "ppc1010", "Class exceeds range"},
        BadFile{kFiles[14].c_str(), "ppc1010", "Class exceeds range"},
        BadFile{kFiles[15].c_str(), "ppc1020", "Duplicate mon_fri_start specification"},
        BadFile{kFiles[16].c_str(), "ppc1025", "Incorrect length for mon_fri_start (4)"},
        BadFile{kFiles[17].c_str(), "ppc1030", "Duplicate mon_fri_end specification"},
        BadFile{kFiles[18].c_str(), "ppc1035", "Incorrect length for mon_fri_end (4)"},
        BadFile{kFiles[19].c_str(), "ppc1040", "Duplicate sunday_start specification"},
        BadFile{kFiles[20].c_str(), "ppc1045", "Incorrect length for sunday_start (4)"},
        BadFile{kFiles[21].c_str(), "ppc1050", "Duplicate sunday_end specification"},
        BadFile{kFiles[22].c_str(), "ppc1055", "Incorrect length for sunday_end (4)"},
        BadFile{kFiles[23].c_str(), "ppc1060", "Duplicate saturday_start specification"},
        BadFile{kFiles[24].c_str(), "ppc1065", "Incorrect length for saturday_start (4)"},
        BadFile{kFiles[25].c_str(), "ppc1070", "Duplicate saturday_end specification"},
        BadFile{kFiles[26].c_str(), "ppc1075", "Incorrect length for saturday_end (4)"},
        BadFile{kFiles[27].c_str(), "ppc1080", "Duplicate interval"},
        BadFile{kFiles[28].c_str(), "ppc1085", "Invalid interval length (5)"},
        BadFile{kFiles[29].c_str(), "ppc1090", "Invalid sleep length (5)"},
        BadFile{kFiles[30].c_str(), "ppc1095", "Duplicate server_id specification"},
        BadFile{kFiles[31].c_str(), "ppc1100", "Excessive length for server_id"},
        BadFile{kFiles[32].c_str(), "ppc1105", "Duplicate password specification"},
        BadFile{kFiles[33].c_str(), "ppc1110", "Excessive length for password"},
        BadFile{kFiles[34].c_str(), "ppc1115", "Duplicate logon_id specification"},
        BadFile{kFiles[35].c_str(), "ppc1120", "Excessive length for logon_id"},
        BadFile{kFiles[36].c_str(), "ppc1125", "Excessive length for Machine_id"},
        BadFile{kFiles[37].c_str(), "ppc1155", "Hold is not YES/NO"},
        BadFile{kFiles[38].c_str(), "ppc1165", "Continuous is not YES/NO"},
        BadFile{kFiles[39].c_str(), "ppc1170", "Send_false is valid only for the evaluator"},
        BadFile{kFiles[40].c_str(), "ppc1175", "Send_false is not YES/NO"},
        BadFile{kFiles[41].c_str(), "ppc1180", "Parentheses do not balance"},
        BadFile{kFiles[42].c_str(), "ppc1185", "Missing end statement"},
        BadFile{kFiles[43].c_str(), "ppc1230", "Must have a process named 'collector'"},
        BadFile{kFiles[44].c_str(), "ppc1160", "Continuous is valid only at the collector"},
        BadFile{kFiles[45].c_str(), "ppc1190", "Invalid number (0) for sleep"}));

TEST_F(DistributorParserTest, ClauseErrorsAreAllListedInOneRun) {
  EXPECT_EQ(parse(with_collector("hold maybe;\nclass 77;\nsleep 123456;")), 1);
  EXPECT_EQ(log.count("ppc1155"), 1);
  EXPECT_EQ(log.count("ppc1010"), 1);
  EXPECT_EQ(log.count("ppc1090"), 1);
  EXPECT_TRUE(log.has("ppc1195", 'e', "Parsing ended with errors"));
  EXPECT_TRUE(defs.distrib_anchor.empty() || defs.collector_at == nullptr);
}

TEST_F(DistributorParserTest, MinimalCollectorParsesAndSqlNetNeedsAServer) {
  EXPECT_EQ(parse("process collector; type LOCAL; interval 60; end;"), 0) << log.text();
  EXPECT_EQ(parse("process collector; type sql*net; interval 60; end;"), 1);
  EXPECT_EQ(parse("process collector; type SQL*NET; server_id db1; interval 60; end;"), 0)
      << log.text();
  EXPECT_EQ(defs.collector_at->type, 2);
}

TEST_F(DistributorParserTest, TimeOffsetShiftsTheWindowsReadAfterIt) {
  ASSERT_EQ(parse("process collector; type local; interval 60;\n"
                  "Saturday_start 0800; Saturday_end 1200;\n"
                  "time_offset -130;\nMon_Fri_start 0800; Mon_Fri_end 1700;\nend;\n"),
            0)
      << log.text();
  EXPECT_EQ(defs.collector_at->time_offset, -5400);
  EXPECT_EQ(defs.collector_at->mon_fri[0].start, 28800 + 5400);
  EXPECT_EQ(defs.collector_at->mon_fri[0].end, 17 * 3600 + 5400);
  EXPECT_EQ(defs.collector_at->saturday[0].start, 28800);  // read before the offset
  EXPECT_TRUE(log.has("ppc1210", 'w', "Caution! - collector has a time offset"));
}

TEST_F(DistributorParserTest, RepeatedClassWarnsOnceAndStaysEnabled) {
  ASSERT_EQ(parse(with_collector("class 3;\nclass 3;\nclass 0;")), 0) << log.text();
  EXPECT_EQ(log.count("ppc1015"), 1);
  EXPECT_TRUE(log.has("ppc1015", 'w', "Warning - Class repeditively specified"));
  EXPECT_EQ(defs.collector_at->classes[3], 1);
  EXPECT_EQ(defs.collector_at->classes[0], 1);
}

TEST_F(DistributorParserTest, PastHolidayIsOnlyACommentAndNotStored) {
  ASSERT_EQ(parse(with_collector("holiday 2001/01/01;\nholiday 2026/12/10;")), 0) << log.text();
  EXPECT_TRUE(log.has("ppc0980", 'w', "Comment: Holiday is in the past"));
  EXPECT_EQ(defs.collector_at->holidays[0], relative_date("20261210"));  // today counts
  EXPECT_EQ(defs.collector_at->holidays[1], 0);
}

TEST_F(DistributorParserTest, HundredAndFirstHolidayIsRejected) {
  std::string holidays;
  for (int32_t day = relative_date("20270101"); day < relative_date("20270101") + 100; ++day) {
    const std::string d = real_date(day);
    holidays += "holiday " + d.substr(0, 4) + "/" + d.substr(4, 2) + "/" + d.substr(6, 2) + ";\n";
  }
  ASSERT_EQ(parse(with_collector(holidays)), 0) << log.text();
  EXPECT_EQ(defs.collector_at->holidays[99], relative_date("20270101") + 99);
  EXPECT_EQ(parse(with_collector(holidays + "holiday 2028/01/01;")), 1);
  EXPECT_TRUE(log.has("ppc0985", 'e', "Exceeded 50 holidays"));
}

TEST_F(DistributorParserTest, MissingLogonAndPasswordAreTracedOnlyWithSlotZero) {
  ASSERT_EQ(parse(with_collector("")), 0);
  EXPECT_EQ(log.count("ppc0905"), 0);
  my_trace_all[0] = 1;
  ASSERT_EQ(parse(with_collector("")), 0);
  EXPECT_TRUE(log.has("ppc0905", 't', "No Process logon id specified"));
  EXPECT_TRUE(log.has("ppc0910", 't', "No Process password specified"));
}

TEST_F(DistributorParserTest, MachineIdFillsTheMachineIdentity) {
  ASSERT_EQ(parse(with_collector("machine_id host-7.example;")), 0) << log.text();
  EXPECT_TRUE(defs.machine_id_from_control);
  const std::string id(machine_id.hostname, sizeof machine_id.hostname);
  EXPECT_EQ(id, "host-7.example" + std::string(64 - 14, ' '));
}

TEST_F(DistributorParserTest, PasswordNeverReachesTheLogOrTheListing) {
  trace_set("dzzzzzzzzzz");
  ASSERT_NE(trace_all, 0);
  const std::string secret = "Zq'9*s=cr(et";
  ASSERT_EQ(parse("process collector;\ntype local;\nlogon_id mon;\npassword " + secret +
                  ";\ninterval 60;\nprocess historian; type local; interval 60; password\n" +
                  secret + "x;\nend;\n"),
            0)
      << log.text();
  EXPECT_EQ(defs.collector_at->password, secret);
  show_processes(defs);
  const std::string text = log.text();
  EXPECT_EQ(text.find("cr(et"), std::string::npos) << text;
  EXPECT_TRUE(log.has("psp1410", 't', "Password = ***"));
  EXPECT_TRUE(log.has("psp1380", 't', "Process name:collector"));
  EXPECT_TRUE(log.has("ppc0870", 'i', "password ***;"));
}

}  // namespace
}  // namespace qrx
