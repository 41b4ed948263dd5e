#include "base/messages.h"

#include "base/log.h"

namespace qrx {

void report_error(const ParseMsg& m) { PRINT('e', m.id, "%s", m.text); }

int report_pass(bool ok, const ParseMsg& success, const ParseMsg& failure) {
  if (ok) {
    PRINT('i', success.id, "%s", success.text);
    return 0;
  }
  report_error(failure);
  return 1;
}

}  // namespace qrx
