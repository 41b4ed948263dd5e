#include "agent/status_records.h"

#include "qrx/curs.h"
#include "qrx/distributor.h"

namespace qrx {

std::vector<char> cursor_status_rows() {
  return std::vector<char>(cur_anchor.size() * kCursorStatusSize, 0);
}

std::vector<char> distributor_status_rows() { return {}; }

}  // namespace qrx
