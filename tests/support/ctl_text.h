// Test helper for control-file texts written compactly on one line.
#pragma once

#include <string>

namespace qrx::testing {

// `text` with every "; " ending its line, so that each statement stands on a
// line of its own (the reader ends a line's statements at the first ";").
inline std::string one_statement_per_line(std::string text) {
  for (std::size_t p = 0; (p = text.find("; ", p)) != std::string::npos;) text.replace(p, 2, ";\n");
  return text;
}

}  // namespace qrx::testing
