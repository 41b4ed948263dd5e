#include "base/dump.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/log.h"

namespace qrx {

namespace {

constexpr std::size_t kBytesPerLine = 16;
constexpr int kHexWidth = 35;  // 16 bytes: 32 digits and 3 group blanks
constexpr std::size_t kHexFallbackBytes = 32;
constexpr std::size_t kMinPrintableRun = 4;

// A zero byte is not one of the listed characters (strchr would find the terminator).
bool kept(unsigned char c) {
  return c != 0 && (std::isalnum(c) || std::strchr("\\/,()\"'=-$#", c) != nullptr);
}

}  // namespace

std::string u_hex_format(std::string_view data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(data.size() * 2 + data.size() / 4);
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % 4 == 0) out.push_back(' ');
    const auto byte = static_cast<unsigned char>(data[i]);
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0f]);
  }
  return out;
}

std::string u_printable(std::string_view data, char mode) {
  const bool compress = mode == 'c';
  std::string out;
  std::size_t white = 0;
  std::size_t run = 0;
  std::size_t longest_run = 0;
  for (char ch : data) {
    const auto c = static_cast<unsigned char>(ch);
    char shown;
    if (kept(c)) {
      shown = ch;
      longest_run = std::max(longest_run, ++run);
    } else {
      run = 0;
      if (std::isspace(c)) {
        ++white;
        shown = ' ';
      } else {
        shown = '.';
      }
    }
    if (compress && (shown == ' ' || shown == '.') && !out.empty() && out.back() == shown)
      continue;
    out.push_back(shown);
  }
  if (compress && !data.empty() && longest_run < kMinPrintableRun && white * 2 <= data.size())
    return u_hex_format(data.substr(0, std::min(data.size(), kHexFallbackBytes)));
  return out;
}

void u_print_dumpx(const char* id, const void* data, std::size_t length) {
  if (!data) return;
  if (!id || !*id) id = "upx0100";
  const std::string_view bytes(static_cast<const char*>(data), length);
  for (std::size_t offset = 0; offset < length; offset += kBytesPerLine) {
    const std::string_view line = bytes.substr(offset, kBytesPerLine);
    u_msg(nullptr, nullptr, 0, "tTP", id, "%03zx: %-*s *%s*\n", offset, kHexWidth,
          u_hex_format(line).c_str(), u_printable(line, 'p').c_str());
  }
}

}  // namespace qrx
