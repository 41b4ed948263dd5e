// The seam between the collector and wall-clock time: the current time and
// sleeping. Production uses the system clock; tests install their own.
#pragma once

#include <ctime>

namespace qrx {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since the epoch.
  virtual std::time_t now() = 0;
  // Sleeps about `seconds`; returns early when a signal arrives.
  virtual void sleep_seconds(unsigned seconds) = 0;
};

// The clock in force; never null.
Clock& the_clock();

// Installs `clock` (not owned; null restores the system clock).
void set_clock(Clock* clock);

}  // namespace qrx
