// Process-wide trace switches and the ten trace slots. Set from the command
// line, COLL_DEBUG and the trace control file; read everywhere.
#pragma once

#include <cstdint>

namespace qrx {

extern int16_t trace_all;        // everything is traced
extern int16_t trace_something;  // at least one trace is on
constexpr int my_trace_all_l = 9;
extern int16_t my_trace_all[my_trace_all_l + 1];  // slot levels: 0 off, 'd' = 1 ... 'z' = 23

// Sets the switches and slots from a text such as "-dddz" or "azzzzzzzzz".
void trace_set(const char* text);

// Switches both switches and every slot off (start-up state; tests use it).
void reset_trace_state();

// Level of trace slot `slot` (0 when out of range).
inline int trace_level(int slot) {
  return slot >= 0 && slot <= my_trace_all_l ? my_trace_all[slot] : 0;
}

}  // namespace qrx
