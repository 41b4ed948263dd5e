#include "base/clock.h"

#include <poll.h>
#include <unistd.h>

#include "base/signals.h"

namespace qrx {
namespace {

class SystemClock : public Clock {
 public:
  std::time_t now() override { return std::time(nullptr); }
  std::chrono::system_clock::time_point now_precise() override {
    return std::chrono::system_clock::now();
  }
  void sleep_seconds(unsigned seconds) override { ::sleep(seconds); }
};

SystemClock system_clock;
Clock* current = &system_clock;

}  // namespace

Clock& the_clock() { return *current; }

PreciseTime precise_now() {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          current->now_precise().time_since_epoch())
                          .count();
  return {static_cast<std::time_t>(micros / 1000000), static_cast<uint32_t>(micros % 1000000)};
}

void pause_until(std::chrono::system_clock::time_point until) {
  const auto left = until - std::chrono::system_clock::now();
  if (left <= std::chrono::system_clock::duration::zero()) return;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec ts{static_cast<std::time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  // The wake pipe ends the pause also for a signal that came just before it
  // began; EINTR: the signal is the caller's to see.
  pollfd wake{signal_wake_fd(), POLLIN, 0};
  if (::ppoll(&wake, wake.fd >= 0 ? 1 : 0, &ts, nullptr) > 0) woken_by_signal();
}

void set_clock(Clock* clock) { current = clock ? clock : &system_clock; }

}  // namespace qrx
