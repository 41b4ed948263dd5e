#include "exec/agent_row.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "base/log.h"
#include "base/text.h"
#include "base/trace.h"

namespace qrx {

namespace {

constexpr std::size_t kTimestampWidth = 16;
constexpr std::size_t kMaxNumberText = 2048;
constexpr int kDumpValueMax = 2047;  // longer stored values are not shown in the column table

// Little-endian bytes of `value`, whatever the host order.
template <typename T>
void put_le(char* out, T value) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
  auto bits = std::bit_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i, bits >>= 8) out[i] = static_cast<char>(bits & 0xff);
}

bool traced(const curs& c) { return c.trace || trace_all; }

std::size_t stored_width(const columns& col) {
  return static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0));
}

// The stored text of a number without its leading blanks, at most 2048 characters.
std::string number_text(const columns& col, const char* stored) {
  std::string_view text(stored + col.stored_offset, stored_width(col));
  text = text.substr(0, std::min(text.find('\0'), text.size()));
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, kMaxNumberText));
}

// strtol of a 32-bit host: out-of-range values, either side, become INT_MAX.
int32_t to_int(const curs& c, const std::string& text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  int error = errno;
  if (error == 0 && (value > INT32_MAX || value < INT32_MIN)) error = ERANGE;
  if (error == 0) return static_cast<int32_t>(value);
  if (traced(c))
    PRINT('t', "dmk3800", "CONVERT_TO_INT strtol(%s) returned (%d) errno = %d (%s)\n",
          text.c_str(), value > 0 ? INT32_MAX : INT32_MIN, error, std::strerror(error));
  return error == ERANGE ? INT32_MAX : 0;
}

int64_t to_int64(const curs& c, const std::string& text) {
  const bool trace = traced(c);
  if (trace) PRINT('t', "dmk3740", "Begin to CONVERT_TO_INT64 \n");
  long long value = 0;
  const int error = qrxstrtoll(text.c_str(), &value);
  if (error != 0) {
    if (trace) {
      PRINT('t', "dmk3780", "CONVERT_TO_INT64 errno!=0 \n");
      PRINT('t', "dmk3770",
            "CONVERT_TO_INT64 qrxstrtoll(%s,&llIntegerLong) llIntegerLong is (%lld) errno = %d \n",
            text.c_str(), value, error);
    }
    if (error == ERANGE) value = LLONG_MAX;
  } else if (trace) {
    PRINT('t', "dmk3780", "CONVERT_TO_INT64 errno==0 \n");
    PRINT('t', "dmk3790", "CONVERT_TO_INT64 strtoll(%s) returned (%lld) \n", text.c_str(), value);
  }
  if (trace) PRINT('t', "dmk3750", "CONVERT_TO_INT64 Complete\n");
  return value;
}

void put_timestamp(const curs& c, const columns& col, char* field, const char* stored) {
  const std::string_view text(stored + col.stored_offset, stored_width(col));
  std::string normal(kTimestampWidth, '0');
  us_normalizeDateTime(text, normal);
  normal.resize(kTimestampWidth, '0');
  // A field narrower than the timestamp gets only what fits.
  std::memcpy(field, normal.data(), std::min<std::size_t>(agent_width(col), kTimestampWidth));
  if (traced(c))
    PRINT('t', "dmk3735", "TS! Timestamp = %.*s , converted to = %.*s\n",
          static_cast<int>(text.size()), text.data(), static_cast<int>(kTimestampWidth),
          normal.data());
}

// Text: as stored, or widened (blank-filled) or shortened to the output
// length; right-aligned numbers stay right-aligned.
void put_text(const columns& col, char* field, const char* stored) {
  const std::size_t s = stored_width(col);
  const char* from = stored + col.stored_offset;
  if (col.output_length == 0) {
    std::memcpy(field, from, s);
    return;
  }
  const std::size_t l = col.output_length;
  const bool right = col.col_type == kColNumeric && s > 0 && from[0] == ' ';
  if (l >= s) {
    std::memset(field, ' ', l);
    std::memcpy(field + (right ? l - s : 0), from, s);
  } else if (right) {
    // A number keeps its whole part or becomes 0, never its last digits.
    std::string_view number(from, s);
    number.remove_prefix(std::min(number.find_first_not_of(' '), number.size()));
    number = fit_number(number, l);
    if (number.empty()) number = "0";
    std::memset(field, ' ', l);
    std::memcpy(field + l - number.size(), number.data(), number.size());
  } else {
    // A text is cut before a character that does not fit, never inside it.
    const std::size_t kept = utf8_cut_length(std::string_view(from, s), l);
    std::memcpy(field, from, kept);
    std::memset(field + kept, ' ', l - kept);
  }
}

const char* conversion_name(uint16_t conversion) {
  switch (conversion) {
    case kSendInt64: return "Converted to integer 64";
    case kSendInt: return "Converted to integer";
    case kSendFloat: return "Converted to float";
    case kSendNone: return "Will not be sent";
    case kSendTimestamp: return "Converted TIMESTAMP";
    default: return "UnConverted text";
  }
}

void dump_format(const curs& c, const char* stored) {
  PRINT('t', "dmk3725", "Formatted row data for %s\n", c.name.c_str());
  for (const auto& col : c.cols) {
    const std::string value = col->stored_length > kDumpValueMax
                                  ? std::string("?????????")
                                  : std::string(stored + col->stored_offset, stored_width(*col));
    PRINT('t', "dmk3730", "#%d = %s(%d,%d) %s : %s\n", col->ordinal, col->name.c_str(),
          static_cast<int>(col->output_offset), static_cast<int>(agent_width(*col)),
          conversion_name(col->send_conversion), value.c_str());
  }
}

}  // namespace

uint32_t agent_width(const columns& col) {
  switch (col.send_conversion) {
    case kSendInt: return 4;
    case kSendInt64:
    case kSendFloat: return 8;
    case kSendNone: return 0;
    case kSendTimestamp: return col.output_length ? col.output_length : kTimestampWidth;
    default: return col.output_length ? col.output_length : stored_width(col);
  }
}

uint32_t get_row_size(curs& c) {
  uint32_t offset = 0;
  for (auto& owned : c.cols) {
    columns& col = *owned;
    switch (col.send_conversion) {
      case kSendInt:
      case kSendInt64:
        col.output_length = 0;
        offset += slk_bytes(offset, 4);
        break;
      case kSendFloat:
        col.output_length = 0;
        offset += slk_bytes(offset, 8);
        break;
      case kSendNone:
        col.output_offset = 0;
        continue;
      default:
        break;
    }
    col.output_offset = offset;
    offset += agent_width(col);
  }
  return offset;
}

int make_row(curs& c, char* out, const char* stored) {
  if (c.show_cursor && !c.format_dumped) {
    dump_format(c, stored);
    c.format_dumped = 1;
  }
  for (const auto& owned : c.cols) {
    const columns& col = *owned;
    char* field = out + col.output_offset;
    switch (col.send_conversion) {
      case kSendInt: put_le(field, to_int(c, number_text(col, stored))); break;
      case kSendInt64: put_le(field, to_int64(c, number_text(col, stored))); break;
      case kSendFloat: put_le(field, std::atof(number_text(col, stored).c_str())); break;
      case kSendTimestamp: put_timestamp(c, col, field, stored); break;
      case kSendNone: break;
      default: put_text(col, field, stored); break;
    }
  }
  return 0;
}

}  // namespace qrx
