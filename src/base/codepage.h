// Code-page conversion: the process locale's code page (asked once) and the
// conversions between it, UTF-16 in the platform's byte order and UTF-8,
// over iconv. Every conversion writes into a buffer the caller owns and
// never cuts a character: output stops before a character that does not fit.
#pragma once

#include <iconv.h>
#include <locale.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace qrx {

// Code page numbers.
constexpr int kCodepageUtf8 = 1208;
constexpr int kCodepageUnicode = 57359;  // UTF-16, platform byte order

// Options of the conversions to UTF-8.
enum : int {
  kConvertStrict = 0,
  kConvertSubstitute = 1,  // an invalid or incomplete sequence becomes U+FFFD instead of failing
};

// The process locale: the code set LC_ALL, LC_CTYPE or LANG names, as
// setlocale(LC_ALL, "") would choose it, without changing the process's own
// locale. Owns its locale handle and cached conversion descriptors.
class Locale {
 public:
  Locale() = default;
  Locale(const Locale&) = delete;
  Locale& operator=(const Locale&) = delete;
  ~Locale();

  // The locale handle; asked once, null when the environment names no
  // locale that exists.
  locale_t getLocale();
  // The locale's code page number; asked once, 0 without a locale or for a
  // code set that has no number.
  int getCodepage();
  // Writes the locale's code-set name ("ISO-8859-1"), cut and terminated,
  // into `name`; 0, or 1 without a locale. The first argument is unused.
  int getCodepageInfo(int unused, std::span<char> name);
  // The locale's code-set name; empty without a locale.
  const std::string& codeset();
  // The conversion descriptor from code set `from` to `to`, opened once;
  // (iconv_t)-1 when iconv knows either name not.
  iconv_t converter(const char* to, const char* from);
  // Forgets the handle, the code page and the descriptors, so that the next
  // question reads the environment again.
  void reset();

 private:
  bool asked_ = false;
  locale_t handle_ = nullptr;
  int codepage_ = 0;
  std::string codeset_;
  struct Cached {
    std::string to, from;
    iconv_t cd;
  };
  Cached cached_[4] = {};
  int cached_count_ = 0;
};

// The process's locale object.
extern Locale systm;

// Converts `source` from the locale's code page to UTF-8 into `result`;
// returns the bytes written, 0 without a locale or code page (logged) or on
// an invalid sequence without kConvertSubstitute.
int Convert_toUTF8_wopt(std::span<char> result, std::string_view source, int options);

// Converts UTF-8 `source` to the locale's code page into `result`; returns
// the bytes written, 0 without a locale or code page (logged), or on a
// sequence that is invalid or has no form in the code page.
int Convert_fromUTF8(std::span<char> result, std::string_view source);

// Converts UTF-16 `source` (platform byte order; its length counts bytes)
// to UTF-8 into `result`; returns the bytes written, 0 on an invalid
// sequence without kConvertSubstitute. The locale plays no part.
int Convert_UnicodeToUTF8_wopt(std::span<char> result, std::string_view source, int options);

// `utf16` (platform byte order, bytes) as UTF-8, invalid sequences as U+FFFD;
// untraced, for names and numbers.
std::string utf8_from_utf16(std::string_view utf16);

}  // namespace qrx
