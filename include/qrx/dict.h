// Dictionary elements: named values defined in DICT.CTL. The chain
// `dict_anchor` of the definitions that read the file owns every element;
// elements never move once linked.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qrx {

constexpr int kDictNameMax = 31;  // characters of an element name
constexpr int kNumericLength = 21;

// One dictionary element.
struct dict_element {
  std::string name;                    // at most kDictNameMax characters
  uint16_t numeric = 0;                // 2 for INTEGER, INT64, FLOAT or `number`; 0 for CHAR
  uint16_t typed = 0;                  // 1 once a type statement was accepted
  int16_t length = 0;                  // CHAR length 1..2048; 21 for numeric types
  std::optional<std::string> initial;  // CHAR: exactly `length` characters, value right-aligned
};

}  // namespace qrx
