#include "runtime/clock.h"

#include <unistd.h>

namespace qrx {
namespace {

class SystemClock : public Clock {
 public:
  std::time_t now() override { return std::time(nullptr); }
  void sleep_seconds(unsigned seconds) override { ::sleep(seconds); }
};

SystemClock system_clock;
Clock* current = &system_clock;

}  // namespace

Clock& the_clock() { return *current; }

void set_clock(Clock* clock) { current = clock ? clock : &system_clock; }

}  // namespace qrx
