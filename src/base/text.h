// Text helpers: trimming, case, padding, option abbreviations, tokenising,
// word tables, number conversion and printable copies for traces. Results are
// std::string values owned by the caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qrx {

// `text` without the characters of `set` (default one blank; first 19 used) at
// the ends chosen by `mode`: 'B' both, 'L' leading, 'T' or 0 trailing; either case.
std::string u_stripx(std::string_view text, char mode = 'T', const char* set = nullptr);

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

// Flags of us_ps.
enum : int {
  kPsQuote = 1,        // put single quotes around the copy
  kPsLength = 2,       // append the full length
  kPsCompressed = 4,   // compressed printable form
  kPsPrintable = 8,    // plain printable form
  kPsSecondBuffer = 16 // accepted for callers that alternate buffers; no effect
};

// A printable copy of `text` for traces: at most `maximum` characters (201 when
// outside 1..200), shaped by the kPs* flags; otherwise trimmed of white space.
std::string us_ps(std::string_view text, int maximum, int flags);

// The hexadecimal number at the start of `text` (an optional leading double
// quote skipped; stops at the first other character); 0 for none.
long long u_hex2long(const char* text);

// Base-10 conversion like strtoll; clears errno and `*value_out`; returns -1
// when either argument is missing, else errno (34 on overflow, value saturated).
int qrxstrtoll(const char* text, long long* value_out);

// The fixed-width field `field` (width bytes, stops at a NUL) with trailing blanks removed.
std::string u_chr2str(const char* field, std::size_t width);

// Copies `text` into the fixed-width `field`, blank-padded, cut at `width`; no terminator.
void u_str2chr(std::string_view text, char* field, std::size_t width);

// `text` without trailing blanks, right-aligned with leading blanks to `width`
// characters; a longer text is returned whole.
std::string just_right(std::string_view text, std::size_t width);

// How many of the first `limit` bytes of UTF-8 `text` to keep so that the
// cut falls before a character, never inside one.
std::size_t utf8_cut_length(std::string_view text, std::size_t limit);

// The decimal text `number` (no blanks) in at most `width` characters:
// decimal places are given up first, never digits of the whole part; empty
// when the whole part does not fit.
std::string_view fit_number(std::string_view number, std::size_t width);

// Lower- and upper-case copies (ASCII).
std::string u_strlower(std::string_view text);
std::string u_strupper(std::string_view text);

}  // namespace qrx
