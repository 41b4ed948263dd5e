// Math statements: MATH [round|noround|high|low|decimal N|initial V]... NAME
// EXPRESSION. The record built belongs to the cursor being defined.
#pragma once

#include <string_view>

#include "qrx/curs.h"

namespace qrx {

// Parses one math statement (text after "math") and appends its record to
// `c`'s maths; 0, or 1 after logging the fault.
int parse_math(curs& c, std::string_view text);

// The math statement of `c` that computes column `name`, or null.
m_anch* find_math(curs& c, std::string_view name);
const m_anch* find_math(const curs& c, std::string_view name);

}  // namespace qrx
