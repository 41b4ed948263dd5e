// Test support for start-up code: a fixture that restores every piece of
// process-wide state the settings and the command line touch.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "base/env_vars.h"
#include "log_capture.h"

namespace qrx::testing {

// Saves and restores env_vars, environment variables it sets, the trace
// switches, the dictionary parameters and the database-type cache; offers a
// private temporary directory.
class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets (value) or unsets (null) an environment variable until TearDown.
  void set_env(const char* name, const char* value);
  // Writes `content` to `relative` under dir(), creating directories.
  std::filesystem::path write_file(const std::string& relative, const std::string& content);
  std::filesystem::path dir() const { return dir_.path(); }
  // For death tests: sends standard output, unbuffered, to standard error so
  // that messages written before a log is open reach the matcher in order.
  static void stdout_to_stderr();

 private:
  EnvVars saved_vars_;
  std::string saved_disable_;
  std::map<std::string, std::optional<std::string>> saved_env_;
  TempDir dir_;
};

}  // namespace qrx::testing
