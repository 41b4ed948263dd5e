#include "base/password_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/env_vars.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

bool is_upper_hex(const std::string& text) {
  return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

class PasswordCodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = env_vars;
    env_vars.logonid = "monitor";
    env_vars.serverid = "PROD";
  }
  void TearDown() override { env_vars = saved_; }

  EnvVars saved_;
  testing::FixedClock clock_{1767614096};  // the old form pads with the time of day
};

TEST_F(PasswordCodecTest, NewFormRoundTripsForItsLogonAndServer) {
  for (const char* password : {"s3cret", "x", "with blanks & $ymbols!", "NONE-ish", "thirty-four characters of passwd"}) {
    std::optional<std::string> stored = fod(password);
    ASSERT_TRUE(stored) << password;
    EXPECT_EQ(stored->size(), 88u);
    EXPECT_TRUE(is_upper_hex(*stored)) << *stored;
    EXPECT_EQ(fok(*stored).value_or("<none>"), password);
    EXPECT_EQ(fo1(*stored, "monitor", "PROD"), password);
  }
  // Random filler makes every scrambled value different.
  EXPECT_NE(*fod("s3cret"), *fod("s3cret"));
}

TEST_F(PasswordCodecTest, NewFormMadeForAnotherLogonOrServerIsRefused) {
  struct {
    const char* logon;
    const char* server;
  } const others[] = {{"monitor", "PROD2"}, {"monitor", "PRO"}, {"monitorx", "PROD"}, {"admin", "TEST"}};
  for (const auto& other : others) {
    std::optional<std::string> stored = fo2("s3cret", other.logon, other.server);
    ASSERT_TRUE(stored);
    EXPECT_EQ(fok(*stored).value_or("<none>"), "Error invalid password 3") << other.logon << "/" << other.server;
  }
  env_vars.logonid.clear();
  EXPECT_EQ(fok(*fo2("s3cret", "monitor", "PROD")).value_or("<none>"), "Error invalid password 2");
}

TEST_F(PasswordCodecTest, HexadecimalValuesOfTheWrongLengthAreErrors) {
  EXPECT_EQ(fo1("DEADBEEF"), "Error incorrect password length");
  EXPECT_EQ(fo1(""), "Error Null password");
  EXPECT_FALSE(fok(""));
}

TEST_F(PasswordCodecTest, OldFormRoundTrips) {
  for (const char* password : {"s3cret", "a", "exactly-thirty-two-characters-xx"}) {
    std::optional<std::string> stored = ofod(password);
    ASSERT_TRUE(stored) << password;
    EXPECT_EQ(stored->size(), 64u);
    EXPECT_TRUE(is_upper_hex(*stored)) << *stored;
    EXPECT_EQ(ofok(*stored), password);
    EXPECT_EQ(fok(*stored).value_or("<none>"), password);
  }
  EXPECT_FALSE(ofod("thirty-three characters long......"));
}

struct PlainCase {
  const char* stored;
  const char* password;  // null: no password
};

TEST_F(PasswordCodecTest, PlainValuesAndMarkers) {
  const std::string marked64 = "*" + std::string(63, 'A');
  const std::string lower_hex64(64, 'a');
  const std::string long_plain = "=" + std::string(120, 'p');
  const std::string cut_plain(99, 'p');
  const PlainCase cases[] = {
      {"*secret", "secret"},
      {"#DEADBEEF", "DEADBEEF"},
      {"!", nullptr},
      {"-s", "s"},
      {"plain text", "plain text"},
      {marked64.c_str(), marked64.c_str() + 1},
      {lower_hex64.c_str(), lower_hex64.c_str()},
      {"NONE", nullptr},
      {"*NONE", nullptr},
      {long_plain.c_str(), cut_plain.c_str()},
  };
  for (const PlainCase& c : cases) {
    std::optional<std::string> got = fok(c.stored);
    if (c.password) {
      EXPECT_EQ(got.value_or("<none>"), c.password) << c.stored;
    } else {
      EXPECT_FALSE(got) << c.stored;
    }
  }
  EXPECT_EQ(fod("*as-is").value_or("<none>"), "as-is");
  EXPECT_EQ(ofod("#as-is").value_or("<none>"), "as-is");
}

TEST_F(PasswordCodecTest, PasswordsTheNewFormCannotHoldAreRefused) {
  EXPECT_FALSE(fod(std::string(37, 'p')));  // one over, with "monitor" and "PROD"
  EXPECT_TRUE(fod(std::string(36, 'p')));
  EXPECT_FALSE(fod("tab\there"));
  EXPECT_FALSE(fod("caf\xC3\xA9"));
  EXPECT_FALSE(fo2("s3cret", "", "PROD"));
}

TEST_F(PasswordCodecTest, ToolPrintsTheNewFormOfTheStandardInput) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::fputs("s3cret\n", in);
  std::rewind(in);
  char name[] = "qrxpasswd", logon[] = "monitor", server[] = "PROD";
  char* argv[] = {name, logon, server};
  EXPECT_EQ(password_tool_main(3, argv, in, out, err), 0);
  std::rewind(out);
  char line[128] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, out));
  std::string stored(line);
  ASSERT_EQ(stored.size(), 89u);
  EXPECT_EQ(fok(stored.substr(0, 88)).value_or("<none>"), "s3cret");
  EXPECT_EQ(password_tool_main(2, argv, in, out, err), 2);
  for (std::FILE* f : {in, out, err}) std::fclose(f);
}

TEST_F(PasswordCodecTest, ToolBinaryReadsThePasswordFromStandardInput) {
  std::string command = "echo 'top secret' | " QRX_BINARY_DIR "/qrxpasswd monitor PROD";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_TRUE(pipe);
  char line[128] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, pipe));
  EXPECT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(fok(std::string(line, 88)).value_or("<none>"), "top secret");
}

}  // namespace
}  // namespace qrx
