// Text helpers: trimming, case, comparison, padding, option abbreviations and
// tokenising. Results are std::string values owned by the caller.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qrx {

// Case-insensitive abbreviation test: 0 when the first characters of `text`
// (between min_length and max_length of them) begin `keyword`; 300 when
// max_length >= 32, 301 when the length is out of range, else the byte difference.
int u_chktoken(const char* text, const char* keyword, int max_length, int min_length);

// Splits `text` into words at `delimiters` (default blank, newline, tab and
// both quotes); an opener (" ' ( { [ <) runs to its matching closer.
std::vector<std::string> u_tokenset(std::string_view text, const char* delimiters = nullptr);

// Position from 1 of `word` in `table` (count entries, or up to an empty
// entry), lower-casing the word unless flag 1; flag 2: table is sorted. 0 if absent.
int u_test_word(const char* word, const char* const* table, int count, int flags);

}  // namespace qrx
