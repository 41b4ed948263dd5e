// Re-selection of cursor versions before each collection pass: every slot
// with conditional sections takes the version whose conditions hold now,
// and the derived clauses are resolved again after any change. Also installs
// how expressions find cursors and percent variables.
#pragma once

#include <string>

#include "ctl/definitions.h"

namespace qrx {

class ExprContext;

// Selects every slot's version (not virtual, not "%CURSOR", not skipped);
// after a change resolves decodes, maths, iterate-where, loads and qualified
// names again (loads against `defs`' dictionary) and rebuilds every
// host-variable merge. 0, or 1 when a version could not be decided, a pass
// failed or there are no cursors.
int tune_up_cursor_versions(Definitions& defs, const std::string& time);

// Installs the cursors and the percent cursor of `cursors`, which outlives
// `cx`'s use of them, as the names the expressions of `cx` read (set_expr_names).
void install_expr_names(ExprContext& cx, cursor_set& cursors);

// Checks that every CURSOR.COLUMN a conditional section's condition names is
// a column of an existing cursor (of any of its versions) and evaluable by
// `defs`' expression engine: such a condition could not be evaluated at any pass. 0, or 1 after logging each fault.
int edit_conditions(Definitions& defs);

}  // namespace qrx
