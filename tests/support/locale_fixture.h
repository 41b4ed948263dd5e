// Test helpers for the process locale: a Latin-1 locale made for the test
// process, and a scope that switches the locale the code-page layer reads.
// Both restore what they changed.
#pragma once

#include <optional>
#include <string>

namespace qrx::testing {

// The Latin-1 locale the helpers make.
inline constexpr const char* kLatin1Locale = "en_US.ISO-8859-1";

// A directory (for LOCPATH) holding the locale "INPUT.CHARMAP", made with
// localedef once per process; empty when it cannot be made.
std::string made_locale_path(const std::string& input, const std::string& charmap);

// made_locale_path for kLatin1Locale.
std::string latin1_locale_path();

// Sets LC_ALL to `name` (and LOCPATH to `locpath` when not empty) until the
// end of the scope; the code-page layer reads the locale again on entry and
// on exit, and the process locale (which a driver may set from LC_ALL) is
// the one of the entry again on exit.
class ScopedLocale {
 public:
  explicit ScopedLocale(const std::string& name, const std::string& locpath = "");
  ~ScopedLocale();
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

 private:
  std::optional<std::string> saved_lc_all_, saved_locpath_;
  std::string saved_process_locale_;
};

}  // namespace qrx::testing
