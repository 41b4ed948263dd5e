#include "runtime/startup.h"

#include "runtime/log.h"

namespace qrx {

int collector_main(int, char**) {
  init_PRINT();
  PRINT('a', "cml1530", "Start collecting. -------------------------------\n");
  return 0;
}

}  // namespace qrx
