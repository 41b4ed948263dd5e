// Normalising date and time texts into the agent's 16-character timestamp
// CYYMMDDhhmmssmmm (year minus 1900 as three digits, milliseconds last).
#pragma once

#include <string>
#include <string_view>

namespace qrx {

// Converts `text` (at most 99 characters used) into `out` (16 characters):
// compact digit forms, m/d/y, y/m/d and d-m-y dates with an optional time.
// Returns 0, or an error number with `out` set to "DateFmtErr=<n>" padded to 16.
// An empty text gives 16 blanks.
int us_normalizeDateTime(std::string_view text, std::string& out);

}  // namespace qrx
