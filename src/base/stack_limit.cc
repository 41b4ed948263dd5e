#include "base/stack_limit.h"

#include "base/log.h"

namespace qrx {
namespace {

class SystemStackLimit : public StackLimitCalls {
 public:
  int get(rlimit* limit) override { return getrlimit(RLIMIT_STACK, limit); }
  int set(const rlimit& limit) override { return setrlimit(RLIMIT_STACK, &limit); }
};

// A limit as the log shows it: unlimited as -1.
long long shown(rlim_t value) {
  return value == RLIM_INFINITY ? -1 : static_cast<long long>(value);
}

}  // namespace

StackLimitCalls& system_stack_limit() {
  static SystemStackLimit calls;
  return calls;
}

void adjust_stack_limit(StackLimitCalls& calls) {
  rlimit limit{};
  if (int rc = calls.get(&limit); rc != 0) {
    PRINT('a', "cml1526", "Stack: getrlimit rc = %d \n", rc);
    return;
  }
  PRINT('a', "cml1526", "Stack: soft limit: %lld  hard limit: %lld \n", shown(limit.rlim_cur),
        shown(limit.rlim_max));
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= kStackSoftLimit) return;
  limit.rlim_cur = kStackSoftLimit;
  if (int rc = calls.set(limit); rc != 0)
    PRINT('a', "cml1526", "Stack: setrlimit rc = %d \n", rc);
  else
    PRINT('a', "cml1526", "Stack: soft limit set to: %lld  \n", shown(limit.rlim_cur));
}

}  // namespace qrx
