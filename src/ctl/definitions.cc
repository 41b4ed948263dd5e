#include "ctl/definitions.h"

namespace qrx {

const dict_element* Definitions::find_dict_element(const std::string& name) const {
  for (const auto& e : dict_anchor)
    if (e->name == name) return e.get();
  return nullptr;
}

void Definitions::del_distributor() {
  distrib_anchor.clear();
  collector_at = nullptr;
  have_evaluator = false;
}

}  // namespace qrx
