#include "base/trace.h"

#include <gtest/gtest.h>

#include <array>

namespace qrx {
namespace {

struct TraceCase {
  const char* text;
  bool all;  // trace_all and trace_something switched on
  std::array<int16_t, 10> slots;
};

TEST(TraceSet, LettersSetSlotLevelsAndDSwitchesEverythingOn) {
  const TraceCase cases[] = {
      {"-dddz", true, {1, 1, 23, 0, 0, 0, 0, 0, 0, 0}},
      {"dddz", true, {1, 1, 23, 0, 0, 0, 0, 0, 0, 0}},
      {"-DDDz", true, {1, 1, 23, 0, 0, 0, 0, 0, 0, 0}},
      {"azzzzzzzzz", false, {23, 23, 23, 23, 23, 23, 23, 23, 23, 0}},
      {"xabcde", false, {0, 0, 0, 1, 2, 0, 0, 0, 0, 0}},  // up to 'c' counts as off
      {"xEZ", false, {2, 23, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"d", true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"-", false, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"x?1d", false, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"xzzzzzzzzzzzz", false, {23, 23, 23, 23, 23, 23, 23, 23, 23, 23}},
  };
  for (const TraceCase& c : cases) {
    SCOPED_TRACE(c.text);
    reset_trace_state();
    my_trace_all[9] = 7;  // slots beyond the text are cleared
    trace_set(c.text);
    EXPECT_EQ(trace_all != 0, c.all);
    EXPECT_EQ(trace_something != 0, c.all);
    for (int slot = 0; slot <= my_trace_all_l; ++slot) EXPECT_EQ(my_trace_all[slot], c.slots[slot]) << slot;
  }
  reset_trace_state();
}

TEST(TraceSet, NonDebugTextLeavesTheSwitchesAsTheyWere) {
  reset_trace_state();
  trace_all = 1;
  trace_set("azzzzzzzzz");
  EXPECT_EQ(trace_all, 1);
  EXPECT_EQ(trace_level(8), 23);
  EXPECT_EQ(trace_level(10), 0);
  EXPECT_EQ(trace_level(-1), 0);
  reset_trace_state();
}

}  // namespace
}  // namespace qrx
