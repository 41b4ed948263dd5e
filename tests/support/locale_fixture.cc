#include "locale_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>

#include "base/codepage.h"

namespace qrx::testing {

namespace {

std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void restore_env(const char* name, const std::optional<std::string>& value) {
  if (value) setenv(name, value->c_str(), 1);
  else unsetenv(name);
}

// The process's directory of made locales, removed when the process ends.
struct LocaleDir {
  std::string path;
  pid_t owner = getpid();
  LocaleDir() {
    char pattern[] = "/tmp/qrx-locale-XXXXXX";
    if (mkdtemp(pattern)) path = pattern;
  }
  // A death test's child ends through exit() too: only the maker removes it.
  ~LocaleDir() {
    if (!path.empty() && getpid() == owner) std::filesystem::remove_all(path);
  }
};

}  // namespace

std::string made_locale_path(const std::string& input, const std::string& charmap) {
  static LocaleDir dir;
  if (dir.path.empty()) return {};
  const std::string target = dir.path + "/" + input + "." + charmap;
  if (std::filesystem::exists(target + "/LC_CTYPE")) return dir.path;
  // A logon of the collector ignores SIGCHLD, and the wait below needs it.
  struct sigaction default_action {}, saved {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &default_action, &saved);
  const pid_t pid = fork();
  if (pid == 0) {
    // localedef warns about the charmap's gaps on its standard error.
    if (freopen("/dev/null", "w", stderr) == nullptr) _exit(126);
    execlp("localedef", "localedef", "-i", input.c_str(), "-f", charmap.c_str(), target.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  sigaction(SIGCHLD, &saved, nullptr);
  return std::filesystem::exists(target + "/LC_CTYPE") ? dir.path : std::string();
}

std::string latin1_locale_path() { return made_locale_path("en_US", "ISO-8859-1"); }

ScopedLocale::ScopedLocale(const std::string& name, const std::string& locpath)
    : saved_lc_all_(env_value("LC_ALL")),
      saved_locpath_(env_value("LOCPATH")),
      saved_process_locale_(std::setlocale(LC_ALL, nullptr)) {
  setenv("LC_ALL", name.c_str(), 1);
  if (!locpath.empty()) setenv("LOCPATH", locpath.c_str(), 1);
  systm.reset();
}

ScopedLocale::~ScopedLocale() {
  restore_env("LC_ALL", saved_lc_all_);
  restore_env("LOCPATH", saved_locpath_);
  // A driver the test ran may have taken the process locale from LC_ALL
  // (the ODBC driver does): later tests see the one they started with.
  std::setlocale(LC_ALL, saved_process_locale_.c_str());
  systm.reset();
}

}  // namespace qrx::testing
