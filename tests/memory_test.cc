#include "base/memory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <new>
#include <vector>

#include "base/log.h"

namespace qrx {
namespace {

TEST(MemoryDeathTest, NoMemLogsAndExitsWith98) {
  close_PRINT();
  EXPECT_EXIT(no_mem(), ::testing::ExitedWithCode(98), "PGN0001S \\([0-9]+\\) No memory");
}

TEST(MemoryDeathTest, NewHandlerLogsAndExitsWith4) {
  close_PRINT();
  EXPECT_EXIT(
      {
        install_new_handler();
        std::get_new_handler()();
      },
      ::testing::ExitedWithCode(4), "UTM5400S \\([0-9]+\\) Memory allocation error at:");
}

#if !defined(__SANITIZE_ADDRESS__)
// Allocates more than the address-space limit allows.
void allocate_beyond_limit() {
  install_new_handler();
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = std::size_t{1} << 30;
  setrlimit(RLIMIT_AS, &limit);
  std::vector<char> huge(std::size_t{2} << 30);
  huge[0] = 1;
}

TEST(MemoryDeathTest, FailedContainerAllocationEndsWithStatus4) {
  close_PRINT();
  EXPECT_EXIT(allocate_beyond_limit(), ::testing::ExitedWithCode(4), "UTM5400S");
}
#endif

}  // namespace
}  // namespace qrx
