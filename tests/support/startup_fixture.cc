#include "startup_fixture.h"

#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "base/settings.h"
#include "base/trace.h"

namespace qrx::testing {

void StartupTest::SetUp() {
  saved_vars_ = env_vars;
  saved_disable_ = coll_disable_cursors;
  reset_db_type_cache();
  clear_dict_parms();
}

void StartupTest::TearDown() {
  for (const auto& [name, value] : saved_env_) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
  env_vars = saved_vars_;
  coll_disable_cursors = saved_disable_;
  go_home = 0;
  reset_db_type_cache();
  clear_dict_parms();
  reset_trace_state();
}

void StartupTest::stdout_to_stderr() {
  std::fflush(stdout);
  ::dup2(2, 1);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void StartupTest::set_env(const char* name, const char* value) {
  if (!saved_env_.count(name)) {
    const char* old = std::getenv(name);
    saved_env_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

std::filesystem::path StartupTest::write_file(const std::string& relative,
                                              const std::string& content) {
  std::filesystem::path path = dir() / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << content;
  return path;
}

}  // namespace qrx::testing
