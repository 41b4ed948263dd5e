#include "runtime/trace.h"

namespace qrx {

int16_t trace_all = 0;
int16_t trace_something = 0;
int16_t my_trace_all[my_trace_all_l + 1] = {};

void trace_set(const char*) {}

}  // namespace qrx
