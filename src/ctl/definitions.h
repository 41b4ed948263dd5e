// The definitions read from one set of control files: the cursors (a
// cursor_set), the dictionary, the distributors and the settings PROCESS.CTL
// and COLLECT.CTL give, and the expression engine that evaluates them. The parsers fill a caller's
// Definitions; its owner (the collector's start-up, qrxprobe, a test) keeps
// every record alive, and pointers into a chain stay valid until that chain
// is parsed again or the object is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "expr/context.h"
#include "qrx/cursor_set.h"
#include "qrx/dict.h"
#include "qrx/distributor.h"

namespace qrx {

struct Definitions : cursor_set {
  // Every dictionary element, in file order.
  std::vector<std::unique_ptr<dict_element>> dict_anchor;
  // All distributors in file order.
  std::vector<std::unique_ptr<distributor>> distrib_anchor;
  // The distributor named "collector" (on distrib_anchor), or null.
  distributor* collector_at = nullptr;
  // Sleep limit of the scheduler in seconds.
  int32_t sleep_time = 10;
  // Go-home time in relative seconds (0 when none): set by the go_home clause.
  int32_t go_home_time = 0;
  // Set when a distributor's name begins with "evaluator".
  bool have_evaluator = false;
  // Set when PROCESS.CTL named the machine identity (machine_id.hostname).
  bool machine_id_from_control = false;
  // The expression engine that evaluates these definitions' conditions and
  // procedures; its names lead to these cursors once installed.
  ExprContext expr;

  // The element named `name` (exact), or null.
  const dict_element* find_dict_element(const std::string& name) const;

  // Removes every distributor and clears `collector_at` and `have_evaluator`.
  void del_distributor();
};

}  // namespace qrx
