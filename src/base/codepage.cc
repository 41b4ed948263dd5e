#include "base/codepage.h"

#include <langinfo.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "base/trace.h"

namespace qrx {

Locale systm;

namespace {

constexpr const char* kUtf8Name = "UTF-8";
constexpr const char* kUnicodeName = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
constexpr int kShownResult = 4000;  // bytes of a converted text a trace shows
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Code page numbers of the code sets a locale may name (as nl_langinfo
// spells them).
struct CodesetNumber {
  const char* name;
  int number;
};
constexpr CodesetNumber kCodesetNumbers[] = {
    {"UTF-8", kCodepageUtf8},  {"ANSI_X3.4-1968", 367}, {"ISO-8859-1", 819},  {"ISO-8859-2", 912},
    {"ISO-8859-3", 913},       {"ISO-8859-4", 914},     {"ISO-8859-5", 915},  {"ISO-8859-6", 1089},
    {"ISO-8859-7", 813},       {"ISO-8859-8", 916},     {"ISO-8859-9", 920},  {"ISO-8859-13", 921},
    {"ISO-8859-15", 923},      {"CP1250", 1250},        {"CP1251", 1251},     {"CP1252", 1252},
    {"CP1253", 1253},          {"CP1254", 1254},        {"CP1255", 1255},     {"CP1256", 1256},
    {"CP1257", 1257},          {"KOI8-R", 878},         {"KOI8-U", 1168},     {"TIS-620", 874},
    {"EUC-JP", 954},           {"EUC-KR", 970},         {"EUC-TW", 964},      {"GB2312", 1383},
    {"GBK", 1386},             {"GB18030", 5488},       {"BIG5", 950},        {"BIG5-HKSCS", 5471},
    {"SHIFT_JIS", 943},
};

int codeset_number(const std::string& name) {
  for (const CodesetNumber& entry : kCodesetNumbers)
    if (name == entry.name) return entry.number;
  return 0;
}

// The messages of one conversion direction.
struct Messages {
  const char* reslen_id;
  const char* srclen_id;
  const char* source_id;
  const char* codepage_id;  // null: the conversion does not consult the locale
  const char* locale_id;
  const char* error_id;
  const char* bytes_id;
  const char* heading_id;
  const char* heading;
  const char* result_id;
};

constexpr Messages kToUtf8 = {"utf0010", "utf0011", "utf0012", "utf0013", "utf0014",
                              "utf0015", "utf0016", "utf0017", "RAS1:UTF-8 string:\n", "utf0018"};
constexpr Messages kFromUtf8 = {"utf0020", "utf0021", "utf0022", "utf0023", "utf0024",
                                "utf0025", "utf0026", "utf0027", "RAS1:Code page string:\n", "utf0028"};
constexpr Messages kUnicodeToUtf8 = {"utf0030", "utf0031", "utf0032", nullptr, nullptr,
                                     "utf0034", "utf0035", "utf0036", "RAS1:UTF-8 string:\n", "utf0037"};

// UTF-16 bytes shown for a trace: ASCII as it is, any other unit as \uXXXX.
std::string shown_utf16(std::string_view source) {
  std::string shown;
  for (size_t i = 0; i + 1 < source.size(); i += 2) {
    char16_t unit;
    std::memcpy(&unit, source.data() + i, sizeof unit);
    if (unit >= 0x20 && unit < 0x7F) {
      shown += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
      shown += escaped;
    }
  }
  return shown;
}

struct Outcome {
  int written = 0;
  int error = 0;  // errno of the last iconv failure, 0 when none
};

// Runs `cd` over `source` into `result`. Output that does not fit stops at a
// character boundary (E2BIG, the bytes written count). An invalid or
// incomplete sequence fails with nothing written, or with kConvertSubstitute
// becomes U+FFFD and `unit` source bytes are skipped.
Outcome run_iconv(iconv_t cd, std::span<char> result, std::string_view source, int options, size_t unit) {
  Outcome outcome;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state
  char* in = const_cast<char*>(source.data());
  size_t in_left = source.size();
  char* out = result.data();
  size_t out_left = result.size();
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1)) break;
    outcome.error = errno;
    if (outcome.error == E2BIG) break;
    if ((outcome.error != EILSEQ && outcome.error != EINVAL) || !(options & kConvertSubstitute)) return outcome;
    if (out_left < sizeof kReplacement - 1) break;
    std::memcpy(out, kReplacement, sizeof kReplacement - 1);
    out += sizeof kReplacement - 1;
    out_left -= sizeof kReplacement - 1;
    const size_t skip = std::min(unit, in_left);
    in += skip;
    in_left -= skip;
  }
  iconv(cd, nullptr, nullptr, &out, &out_left);  // ends a target's shift sequence
  outcome.written = static_cast<int>(out - result.data());
  return outcome;
}

// Appends code point `cp` as UTF-8 at `out` when it fits before `end`;
// false when it does not.
inline bool put_utf8(uint32_t cp, char*& out, const char* end) {
  const int need = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  if (end - out < need) return false;
  if (need == 1) {
    *out++ = static_cast<char>(cp);
    return true;
  }
  static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (int i = need - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  out[0] = static_cast<char>(kLead[need] | cp);
  out += need;
  return true;
}

// The code point that starts at `in` (`left` units or bytes), the units or
// bytes it takes in `used`, or -1 (EILSEQ) / -2 (EINVAL: cut at the end).
using Decoder = int32_t (*)(const unsigned char* in, size_t left, size_t& used);

int32_t decode_utf16(const unsigned char* in, size_t left, size_t& used) {
  if (left < 2) return -2;
  char16_t unit;
  std::memcpy(&unit, in, sizeof unit);
  used = 2;
  if (unit < 0xD800 || unit >= 0xE000) return unit;
  if (unit >= 0xDC00) return -1;
  if (left < 4) return -2;
  char16_t low;
  std::memcpy(&low, in + 2, sizeof low);
  if (low < 0xDC00 || low >= 0xE000) return -1;
  used = 4;
  return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}

int32_t decode_utf8(const unsigned char* in, size_t left, size_t& used) {
  const unsigned char lead = in[0];
  used = 1;
  if (lead < 0x80) return lead;
  // Length, bits of the lead byte and the least code point of each form.
  const size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (n == 0 || lead > 0xF4) return -1;
  int32_t cp = lead & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if (i >= left) return -2;
    if ((in[i] & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (in[i] & 0x3F);
  }
  static constexpr int32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return -1;
  used = n;
  return cp;
}

// The same as run_iconv for a source that is UTF-16 or UTF-8, without its
// cost per call: these carry every fetched text.
template <Decoder decode>
Outcome run_decoder(std::span<char> result, std::string_view source, int options, size_t unit) {
  Outcome outcome;
  const auto* in = reinterpret_cast<const unsigned char*>(source.data());
  size_t left = source.size();
  char* out = result.data();
  const char* end = out + result.size();
  while (left > 0) {
    if (unit == 1 && *in < 0x80 && out < end) {  // ASCII, the common case
      *out++ = static_cast<char>(*in++);
      --left;
      continue;
    }
    size_t used = 0;
    int32_t cp = decode(in, left, used);
    if (cp < 0) {
      outcome.error = cp == -1 ? EILSEQ : EINVAL;
      if (!(options & kConvertSubstitute)) return Outcome{0, outcome.error};
      cp = 0xFFFD;
      used = std::min(unit, left);
    }
    if (!put_utf8(static_cast<uint32_t>(cp), out, end)) {
      outcome.error = E2BIG;
      break;
    }
    in += used;
    left -= used;
  }
  outcome.written = static_cast<int>(out - result.data());
  return outcome;
}

// One conversion with its traces; `from`/`to` name the code sets, null for
// the locale's.
int convert(const Messages& m, const char* to, const char* from, std::span<char> result, std::string_view source,
            int options) {
  const bool unicode_source = from == kUnicodeName;
  if (trace_all) {
    PRINT('t', m.reslen_id, "RAS1:Parm - reslen:<%d> \n", static_cast<int>(result.size()));
    PRINT('t', m.srclen_id, "RAS1:Parm - srclen:<%d> \n", static_cast<int>(source.size()));
    const std::string shown = unicode_source ? shown_utf16(source) : std::string(source);
    PRINT('t', m.source_id, "RAS1:Source<%s>\n", shown.c_str());
  }
  if (m.codepage_id) {
    if (!systm.getLocale()) {
      PRINT('w', m.locale_id, "RAS1:Locale returned null; no locale found.\n");
      return 0;
    }
    if (systm.getCodepage() == 0) {
      PRINT('w', m.codepage_id, "RAS1:Codepage return was 0; Not a valid Codepage\n");
      return 0;
    }
    if (!to) to = systm.codeset().c_str();
    if (!from) from = systm.codeset().c_str();
  }
  Outcome outcome;
  const bool utf8_source = from == kUtf8Name || std::strcmp(from, kUtf8Name) == 0;
  if (unicode_source) {
    outcome = run_decoder<decode_utf16>(result, source, options, 2);
  } else if (utf8_source && to == kUtf8Name) {
    outcome = run_decoder<decode_utf8>(result, source, options, 1);
  } else if (const iconv_t cd = systm.converter(to, from); cd == reinterpret_cast<iconv_t>(-1)) {
    outcome.error = errno;
  } else {
    outcome = run_iconv(cd, result, source, options, 1);
  }
  if (trace_all) {
    PRINT('t', m.error_id, "RAS1:NLS2_TranslateString err code: <%d>\n", outcome.error);
    PRINT('t', m.bytes_id, "RAS1:Bytes converted: <%d>\n", outcome.written);
    PRINT('t', m.heading_id, "%s", m.heading);
    PRINT('t', m.result_id, "RAS1:Result<%.*s>\n", std::min(outcome.written, kShownResult), result.data());
  }
  return outcome.written;
}

}  // namespace

Locale::~Locale() { reset(); }

locale_t Locale::getLocale() {
  if (!asked_) {
    asked_ = true;
    // Only the character type matters, and a faulty LC_TIME must not hide it.
    handle_ = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (handle_) {
      codeset_ = nl_langinfo_l(CODESET, handle_);
      codepage_ = codeset_number(codeset_);
    }
  }
  return handle_;
}

int Locale::getCodepage() {
  getLocale();
  return codepage_;
}

const std::string& Locale::codeset() {
  getLocale();
  return codeset_;
}

int Locale::getCodepageInfo(int, std::span<char> name) {
  if (name.empty()) return 1;
  name[0] = '\0';
  if (!getLocale()) return 1;
  const size_t n = std::min(codeset_.size(), name.size() - 1);
  std::memcpy(name.data(), codeset_.data(), n);
  name[n] = '\0';
  return 0;
}

iconv_t Locale::converter(const char* to, const char* from) {
  for (int i = 0; i < cached_count_; ++i)
    if (cached_[i].to == to && cached_[i].from == from) return cached_[i].cd;
  const iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
  // Three directions are in use; a fourth pair takes the last place.
  if (cached_count_ == static_cast<int>(std::size(cached_))) iconv_close(cached_[--cached_count_].cd);
  cached_[cached_count_++] = Cached{to, from, cd};
  return cd;
}

void Locale::reset() {
  for (int i = 0; i < cached_count_; ++i) iconv_close(cached_[i].cd);
  cached_count_ = 0;
  if (handle_) freelocale(handle_);
  handle_ = nullptr;
  asked_ = false;
  codepage_ = 0;
  codeset_.clear();
}

int Convert_toUTF8_wopt(std::span<char> result, std::string_view source, int options) {
  return convert(kToUtf8, kUtf8Name, nullptr, result, source, options);
}

int Convert_fromUTF8(std::span<char> result, std::string_view source) {
  return convert(kFromUtf8, nullptr, kUtf8Name, result, source, kConvertStrict);
}

int Convert_UnicodeToUTF8_wopt(std::span<char> result, std::string_view source, int options) {
  return convert(kUnicodeToUtf8, kUtf8Name, kUnicodeName, result, source, options);
}

std::string utf8_from_utf16(std::string_view utf16) {
  // A unit gives at most three bytes, a pair of them four.
  std::string out(utf16.size() / 2 * 3 + sizeof kReplacement, '\0');
  out.resize(static_cast<size_t>(run_decoder<decode_utf16>(out, utf16, kConvertSubstitute, 2).written));
  return out;
}

}  // namespace qrx
