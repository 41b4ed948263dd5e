#include "base/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "support/log_capture.h"

namespace qrx {
namespace {

using testing::LogCapture;
using testing::TempDir;

void write_file(const std::string& path, const std::string& content, mode_t mode = 0644) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  ::chmod(path.c_str(), mode);
}

TEST(LoadFile, WholeContentOrNothing) {
  TempDir dir;
  LogCapture cap;
  write_file(dir.file("data"), std::string("a\0b\nc", 5));
  write_file(dir.file("empty"), "");
  EXPECT_EQ(u_loadfile(dir.file("data").c_str()), std::string("a\0b\nc", 5));
  EXPECT_EQ(u_loadfile(dir.file("empty").c_str()), std::nullopt);
  EXPECT_EQ(u_loadfile(dir.file("missing").c_str()), std::nullopt);
  EXPECT_EQ(u_loadfile(nullptr), std::nullopt);
  EXPECT_EQ(cap.log(), "");
}

TEST(LoadFile, FailingReadIsReported) {
  TempDir dir;
  LogCapture cap;
  EXPECT_EQ(u_loadfile(dir.path().c_str()), std::nullopt);  // a directory opens but cannot be read
  EXPECT_TRUE(std::regex_search(
      cap.log(), std::regex(R"(^UFL1025W \(\d{6}\) read\(\) returned -1\. errno=21 .+\n$)")))
      << cap.log();
}

TEST(FileExists, ResultCodes) {
  TempDir dir;
  write_file(dir.file("full"), "x");
  write_file(dir.file("empty"), "");
  write_file(dir.file("script"), "#!/bin/sh\n", 0755);
  write_file(dir.file("plain"), "data", 0644);
  struct Case {
    std::string path;
    int options;
    int expected;
  };
  const Case cases[] = {
      {dir.file("full"), 0, 0},
      {dir.file("empty"), 0, 1},
      {dir.file("missing"), 0, 2},
      {dir.file("full/below"), 0, 2},
      {"", 0, 2},
      {dir.path(), 0, 3},
      {dir.file("script"), kFileExecutable, 0},
      {dir.file("plain"), kFileExecutable, 4},
      {dir.file("plain"), 0, 0},
      {std::string(5000, 'a'), 0, -1},  // name too long
  };
  for (const Case& c : cases)
    EXPECT_EQ(file_exists(c.path.c_str(), c.options), c.expected) << c.path.substr(0, 80);
  EXPECT_TRUE(is_directory(dir.path().c_str()));
  EXPECT_FALSE(is_directory(dir.file("full").c_str()));
}

class WhereTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* p = std::getenv("PATH")) saved_path_ = p;
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    unsetenv("COLL_PATHEXT");
  }
  std::string saved_path_;
  TempDir dir_;
};

TEST_F(WhereTest, SearchesPathWithExtensions) {
  write_file(dir_.file("prog.sh"), "#!/bin/sh\n", 0755);
  write_file(dir_.file("notexec"), "x", 0644);
  setenv("PATH", ("/nonexistent::" + dir_.path()).c_str(), 1);
  EXPECT_EQ(uf_where("prog.sh"), dir_.file("prog.sh"));
  EXPECT_EQ(uf_where("prog"), std::nullopt);
  EXPECT_EQ(uf_where("notexec"), std::nullopt);
  setenv("COLL_PATHEXT", ".exe;.sh", 1);
  EXPECT_EQ(uf_where("prog"), dir_.file("prog.sh"));
  EXPECT_EQ(uf_where("./any/where"), "./any/where");  // a directory part is taken as it stands
  EXPECT_EQ(uf_where(""), std::nullopt);
}

TEST(PathParts, SplitsDirectoryNameAndExtension) {
  struct Case {
    const char* path;
    const char* dir;
    const char* name;
    const char* ext;
  };
  const Case cases[] = {
      {" \"/a/b/name.ext\" ", "/a/b/", "name", ".ext"},
      {"name", "", "name", ""},
      {"a.b.c", "", "a.b", ".c"},
      {"/a/.hidden", "/a/", ".hidden", ""},
      {"dir/", "dir/", "", ""},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    const PathParts parts = u_pfilen(c.path);
    EXPECT_EQ(parts.directory, c.dir) << c.path;
    EXPECT_EQ(parts.name, c.name) << c.path;
    EXPECT_EQ(parts.extension, c.ext) << c.path;
  }
}

// Exit status of a child process that tries to write-lock `path` without waiting.
int lock_in_child(const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = ::open(path.c_str(), O_RDWR);
    _exit(issue_write_lock(fd, "ids", 0));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WriteLock, HeldLockMakesASecondProcessFailAtOnce) {
  TempDir dir;
  LogCapture cap;
  const std::string path = dir.file("ids");
  write_file(path, "x");
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(issue_write_lock(fd, "ids", 1), 0);
  EXPECT_EQ(lock_in_child(path), 1);
  EXPECT_TRUE(std::regex_search(
      cap.log_on_disk(), std::regex(R"(CGN3985E \(\d{6}\) Write_lock error (11|13) on ids\. .+\n)")))
      << cap.log_on_disk();
  EXPECT_EQ(issue_unlock(fd, "ids", 0), 0);
  EXPECT_EQ(lock_in_child(path), 0);
  ::close(fd);
}

TEST(WriteLock, BadDescriptorIsReported) {
  LogCapture cap;
  EXPECT_EQ(issue_write_lock(-1, "nofile", 0), 1);
  EXPECT_EQ(issue_unlock(-1, "nofile", 0), 1);
  const std::string log = cap.log();
  EXPECT_NE(log.find("Write_lock error 9 on nofile. Bad file descriptor\n"), std::string::npos);
  EXPECT_NE(log.find("Unlock error 9 on nofile. Bad file descriptor!!\n"), std::string::npos);
}

}  // namespace
}  // namespace qrx
