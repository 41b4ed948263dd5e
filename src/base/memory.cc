#include "base/memory.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/log.h"

namespace qrx {

namespace {

constexpr int kNoMemStatus = 98;
constexpr int kAllocatorStatus = 4;

// A new_handler is not told the caller or the size, so the line names the
// allocator itself. _Exit: destructors could allocate again.
void out_of_memory() {
  PRINT('s', "utm5400", "Memory allocation error at:%s.%d - %s for %d bytes \n", "operator new",
        0, "new_handler", 0);
  std::fflush(nullptr);
  std::_Exit(kAllocatorStatus);
}

}  // namespace

void no_mem() {
  PRINT('s', "pgn0001", "No memory\n");
  std::exit(kNoMemStatus);
}

void install_new_handler() { std::set_new_handler(out_of_memory); }

}  // namespace qrx
