// Decode statements and the conditions written like them (iterate_where and
// the WHERE of a load): the text after the keyword becomes decode records
// that the cursor owns.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "qrx/curs.h"

namespace qrx {

// Parses one decode statement of `c` (text after "decode") and appends its
// entry to the decode record of its column on `chain`, creating the record
// at the tail when the column has none. 0, or 1 after logging.
int parse_decode(curs& c, std::string_view text, std::vector<std::unique_ptr<decode>>& chain);

// parse_decode onto the cursor's own decode chain.
int parse_decode(curs& c, std::string_view text);

// Parses an iterate_where condition into the cursor's iterate-where record;
// 0, or 1 after logging (also for a second one).
int parse_iterate_where(curs& c, std::string_view text);

// The text that completes a bare condition into a decode statement.
inline constexpr std::string_view kConditionTail = " , ' '";

}  // namespace qrx
