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

// The switches and slots at one moment, to be put back later.
struct TraceState {
  int16_t all = 0;
  int16_t something = 0;
  int16_t slots[my_trace_all_l + 1] = {};
};

// The switches and slots as they now stand.
TraceState saved_trace_state();

// Puts back switches and slots that saved_trace_state returned.
void restore_trace_state(const TraceState& state);

// Level of trace slot `slot` (0 when out of range).
inline int trace_level(int slot) {
  return slot >= 0 && slot <= my_trace_all_l ? my_trace_all[slot] : 0;
}

}  // namespace qrx
