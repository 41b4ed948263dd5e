// The seam between the collector and wall-clock time: the current time and
// sleeping. Production uses the system clock; tests install their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

namespace qrx {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since the epoch.
  virtual std::time_t now() = 0;
  // The same instant with its fraction of a second, for durations; a clock
  // that only counts seconds gives whole ones.
  virtual std::chrono::system_clock::time_point now_precise() {
    return std::chrono::system_clock::from_time_t(now());
  }
  // Sleeps about `seconds`; returns early when a signal arrives.
  virtual void sleep_seconds(unsigned seconds) = 0;
};

// The clock in force; never null.
Clock& the_clock();

// A time split for fixed records: whole seconds since the epoch and the
// microseconds past them.
struct PreciseTime {
  std::time_t seconds = 0;
  uint32_t micros = 0;
};

// The clock in force's now_precise(), split.
PreciseTime precise_now();

// Sleeps until `until` on the system clock, or less when a signal arrives or
// one waits (signal_waiting()); callers loop on their own condition.
void pause_until(std::chrono::system_clock::time_point until);

// Installs `clock` (not owned; null restores the system clock).
void set_clock(Clock* clock);

}  // namespace qrx
