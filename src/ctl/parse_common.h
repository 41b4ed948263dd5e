// Pieces shared by the control-file parsers: the start and end banners, the
// display time, decimal values of words and text trimming.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/messages.h"

namespace qrx {

// Identifiers and texts of one parser's banners.
struct ParseBanner {
  const char* start_ids[3];
  const char* start_format;  // one "%s": the display time
  const char* end_ids[3];
  const char* end_format;    // one "%s": the display time
};

// Writes dashes, the start line and dashes (severity 'i').
void write_start_banner(const ParseBanner& banner);
// Writes dashes, the end line and dashes (severity 'i').
void write_end_banner(const ParseBanner& banner);

// The current time as YYYY/MM/DD hh:mm:ss, from the clock seam.
std::string display_time();

// Decimal value of a whole number word (optional sign, digits); nothing when
// the word is not one. Values beyond the 32-bit range are clamped.
std::optional<int32_t> decimal_value(std::string_view word);

// The next blank-delimited word of `text`, which advances past it; empty at
// the end.
std::string_view next_word(std::string_view& text);

// `text` with every character of `chars` removed from both ends.
std::string_view strip(std::string_view text, std::string_view chars);

}  // namespace qrx
