#include "base/trace.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace qrx {

int16_t trace_all = 0;
int16_t trace_something = 0;
int16_t my_trace_all[my_trace_all_l + 1] = {};

namespace {

// 'd' = 1 ... 'z' = 23; letters up to 'c' and anything else give 0.
int16_t letter_level(char c) {
  const int level = std::tolower(static_cast<unsigned char>(c)) - 99;
  return static_cast<int16_t>(level > 0 && level <= 23 ? level : 0);
}

}  // namespace

void trace_set(const char* text) {
  if (!text) return;
  if (*text == '-') ++text;
  // Start-up hands over "-ddd..." words matched ignoring case, so 'D' counts too.
  if (*text == 'd' || *text == 'D') {
    trace_all = 1;
    trace_something = 1;
  }
  const char* levels = *text ? text + 1 : text;
  bool ended = false;
  for (int slot = 0; slot <= my_trace_all_l; ++slot) {
    if (!ended && levels[slot] == '\0') ended = true;
    my_trace_all[slot] = ended ? 0 : letter_level(levels[slot]);
  }
}

void reset_trace_state() {
  trace_all = 0;
  trace_something = 0;
  for (int16_t& slot : my_trace_all) slot = 0;
}

TraceState saved_trace_state() {
  TraceState state;
  state.all = trace_all;
  state.something = trace_something;
  std::copy(std::begin(my_trace_all), std::end(my_trace_all), state.slots);
  return state;
}

void restore_trace_state(const TraceState& state) {
  trace_all = state.all;
  trace_something = state.something;
  std::copy(std::begin(state.slots), std::end(state.slots), my_trace_all);
}

}  // namespace qrx
