// Reading an SQL text the way the server will, far enough to tell where a
// value merged at its end would fall (plain SQL, a quoted text, a comment),
// and writing a value so that it stays data there. The host-variable merge
// asks before every value it writes.
#pragma once

#include <string>
#include <string_view>

namespace qrx {

// What the text read so far leaves open at its end.
struct SqlPlace {
  enum Kind {
    kCode,          // plain SQL
    kQuoted,        // inside '...' or "..."
    kLineComment,   // after "--" on the same line
    kBlockComment,  // inside "/* ... */"
    kDollarQuoted,  // inside "$tag$ ... $tag$"
    kUnknown,       // a form this reader does not follow (nested comment, q'...')
  };
  Kind kind = kCode;
  char quote = 0;  // kQuoted: the quote that ends the text
  // kQuoted: an E'...' text, where a backslash escapes the next character.
  // kCode: a '...' written next would be such a text (after a lone E, or
  // right after the closing quote of one, which a quote would continue).
  bool backslash = false;
  bool escape_open = false;  // kQuoted: the text ends in an escaping backslash
};

// The place at the end of `sql`, read as standard SQL: '...' and "..." with
// a doubled quote inside, E'...' with backslash escapes as well, "--" and
// "/* */" comments, PostgreSQL's $tag$ texts. A closing quote at the very end
// counts as closed (a quote written next continues that text).
SqlPlace sql_place_after(std::string_view sql);

// True when `text`, blanks around it aside, is a number: an optional sign,
// digits with at most one point among them, an optional exponent ("e", an
// optional sign, digits).
bool is_sql_number(std::string_view text);

// True when `text`, blanks aside, is "(" and one or more quoted texts or
// numbers separated by "," and then ")": an in-list as the collector writes it.
bool is_sql_value_list(std::string_view text);

// `value` with every `quote` doubled, and every backslash too when
// `backslash`: the form that stays inside a text closed by `quote`.
std::string doubled_quotes(std::string_view value, char quote, bool backslash);

}  // namespace qrx
