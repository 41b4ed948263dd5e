// Fixed messages of start-up passes: one identifier with its text, and the
// one summary line that ends an editing pass. Every layer's passes use them.
#pragma once

namespace qrx {

// A fixed message: identifier and text.
struct ParseMsg {
  const char* id = nullptr;
  const char* text = nullptr;
};

// Logs `m` with severity 'e'.
void report_error(const ParseMsg& m);

// Ends a start-up pass with its one summary line: `success` (severity 'i')
// when `ok`, else `failure` (severity 'e'). Returns 0 when `ok`, else 1.
int report_pass(bool ok, const ParseMsg& success, const ParseMsg& failure);

}  // namespace qrx
