#include "base/shell.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qrx {
namespace {

TEST(Shell, JoinsLinesWithSingleBlanks) {
  EXPECT_EQ(u_shell("printf 'a  \\nb\\t \\n\\nc'"), "a b c");
  EXPECT_EQ(u_shell("printf 'one two\\n'"), "one two");
  EXPECT_EQ(u_shell("exit 3"), "");
}

TEST(Shell, StopsAtTheThirdEmptyLine) {
  EXPECT_EQ(u_shell("printf 'a\\n\\n\\nb\\n\\nc\\n'"), "a b");
}

TEST(Shell, LimitsLinesAndLength) {
  const std::optional<std::string> numbers = u_shell("seq 1 600");
  ASSERT_TRUE(numbers);
  EXPECT_TRUE(numbers->ends_with(" 499 500")) << numbers->substr(numbers->size() - 20);
  const std::optional<std::string> wide = u_shell("head -c 6000 /dev/zero | tr '\\0' x");
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, std::string(4094, 'x'));
}

TEST(Shell, CommandSeesNoSecretSetting) {
  setenv("COLL_PASSWORD", "shell-secret", 1);
  setenv("QRX_EXPORT_PASSWORD", "export-secret", 1);
  setenv("QRX_SHELL_SEES", "this", 1);
  const std::optional<std::string> env = u_shell("env");
  unsetenv("COLL_PASSWORD");
  unsetenv("QRX_EXPORT_PASSWORD");
  unsetenv("QRX_SHELL_SEES");
  ASSERT_TRUE(env);
  EXPECT_EQ(env->find("secret"), std::string::npos) << *env;
  EXPECT_EQ(env->find("COLL_PASSWORD="), std::string::npos) << *env;
  EXPECT_EQ(env->find("QRX_EXPORT_PASSWORD="), std::string::npos) << *env;
  EXPECT_NE(env->find("QRX_SHELL_SEES=this"), std::string::npos) << *env;
}

}  // namespace
}  // namespace qrx
