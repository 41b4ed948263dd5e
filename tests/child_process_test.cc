// Child processes as real processes: output lines, time limits that end a
// child with everything it started, exit statuses, programs not found,
// unbounded output, quoting of outside values, permanent and detached
// children. Every test ends with no child of ours left, zombie or not.

#include "exits/child_process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/env_vars.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> texts(const exec_lines& lines) {
  std::vector<std::string> out;
  for (const r_exec_chain* l = lines.get(); l; l = l->next) out.push_back(l->text);
  return out;
}

// Polls `done` for about 10 seconds.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 200; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

bool process_gone(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  // A process that is only a zombie of init counts as gone once reaped.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pid_text, name, state;
  return !(stat >> pid_text >> name >> state) || state == "Z";
}

class ChildProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qrx-child-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    // No child of this process may be left, not even as a zombie.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (pid_t pid : started_) {
      if (!process_gone(pid)) {
        ADD_FAILURE() << "process " << pid << " outlived its test";
        kill(pid, SIGKILL);
      }
    }
    fs::remove_all(dir_);
  }
  // Writes an executable shell script named `name`; its path.
  std::string script(const std::string& name, const std::string& body) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0700);
    return path.string();
  }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  // The pid written into `name` by a script.
  pid_t pid_in(const std::string& name) {
    pid_t pid = 0;
    std::ifstream(file(name)) >> pid;
    if (pid > 0) started_.push_back(pid);
    return pid;
  }

  fs::path dir_;
  std::vector<pid_t> started_;
  testing::LogCapture log_;
};

TEST_F(ChildProcessTest, TimedChildReturnsItsLinesWithoutEmptyOnes) {
  execopt o;
  const exec_lines lines = u_exec_timed("printf", "'a\\n\\nb c\\n'", 0, o);
  EXPECT_EQ(texts(lines), (std::vector<std::string>{"a", "b c"}));
  EXPECT_EQ(o.status, kExecNormal);
  EXPECT_EQ(o.exit_status, 0);
}

TEST_F(ChildProcessTest, HangingChildIsEndedAtItsLimitWithItsGrandchildAndTheNextRunWorks) {
  const std::string hang = script("hang.sh",
                                  "sleep 300 &\n"
                                  "echo $! > \"$1\"\n"
                                  "echo started\n"
                                  "sleep 300\n");
  execopt o;
  o.time_limit = 1;
  const exec_lines lines = u_exec_timed(hang.c_str(), file("grandchild").c_str(), 0, o);
  EXPECT_EQ(o.status, kExecTimedOut);
  EXPECT_EQ(texts(lines), std::vector<std::string>{"started"});  // what it said before
  EXPECT_TRUE(log_.has("uex8080", 'w',
                       "Child process " + hang.substr(0, 20) + " did not finish in 1 seconds."))
      << log_.text();
  const pid_t grandchild = pid_in("grandchild");
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(eventually([&] { return process_gone(grandchild); }));

  execopt next;
  EXPECT_EQ(texts(u_exec_timed("echo", "again", 0, next)), std::vector<std::string>{"again"});
  EXPECT_EQ(next.status, kExecNormal);
}

TEST_F(ChildProcessTest, StoppingCollectorDoesNotWaitForItsChild) {
  go_home = 1;
  execopt o;
  const exec_lines lines = u_exec_timed("sleep", "300", 0, o);
  go_home = 0;
  EXPECT_EQ(o.status, kExecTimedOut);
  EXPECT_TRUE(log_.has("uex8085", 'w', "Child process sleep ended: the collector is stopping"))
      << log_.text();
}

TEST_F(ChildProcessTest, ChildEndingWithAFailureStatusReportsIt) {
  const std::string failing = script("fail.sh", "echo partial\nexit 3\n");
  execopt o;
  const exec_lines lines = u_exec_timed(failing.c_str(), "", 0, o);
  EXPECT_EQ(o.status, kExecNormal);
  EXPECT_EQ(o.exit_status, 3);
  EXPECT_EQ(texts(lines), std::vector<std::string>{"partial"});
  int status = 0;
  EXPECT_EQ(texts(u_exec(failing.c_str(), "", &status)), std::vector<std::string>{"partial"});
  EXPECT_EQ(status, 3);
}

TEST_F(ChildProcessTest, ProgramNotFoundIsReportedAndNoChildIsMade) {
  execopt o;
  EXPECT_EQ(u_exec_timed("qrx-no-such-program", "x", 0, o), nullptr);
  EXPECT_EQ(o.status, kExecNotCreated);
  EXPECT_TRUE(log_.has("uex4100", 's', "Command not found: qrx-no-such-program.")) << log_.text();
  EXPECT_EQ(u_AsynProcess("qrx-no-such-program", ""), 4);
}

TEST_F(ChildProcessTest, ProgramThereWithoutExecutePermissionIsReportedAsSuch) {
  const std::string program = script("plain.sh", "echo never\n");
  ASSERT_EQ(::chmod(program.c_str(), 0644), 0);
  execopt o;
  EXPECT_EQ(u_exec_timed(program.c_str(), "x", 0, o), nullptr);
  EXPECT_EQ(o.status, kExecNotCreated);
  const std::string said =
      "Command not executable: " + program + " (" + program + " has no execute permission).";
  EXPECT_TRUE(log_.has("uex4101", 's', said)) << log_.text();
  EXPECT_FALSE(log_.has("uex4100", 's', "Command not found")) << log_.text();
  EXPECT_EQ(u_AsynProcess(program.c_str(), ""), 4);
}

TEST_F(ChildProcessTest, HundredMegabyteLineCostsOneBoundedLine) {
  const std::string flood = script("flood.sh", "head -c 100000000 /dev/zero | tr '\\000' x\necho\necho end\n");
  execopt o;
  const exec_lines lines = u_exec_timed(flood.c_str(), "", 0, o);
  const std::vector<std::string> got = texts(lines);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::string(kExecLineMax, 'x'));
  EXPECT_EQ(got[1], "end");
  EXPECT_TRUE(log_.has("uex6845", 'w', "Output line 1 of " + flood.substr(0, 50) + " cut at 8192 bytes"))
      << log_.text();
  EXPECT_EQ(log_.count("uex6845"), 1);
}

TEST_F(ChildProcessTest, EndlessOutputStopsAtTheLineLimit) {
  execopt o;
  const exec_lines lines = u_exec_timed("yes", "line", 0, o);
  EXPECT_EQ(texts(lines).size(), static_cast<std::size_t>(kDefaultExecLines));
  EXPECT_TRUE(log_.has("uex6840", 'w', "Output of yes cut after 30000 lines")) << log_.text();
  EXPECT_EQ(o.status, kExecNormal);  // it ended when nobody read on

  const std::string some = script("some.sh", "i=0\nwhile [ $i -lt 30001 ]; do echo $i; i=$((i+1)); done\n");
  execopt limited;
  limited.max_lines = 5;
  EXPECT_EQ(texts(u_exec_timed(some.c_str(), "", 0, limited)),
            (std::vector<std::string>{"0", "1", "2", "3", "4"}));
}

TEST_F(ChildProcessTest, QuotedOutsideValueRunsNoSecondCommand) {
  const std::string marker = file("pwned");
  const std::string hostile = "x; touch " + marker + " && echo $(touch " + marker + ")";
  execopt o;
  EXPECT_EQ(texts(u_exec_timed("echo", shell_quote(hostile).c_str(), 0, o)),
            std::vector<std::string>{hostile});
  EXPECT_EQ(texts(u_exec("echo", (shell_quote(hostile) + " '" + "it'\\''s'").c_str())),
            std::vector<std::string>{hostile + " it's"});
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(ChildProcessTest, LongParametersGoOnStandardInputWithTheMarker) {
  const std::string echo_args = script("args.sh", "echo \"args:$*\"\ncat\n");
  const std::string long_parms(2000, 'p');
  execopt o;
  const std::vector<std::string> got = texts(u_exec_timed(echo_args.c_str(), long_parms.c_str(), 0, o));
  EXPECT_EQ(got, (std::vector<std::string>{"args:--", long_parms}));

  execopt in_file;
  in_file.flags = kExecOptionsSet | kExecParmsFile | kExecMarker;
  const std::vector<std::string> file_got = texts(u_exec_timed(echo_args.c_str(), "a b", 0, in_file));
  ASSERT_EQ(file_got.size(), 1u);
  EXPECT_EQ(file_got[0].rfind("args:@", 0), 0u) << file_got[0];
}

TEST_F(ChildProcessTest, OutputThroughAFileComesBackAndTheFileGoes) {
  execopt o;
  o.flags = kExecOptionsSet | kExecOutFile | kExecStderrToOut;
  EXPECT_EQ(texts(u_exec_timed("printf", "'one\\ntwo\\n'", 0, o)),
            (std::vector<std::string>{"one", "two"}));
}

TEST_F(ChildProcessTest, PermanentChildTalksUntilEnded) {
  execopt o;
  ASSERT_EQ(u_exec_perm("cat", "", o), 0);
  int in = -1, out = -1;
  ASSERT_EQ(u_exec_get_fh(&in, &out, o), 0);
  ASSERT_EQ(write(in, "hello\n", 6), 6);
  char buffer[16] = {};
  ASSERT_EQ(read(out, buffer, 6), 6);
  EXPECT_EQ(std::string(buffer), "hello\n");
  EXPECT_EQ(u_exec_term(o), 0);
  EXPECT_EQ(u_exec_get_fh(&in, &out, o), 4);
}

TEST_F(ChildProcessTest, DetachedChildRunsAndLeavesNoZombie) {
  const std::string marker = file("done");
  ASSERT_EQ(u_AsynProcess("touch", marker.c_str()), 0);
  EXPECT_TRUE(eventually([&] { return fs::exists(marker); }));
  // Once ended it is reaped: the teardown finds no child of ours.
  EXPECT_TRUE(eventually([] { return u_reap_detached() == 0; }));
}

TEST_F(ChildProcessTest, ShellCharactersInAValueLeaveItOneWordOfTheProgramFoundFirstOnTheSearchPath) {
  // The same program on PATH would be run by a shell that ignored the
  // search path; the one found first prints its argument count too.
  const std::string marker = file("pwned");
  const std::string count = script("count_args", "echo \"$#:$1\"\n");
  for (const std::string& value : {"x; touch " + marker, std::string("a|b"), std::string("<in >out &")}) {
    execopt o;
    EXPECT_EQ(texts(u_exec_timed(count.c_str(), shell_quote(value).c_str(), 0, o)),
              std::vector<std::string>{"1:" + value})
        << value;
    EXPECT_EQ(o.exit_status, 0);
  }
  // The caller's own text may ask for the shell; the value stays one word.
  execopt piped;
  piped.flags2 = kExecShellText;
  EXPECT_EQ(texts(u_exec_timed(count.c_str(), (shell_quote("a|b") + " | tr : =").c_str(), 0, piped)),
            std::vector<std::string>{"1=a|b"});
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_FALSE(fs::exists(fs::current_path() / "out"));
}

TEST_F(ChildProcessTest, ChildrenGetTheEnvironmentWithoutSecrets) {
  const std::string saved = env_vars.password;
  env_vars.password = "from-the-command-line";
  setenv("COLL_PASSWORD", "plain-secret", 1);
  setenv("QRX_EXPORT_PASSWORD", "export-secret", 1);
  setenv("QRX_OTHER_NAME", "from-the-command-line", 1);
  setenv("QRX_HANDED_ON", "kept", 1);
  execopt o;
  const std::vector<std::string> timed = texts(u_exec_timed("env", "", 0, o));
  const std::vector<std::string> shell = texts(u_exec("env", ""));
  execopt perm;
  ASSERT_EQ(u_exec_perm("env", "", perm), 0);
  int in = -1, out = -1;
  ASSERT_EQ(u_exec_get_fh(&in, &out, perm), 0);
  std::string perm_text;
  char buffer[4096];
  for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;) perm_text.append(buffer, static_cast<size_t>(n));
  u_exec_term(perm);
  unsetenv("COLL_PASSWORD");
  unsetenv("QRX_EXPORT_PASSWORD");
  unsetenv("QRX_OTHER_NAME");
  unsetenv("QRX_HANDED_ON");
  env_vars.password = saved;
  std::string all = perm_text;
  for (const auto* lines : {&timed, &shell})
    for (const std::string& line : *lines) all += line + "\n";
  for (const char* secret : {"COLL_PASSWORD", "QRX_EXPORT_PASSWORD", "plain-secret", "export-secret",
                             "from-the-command-line"})
    EXPECT_EQ(all.find(secret), std::string::npos) << secret << "\n" << all;
  EXPECT_NE(std::find(timed.begin(), timed.end(), "QRX_HANDED_ON=kept"), timed.end());
  EXPECT_NE(std::find(shell.begin(), shell.end(), "QRX_HANDED_ON=kept"), shell.end());
  EXPECT_NE(perm_text.find("QRX_HANDED_ON=kept"), std::string::npos);
}

TEST_F(ChildProcessTest, ChildClosingItsOutputIsEndedAtItsLimit) {
  const std::string quiet = script("quiet.sh", "echo $$ > \"$1\"\nexec 1>&- 2>&-\nexec sleep 1005\n");
  int status = 0;
  const exec_lines lines = u_exec(quiet.c_str(), file("quiet.pid").c_str(), &status, 1);
  EXPECT_EQ(status, 128 + SIGKILL);
  EXPECT_TRUE(log_.has("uex8080", 'w', "Child process /bin/sh did not finish in 1 seconds."))
      << log_.text();
  const pid_t child = pid_in("quiet.pid");
  ASSERT_GT(child, 0);
  EXPECT_TRUE(eventually([&] { return process_gone(child); }));
}

TEST(ChildMessageLines, MessageFormsAreRecognised) {
  const struct {
    const char* text;
    int expected;
  } cases[] = {
      {"ABC1234E Disk full", 1},  {"ABCD1234W four letters", 1}, {"ABC1234X bad level", 0},
      {"abc1234E lower case", 0}, {"ABC1234E", 0},                {"ABC123E4 digits", 0},
      {"->ABC1234E data", 0},     {"ABC1234Enoblank", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(u_ismessage(c.text), c.expected) << c.text;
}

TEST(ChildCommandWords, QuotesAreUndoneAsTheShellWould) {
  EXPECT_EQ(split_command_words("a 'b c' \"d \\\"e\" f\\ g 'it'\\''s'"),
            (std::vector<std::string>{"a", "b c", "d \"e", "f g", "it's"}));
  EXPECT_EQ(split_command_words(shell_quote("x'; rm -rf /")), std::vector<std::string>{"x'; rm -rf /"});
}

}  // namespace
}  // namespace qrx
