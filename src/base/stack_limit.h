// The process stack limit: start-up raises a small soft limit so that deep
// control-file nesting and large fetch buffers have room. The system calls
// sit behind a seam so that every limit can be tested.
#pragma once

#include <sys/resource.h>

namespace qrx {

// getrlimit/setrlimit for RLIMIT_STACK; both return 0 or -1 like the system calls.
class StackLimitCalls {
 public:
  virtual ~StackLimitCalls() = default;
  virtual int get(rlimit* limit) = 0;
  virtual int set(const rlimit& limit) = 0;
};

// The real system calls.
StackLimitCalls& system_stack_limit();

// Soft limit that start-up ensures (bytes).
constexpr rlim_t kStackSoftLimit = 8192000;

// Logs the limits ("cml1526") and raises a soft limit that is unlimited or
// below kStackSoftLimit to it; failures are logged and start-up goes on.
void adjust_stack_limit(StackLimitCalls& calls);

}  // namespace qrx
