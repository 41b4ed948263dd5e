#include "base/log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "base/env_vars.h"
#include "base/trace.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

using testing::file_text;
using testing::FixedClock;
using testing::LogCapture;
using testing::TempDir;

constexpr std::time_t kNow = 1765330271;  // a fixed instant; shown in local time

// "HHMMSS" of kNow in local time, as message prefixes show it.
std::string now_hms() {
  std::tm tm{};
  localtime_r(&kNow, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%H%M%S", &tm);
  return text;
}

// `pattern` with every "{t}" replaced by the prefix time.
std::string with_time(std::string pattern) {
  for (std::size_t at; (at = pattern.find("{t}")) != std::string::npos;)
    pattern.replace(at, 3, now_hms());
  return pattern;
}

// Keeps the trace switches, settings and counters that tests change.
class LogStateGuard {
 public:
  LogStateGuard() : env_(env_vars), collectors_(NumberOfCollectors) {
    std::copy(std::begin(my_trace_all), std::end(my_trace_all), slots_.begin());
    trace_all_ = trace_all;
    trace_something_ = trace_something;
    reset_trace_state();
  }
  ~LogStateGuard() {
    env_vars = env_;
    NumberOfCollectors = collectors_;
    std::copy(slots_.begin(), slots_.end(), std::begin(my_trace_all));
    trace_all = trace_all_;
    trace_something = trace_something_;
    unsetenv("COLL_NUMOUTBAK");
    unsetenv("COLL_WRAPLINES");
  }

 private:
  EnvVars env_;
  int collectors_;
  std::array<int16_t, my_trace_all_l + 1> slots_{};
  int16_t trace_all_, trace_something_;
};

class MessageTest : public ::testing::Test {
 protected:
  LogStateGuard guard_;
  FixedClock clock_{kNow};
  LogCapture cap_;
};

// ---- severities -------------------------------------------------------------

struct SeverityCase {
  char severity;
  const char* id;
  bool slot0;
  const char* line;  // expected text in the log ("{t}" = time); null: nothing written
  bool echo;
};

// Every line reaches the file when it is written, whatever its severity: a
// line left in a buffer could later reach a full disk in part.
TEST_F(MessageTest, SeverityTableDecidesLetterAndEchoAndEveryLineIsOnDisk) {
  const SeverityCase cases[] = {
      {'a', "abc0001", false, "ABC0001I ({t}) hello\n", true},
      {'A', "abc0001", false, "ABC0001I ({t}) hello\n", true},
      {'e', "abc0001", false, "ABC0001E ({t}) hello\n", true},
      {'s', "abc0001", false, "ABC0001S ({t}) hello\n", true},
      {'i', "abc0001", false, "ABC0001I ({t}) hello\n", false},
      {'w', "abc0001", false, "ABC0001W ({t}) hello\n", false},
      {'t', "abc0001", false, "ABC0001T ({t}) hello\n", false},
      {'h', "abc0001", true, "ABC0001T ({t}) hello\n", false},
      {'h', "abc0001", false, nullptr, false},
      {'-', "abc0001", false, "hello\n", false},
      {'\0', "abc0001", false, "hello\n", false},
      {'q', "abc0001", false, "ABC0001Q ({t}) hello\n", true},
      {'i', ".cont: ", false, "CONT: hello\n", false},
      {'e', ".", false, "hello\n", true},
      {'i', " abc0001", false, "hello\n", false},
      {'i', "", false, "hello\n", false},
      {'i', nullptr, false, "hello\n", false},
  };
  for (const SeverityCase& c : cases) {
    SCOPED_TRACE(std::string("severity '") + c.severity + "' id " + (c.id ? c.id : "(null)"));
    LogCapture cap;
    my_trace_all[0] = c.slot0 ? 1 : 0;
    const int written = PRINT(c.severity, c.id, "%s", "hello\n");
    const std::string line = c.line ? with_time(c.line) : "";
    EXPECT_EQ(cap.log_on_disk(), line);
    EXPECT_EQ(cap.log(), line);
    EXPECT_EQ(cap.err(), c.echo ? line : "");
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(written, c.line ? static_cast<int>(line.size()) : 1);
  }
}

TEST_F(MessageTest, QuietNoticesKeepOnlyWarningsAndWorse) {
  const struct {
    char severity;
    bool kept;
  } cases[] = {{'a', false}, {'i', false}, {'t', false}, {'h', false},
               {'w', true},  {'e', true},  {'s', true}};
  my_trace_all[0] = 1;  // 'h' would be written
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("severity ") + c.severity);
    LogCapture cap;
    set_quiet_notices(true);
    const int printed = PRINT(c.severity, "abc0001", "by PRINT\n");
    const int messaged = u_msg(nullptr, nullptr, 0, std::string(1, c.severity).c_str(), "abc0002",
                               "by u_msg");
    set_quiet_notices(false);
    EXPECT_EQ(cap.count("abc0001"), c.kept ? 1 : 0);
    EXPECT_EQ(cap.count("abc0002"), c.kept ? 1 : 0);
    if (!c.kept) {
      EXPECT_EQ(printed + messaged, 2);  // nothing written
    }
  }
  LogCapture cap;
  PRINT('i', "abc0003", "notices are back\n");
  EXPECT_EQ(cap.count("abc0003"), 1);
}

TEST_F(MessageTest, AtSeveritySetsThePrefixOfStandardOutputLines) {
  LogCapture no_log(false);
  EXPECT_EQ(PRINT('@', "pfx> ", "ignored %d", 1), 0);
  PRINT('i', "abc0001", "to stdout\n");
  PRINT('@', "", "x");
  PRINT('i', "abc0002", "plain\n");
  EXPECT_EQ(no_log.out(),
            with_time("pfx> ABC0001I ({t}) to stdout\nABC0002I ({t}) plain\n"));
  EXPECT_EQ(no_log.err(), "");
}

TEST_F(MessageTest, WithoutALogEchoedMessagesGoOnlyToStandardError) {
  LogCapture no_log(false);
  PRINT('i', "abc0001", "info\n");
  PRINT('e', "abc0002", "error\n");
  EXPECT_EQ(no_log.out(), with_time("ABC0001I ({t}) info\n"));
  EXPECT_EQ(no_log.err(), with_time("ABC0002E ({t}) error\n"));
}

TEST_F(MessageTest, FailedLogWriteIsCopiedToStandardErrorMarked) {
  LogCapture no_log(false);
  stder = std::fopen("/dev/null", "r");  // every write fails
  ASSERT_NE(stder, nullptr);
  EXPECT_EQ(PRINT('i', "abc0001", "lost?\n"), 1);
  EXPECT_EQ(no_log.err(), with_time("+ ABC0001I ({t}) lost?\n"));
}

TEST_F(MessageTest, EmptyFormattingResultIsReplacedByErrorText) {
  PRINT('i', "abc0001", "%s", "");
  EXPECT_EQ(cap_.log(), with_time("ABC0001I ({t})  *** vsprintf error **** "));
}

// ---- u_msg --------------------------------------------------------------------

struct MsgCase {
  const char* options;
  const char* caller;
  int slot;       // trace slot switched on, -1 none
  int collectors;
  const char* format;
  const char* line;  // null: nothing written
  bool echo;
  int result;        // expected result when nothing is written
};

TEST_F(MessageTest, UMsgOptionsShapeThePrefix) {
  const MsgCase cases[] = {
      {nullptr, nullptr, -1, 1, "hello", "ABC0001T ({t}) READER.CC(42) hello\n", false, 0},
      {"i", nullptr, -1, 1, "hello\n", "ABC0001I READER.CC(42) hello\n", false, 0},
      {"iu", nullptr, -1, 1, "hello", "abc0001I reader.cc(42) hello\n", false, 0},
      {"iP", nullptr, -1, 1, "hello", "ABC0001I hello\n", false, 0},
      {"ipPp", nullptr, -1, 1, "hello", "ABC0001I READER.CC(42) hello\n", false, 0},
      {"it", nullptr, -1, 1, "hello", "ABC0001I ({t}) READER.CC(42) hello\n", false, 0},
      {"tTP", nullptr, -1, 1, "hello", "ABC0001T hello\n", false, 0},
      {"iH", nullptr, -1, 1, "hello", "hello\n", false, 0},
      {"eL", nullptr, -1, 1, "hello", "ABC0001E READER.CC(42) hello\n", false, 0},
      {"il", nullptr, -1, 1, "hello", "ABC0001I READER.CC(42) hello\n", true, 0},
      {"a", nullptr, -1, 1, "hello", "ABC0001I READER.CC(42) hello\n", true, 0},
      {"i-", nullptr, -1, 1, "hello", nullptr, false, 0},
      {"h", nullptr, -1, 1, "hello", nullptr, false, 1},
      {"h3", nullptr, 0, 1, "hello", nullptr, false, 1},
      {"h3P", nullptr, 3, 1, "hello", "ABC0001T ({t}) hello\n", false, 0},
      {"iP", "coll2", -1, 2, "hello", "ABC0001I COLL2 hello\n", false, 0},
      {"iP", "coll2", 6, 1, "hello", "ABC0001I COLL2 hello\n", false, 0},
      {"iP", "coll2", -1, 1, "hello", "ABC0001I hello\n", false, 0},
      {"X", nullptr, -1, 1, "XYZ0009E finished %d", "XYZ0009E finished %d\n", true, 0},
      {"X", nullptr, -1, 1, "short", "short\n", false, 0},
  };
  for (const MsgCase& c : cases) {
    SCOPED_TRACE(std::string("options ") + (c.options ? c.options : "(null)"));
    LogCapture cap;
    reset_trace_state();
    if (c.slot >= 0) my_trace_all[c.slot] = 1;
    NumberOfCollectors = c.collectors;
    const int written = u_msg(c.caller, "/src/ctl/reader.cc", 42, c.options, "abc0001", c.format);
    const std::string line = c.line ? with_time(c.line) : "";
    EXPECT_EQ(cap.log(), line);
    EXPECT_EQ(cap.err(), c.echo ? line : "");
    EXPECT_EQ(written, c.line ? static_cast<int>(line.size()) : c.result);
  }
}

TEST_F(MessageTest, UMsgFlushOptionsAreTakenAndEveryLineIsOnDisk) {
  u_msg(nullptr, nullptr, 0, "eF", "abc0001", "not kept in a buffer");
  EXPECT_EQ(cap_.log_on_disk(), "ABC0001E not kept in a buffer\n");
  u_msg(nullptr, nullptr, 0, "if", "abc0002", "flushed");
  EXPECT_EQ(cap_.log_on_disk(), "ABC0001E not kept in a buffer\nABC0002I flushed\n");
}

TEST_F(MessageTest, UMsgAtSeveritySetsPrefix) {
  EXPECT_EQ(u_msg(nullptr, nullptr, 0, "@", "pfx ", "x"), 0);
  EXPECT_EQ(msgPrefix, "pfx ");
  EXPECT_EQ(cap_.log(), "");
}

// ---- whole lines on a full disk ------------------------------------------------

// Limits the size of every file this process writes to `bytes` until the end
// of the scope: the kernel then takes only the part of a write below the
// limit, as a filling disk does.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, saved_handler_);
  }

 private:
  rlimit saved_{};
  void (*saved_handler_)(int);
};

TEST_F(MessageTest, LineThatDoesNotFitIsLeftOutWholeAndTheNextStartsItsOwnLine) {
  // Longer than what standard error receives below, which the limit holds too.
  PRINT('i', "abc0001", "before the disk filled %s\n", std::string(200, '.').c_str());
  const std::string before = cap_.log();
  {
    FileSizeLimit full(before.size() + 10);
    EXPECT_EQ(PRINT('i', "abc0002", "only part of this fits\n"), 1);
    EXPECT_EQ(PRINT('e', "abc0003", "nor does this one\n"), 1);
  }
  PRINT('i', "abc0004", "after space was made\n");
  EXPECT_EQ(cap_.log(), before + with_time("ABC0004I ({t}) after space was made\n"));
  EXPECT_EQ(cap_.err(), with_time("+ ABC0002I ({t}) only part of this fits\n"
                                  "+ ABC0003E ({t}) nor does this one\n"));
}

// Lines written through half_then_whole so far.
int lines_written = 0;

// Writes half of the first line it is given, then whole lines.
ssize_t half_then_whole(int fd, const void* data, size_t size) {
  return ::write(fd, data, lines_written++ == 0 ? size / 2 : size);
}

TEST_F(MessageTest, CutLineOnAPipeIsEndedBeforeTheNextLine) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::FILE* to_pipe = fdopen(ends[1], "w");
  LogCapture no_log(false);
  set_std_streams(to_pipe, no_log.err_stream());
  lines_written = 0;
  set_line_writer(&half_then_whole);
  PRINT('i', "abc0001", "0123456789\n");
  PRINT('i', "abc0002", "next\n");
  set_line_writer(nullptr);
  set_std_streams(no_log.out_stream(), no_log.err_stream());
  std::fclose(to_pipe);
  std::string piped;
  char buffer[256];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) piped.append(buffer, static_cast<size_t>(n));
  ::close(ends[0]);
  const std::string first = with_time("ABC0001I ({t}) 0123456789\n");
  EXPECT_EQ(piped, first.substr(0, first.size() / 2) + "\n" + with_time("ABC0002I ({t}) next\n"));
  EXPECT_EQ(no_log.err(), "+ " + first);
}

TEST(MessageDeathTest, StarOptionAbortsAfterWritingTheMessage) {
  close_PRINT();
  EXPECT_DEATH(u_msg(nullptr, nullptr, 0, "e*P", "abc0001", "fatal"), "ABC0001E fatal");
}

// ---- the log file -------------------------------------------------------------

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_vars.coll_out = dir_.path();
    env_vars.hostname = "H";
    env_vars.db_type = "xpa";
    env_vars.serverid = "S";
  }
  std::string log_path(const char* base = "col.out") const {
    return dir_.file(std::string("H_pa_S_") + base);
  }
  // Backup `k` of `path`: its last character replaced by k.
  static std::string backup(const std::string& path, int k) {
    return path.substr(0, path.size() - 1) + std::to_string(k);
  }
  static bool exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
  }

  LogStateGuard guard_;
  FixedClock clock_{kNow};
  TempDir dir_;
  LogCapture cap_{false};
};

TEST_F(LogFileTest, NameIsBuiltFromTheSettingsThatAreSet) {
  EXPECT_EQ(u_createOutputFileName("col.out"), dir_.path() + "/H_pa_S_col.out");
  EXPECT_EQ(u_createOutputFileName(""), dir_.path() + "/H_pa_S_col.out");
  env_vars.hostname.clear();
  env_vars.db_type = "x";  // nothing left after its first character
  EXPECT_EQ(u_createOutputFileName("col.log"), dir_.path() + "/S_col.log");
  env_vars = EnvVars{};
  EXPECT_EQ(u_createOutputFileName("col.out"), "col.out");
}

struct BackupCase {
  const char* numoutbak;  // null: unset
  bool slot4;
  int kept;
};

class LogBackupTest : public LogFileTest, public ::testing::WithParamInterface<BackupCase> {};

TEST_P(LogBackupTest, RotationKeepsTheConfiguredNumberOfBackups) {
  const BackupCase& c = GetParam();
  if (c.numoutbak) setenv("COLL_NUMOUTBAK", c.numoutbak, 1);
  my_trace_all[4] = c.slot4 ? 1 : 0;
  const int generations = c.kept + 3;
  for (int g = 1; g <= generations; ++g) {
    ASSERT_NE(u_openPRINTfile("col.out"), nullptr);
    PRINT('-', nullptr, "generation %d\n", g);
    close_PRINT();
  }
  const std::string log = log_path();
  EXPECT_EQ(file_text(log), "generation " + std::to_string(generations) + "\n");
  for (int k = 1; k <= c.kept; ++k)
    EXPECT_EQ(file_text(backup(log, k)), "generation " + std::to_string(generations - k) + "\n")
        << "backup " << k;
  EXPECT_FALSE(exists(backup(log, c.kept + 1)));
}

INSTANTIATE_TEST_SUITE_P(Counts, LogBackupTest,
                         ::testing::Values(BackupCase{nullptr, false, 1},
                                           BackupCase{nullptr, true, 5},
                                           BackupCase{"-20", false, 20},
                                           BackupCase{"15", false, 9},
                                           BackupCase{"-3", false, 0},
                                           BackupCase{"0", false, 0},
                                           BackupCase{"4", false, 4}));

TEST_F(LogFileTest, LogWrapsAtTheLineLimitIntoABackup) {
  setenv("COLL_WRAPLINES", "3", 1);
  ASSERT_NE(u_openPRINTfile("col.out"), nullptr);
  for (int i = 1; i <= 4; ++i) PRINT('i', "abc0001", "line %d\n", i);
  std::fflush(stder);
  const std::string old_log = file_text(backup(log_path(), 1));
  EXPECT_EQ(old_log, with_time("ABC0001I ({t}) line 1\nABC0001I ({t}) line 2\n"));
  const std::string log = file_text(log_path());
  EXPECT_TRUE(log.starts_with("       File wrapped -- ")) << log;
  EXPECT_NE(log.find(with_time("\nABC0001I ({t}) line 3\nABC0001I ({t}) line 4\n")),
            std::string::npos)
      << log;
}

TEST_F(LogFileTest, ZeroWrapLimitNeverWraps) {
  setenv("COLL_WRAPLINES", "0", 1);
  ASSERT_NE(u_openPRINTfile("col.out"), nullptr);
  for (int i = 0; i < 100; ++i) PRINT('i', "abc0001", "line %d\n", i);
  std::fflush(stder);
  EXPECT_FALSE(exists(backup(log_path(), 1)));
  EXPECT_EQ(file_text(log_path()).find("File wrapped"), std::string::npos);
}

TEST_F(LogFileTest, UnwritableDirectoryLeavesMessagesOnStandardOutput) {
  const std::string not_a_dir = dir_.file("plain");
  std::fclose(std::fopen(not_a_dir.c_str(), "w"));
  env_vars.coll_out = not_a_dir;
  init_PRINT();
  EXPECT_EQ(stder, nullptr);
  EXPECT_EQ(log_file_name(), "");
  const std::string out = cap_.out();
  EXPECT_TRUE(out.starts_with("CAT1995E - Can't open message ouput file: " + not_a_dir +
                              "/H_pa_S_col.out\n"))
      << out;
  EXPECT_EQ(out.find("CAT1995E", 1), std::string::npos);  // the "colx.out" retry is silent
  EXPECT_NE(out.find(with_time("CAT2035I ({t}) Time = ")), std::string::npos);
  const std::string err = cap_.err();
  EXPECT_NE(err.find(with_time("CAT2014E ({t}) '.out' open error all messages will go to stdout\n")),
            std::string::npos);
  EXPECT_NE(err.find("CAT2015I"), std::string::npos);
  PRINT('i', "abc0001", "still here\n");
  EXPECT_NE(cap_.out().find("ABC0001I"), std::string::npos);
}

TEST_F(LogFileTest, FirstOpenFailureRetriesWithColxOut) {
  setenv("COLL_NUMOUTBAK", "0", 1);
  ASSERT_EQ(::mkdir(log_path().c_str(), 0755), 0);  // a directory cannot be opened for writing
  ASSERT_NE(u_openPRINTfile("col.out"), nullptr);
  EXPECT_EQ(log_file_name(), log_path("colx.out"));
  EXPECT_NE(cap_.out().find("CAT1995E"), std::string::npos);
}

TEST_F(LogFileTest, HeaderHasBannerTimeAndVersionTable) {
  init_PRINT();
  ASSERT_NE(stder, nullptr);
  EXPECT_EQ(log_file_name(), log_path());
  std::fflush(stder);
  const std::string log = file_text(log_path());
  for (const char* id : {"CAT2015I", "CAT2020I", "CAT2025I", "CAT2030I"})
    EXPECT_NE(log.find(id), std::string::npos) << id;
  std::tm tm{};
  localtime_r(&kNow, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S", &tm);
  EXPECT_NE(log.find(with_time("CAT2035I ({t}) Time = ") + when + "\n"), std::string::npos);
  EXPECT_NE(log.find("USH0100I (" + now_hms() +
                     ") program            vv check_in_date_time  devid compile__date_time stamp\n"),
            std::string::npos);
  const std::regex row(R"(USH0100I \(\d{6}\) qrxlog {7}   1\.0\.0 \d\d[A-Z][a-z]{2}\d{4} \d\d:\d\d:\d\d +\w+ \d\d[A-Z][a-z]{2}\d{4} \d\d:\d\d:\d\d .+\n)");
  EXPECT_TRUE(std::regex_search(log, row)) << log;
  EXPECT_NE(cap_.err().find("CAT2015I"), std::string::npos);  // banner lines are echoed
}

TEST_F(LogFileTest, VersionTableCanBeRestrictedToNamedModules) {
  LogCapture cap;
  const std::string names[] = {"-QRXLOG"};
  print_version_headers(names);
  const std::string log = cap.log();
  EXPECT_NE(log.find(") qrxlog "), std::string::npos);
  EXPECT_EQ(log.find(") qrxcoll "), std::string::npos);
}

TEST_F(LogFileTest, ColLogRedirectsStandardStreamsIntoTheFile) {
  const std::string path = log_path("col.log");
  std::FILE* old = std::fopen(path.c_str(), "w");
  std::fputs("previous run\n", old);
  std::fclose(old);
  EXPECT_EQ(u_openPRINTfile("col.log"), cap_.err_stream());
  std::fputs("to stderr\n", cap_.err_stream());
  std::fflush(cap_.err_stream());
  std::fputs("to stdout\n", cap_.out_stream());
  std::fflush(cap_.out_stream());
  EXPECT_EQ(file_text(path), "to stderr\nto stdout\n");
  EXPECT_EQ(file_text(backup(path, 1)), "previous run\n");
  EXPECT_EQ(stder, nullptr);  // the message log itself is not changed
}

TEST_F(LogFileTest, EchoWrapsStandardErrorIntoColLog) {
  setenv("COLL_WRAPLINES", "2", 1);
  PRINT('e', "abc0001", "first\n");
  PRINT('e', "abc0002", "second\n");
  std::fflush(cap_.err_stream());
  const std::string text = file_text(log_path("col.log"));
  EXPECT_TRUE(text.starts_with("       File wrapped -- ")) << text;
  EXPECT_NE(text.find(with_time("ABC0002E ({t}) second\n")), std::string::npos) << text;
}

TEST_F(LogFileTest, ClosePrintForgetsCachedSettings) {
  setenv("COLL_NUMOUTBAK", "0", 1);
  ASSERT_NE(u_openPRINTfile("col.out"), nullptr);
  close_PRINT();
  EXPECT_EQ(stder, nullptr);
  EXPECT_EQ(log_file_name(), "");
  setenv("COLL_NUMOUTBAK", "2", 1);  // read afresh on the next open
  ASSERT_NE(u_openPRINTfile("col.out"), nullptr);
  EXPECT_TRUE(exists(backup(log_path(), 1)));
}

TEST_F(LogFileTest, LogFilesAreOwnerWritableAndGroupReadableWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{077}}) {
    for (const char* base : {"col.out", "col.log"}) {
      const mode_t saved = umask(mask);
      std::FILE* f = u_openPRINTfile(base);
      umask(saved);
      ASSERT_NE(f, nullptr) << base;
      struct stat st {};
      ASSERT_EQ(::stat(log_path(base).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0640u) << base << " at umask " << std::oct << mask;
    }
  }
}

TEST_F(LogFileTest, LogNamePlantedAsALinkIsNotWrittenThrough) {
  setenv("COLL_NUMOUTBAK", "0", 1);  // no rotation moves the link away first
  const std::string victim = dir_.file("victim");
  std::FILE* v = std::fopen(victim.c_str(), "w");
  std::fputs("keep me\n", v);
  std::fclose(v);
  ASSERT_EQ(::symlink(victim.c_str(), log_path().c_str()), 0);
  ASSERT_NE(u_openPRINTfile("col.out"), nullptr);
  PRINT('i', "abc0001", "logged\n");
  std::fflush(stder);
  EXPECT_EQ(file_text(victim), "keep me\n");
  EXPECT_EQ(log_file_name(), log_path("colx.out"));
  EXPECT_NE(cap_.out().find("CAT1995E - Can't open message ouput file: " + log_path() + "\n"),
            std::string::npos);
}

}  // namespace
}  // namespace qrx
