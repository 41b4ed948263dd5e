#include "qrx/distributor.h"

namespace qrx {

std::vector<std::unique_ptr<distributor>> distrib_anchor;
distributor* collector_at = nullptr;
int32_t sleep_time = 10;
bool have_evaluator = false;

void del_distributor() {
  distrib_anchor.clear();
  collector_at = nullptr;
  have_evaluator = false;
}

}  // namespace qrx
