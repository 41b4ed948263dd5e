// Cutting a control-file statement into words, keyword lookup and the
// syntax-error text. A scanner works on a statement buffer owned by its
// caller; the word it returns points into that buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qrx {

// Word class bits (ParseWord::flags).
constexpr uint16_t kWordHostVar = 1;     // preceded by the host-variable mark ":"
constexpr uint16_t kWordParen = 2;       // "(" or ")"
constexpr uint16_t kWordLogical = 4;     // built from < > = ~
constexpr uint16_t kWordComma = 8;
constexpr uint16_t kWordArith = 16;      // + - * /
constexpr uint16_t kWordDotStar = 64;    // ".*" inside a host variable
constexpr uint16_t kWordLiteral = 128;   // quoted string or number
constexpr uint16_t kWordConcat = 256;    // "||"
constexpr uint16_t kWordQualified = 512; // contains "."

// Number flags (ParseWord::number_flags).
constexpr uint16_t kNumPoint = 1;
constexpr uint16_t kNumExponent = 2;
constexpr uint16_t kNumNumber = 4;
constexpr uint16_t kNumSingleQuote = 8;
constexpr uint16_t kNumDoubleQuote = 16;

// The word found by the last scan.
struct ParseWord {
  std::string_view text;      // inside the statement buffer, after a host-variable mark
  uint16_t len = 0;
  uint16_t position = 0;      // offset from the start of the statement buffer
  uint16_t flags = 0;
  int16_t exponent = 0;
  uint16_t number_flags = 0;

  std::string str() const { return std::string(text); }
};

class WordScanner {
 public:
  // Scans `buffer` (not owned; an "e" that opens a number's exponent is
  // changed to "E" in place).
  explicit WordScanner(std::string& buffer) : buffer_(buffer) {}

  // Scans the next word from offset `start`; returns the characters consumed
  // from `start` to the end of the word (0 when only blanks remain, -1 after
  // a syntax error, which sets `failed` and `message`).
  int get_word(std::size_t start);

  // get_word at `this_start`, advancing it past the word.
  int next();

  // The text from `this_start` on with leading blanks skipped and trailing
  // blanks removed (what statement-level clauses take).
  std::string rest() const;

  // Builds the syntax-error message for `text` about the word at `position`
  // of length `len` (0: no word), sets `failed`; returns -1.
  int errmsg(const char* text, std::size_t position, std::size_t len);

  // Starts a new statement: resets the position, `failed` and `message`; also
  // `parens` unless `keep_parens`.
  void reset(bool keep_parens = false);

  ParseWord parse_word;
  std::size_t this_start = 0;
  int this_len = 0;
  int parens = 0;
  bool failed = false;
  std::string message;
  char local_hv = ':';
  char not_sign = '~';

 private:
  int ordinary_word(std::size_t start, std::size_t p, uint16_t flags);
  int number_word(std::size_t start, std::size_t p);
  int finish(std::size_t start, std::size_t begin, std::size_t end, uint16_t flags);

  std::string& buffer_;
};

// The plain splitter for script texts: blanks and one comma skipped, then a
// quoted item (quote ', " or tab to its closer) or a run up to a blank or a
// comma. Sets word.text and word.flags (8 quoted); returns the item's length
// and stores in `consumed` the characters taken from `start`.
int simple_get_word(std::string_view text, std::size_t start, ParseWord& word,
                    std::size_t* consumed = nullptr);

// Copies the text between the first "(" and the next ")" of `text` (each
// searched within 3100 characters) into `out`; returns its length, or 0 with
// "cat1925" / "cat1930" when a parenthesis is missing.
int w_o_parens(std::string_view text, std::string& out);

// Pads `text` with blanks to `width` characters; returns the blanks added.
int pad_blanks(std::string& text, std::size_t width);

// Keyword code of `word` in a table that accepts exactly the all-lower-case
// and all-upper-case spellings of each keyword; 0 when absent.
struct KeywordSpelling {
  const char* word;  // lower-case spelling
  int code;
};
int lookup_two_spellings(std::string_view word, const KeywordSpelling* table, std::size_t count);

// True when `word` is `keyword` in all lower or all upper case.
bool is_two_spelling(std::string_view word, std::string_view keyword);

}  // namespace qrx
