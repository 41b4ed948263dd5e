#include "exec/version_tuning.h"

#include <strings.h>

#include "base/log.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "ctl/load_parser.h"
#include "ctl/versions.h"
#include "exec/age_to.h"
#include "exec/bases.h"
#include "exec/column_exits.h"
#include "exec/cursor_links.h"
#include "exec/decode.h"
#include "exec/in_lists.h"
#include "exec/loads.h"
#include "exec/maths.h"
#include "exec/percent_cursor.h"
#include "expr/interpreter.h"

namespace qrx {

namespace {

void forget_references(decode& d) {
  d.prepared = false;  // in-list operands are looked up again
  for (decode_op& op : d.ops) {
    op.operand_ref = {};
    op.replacement_ref = {};
    op.run_cursor = nullptr;
    for (part& p : op.and_parts) p.resolved = {};
  }
}

// Drops what `c` resolved into other records: after a version change such a
// pointer may name a record that is no longer the one in use, and a name
// that no longer resolves must not keep its old target.
void forget_references(curs& c) {
  c.hv_segments.clear();
  c.hv_built = 0;
  for (auto& d : c.decodes) forget_references(*d);
  if (c.iterate_where) forget_references(*c.iterate_where);
  for (auto& col : c.cols) {
    if (!col->qualified) continue;
    col->source_cursor = nullptr;
    col->source_column = nullptr;
  }
  for (auto& m : c.maths) {
    for (math_in& w : m->math) {
      w.column = nullptr;
      w.cursor = nullptr;
    }
  }
  for (in_list& list : c.in_lists) list.source = nullptr;
  for (base& b : c.bases) {
    b.cursor = nullptr;
    b.column = nullptr;
  }
  for (col_exit_block& block : c.col_exits) {
    block.resolved = nullptr;
    for (col_exit& e : block.exits) {
      e.other_column = nullptr;
      e.other_cursor = nullptr;
    }
  }
}

}  // namespace

int tune_up_cursor_versions(const std::string& time) {
  if (cur_anchor.empty()) return 1;
  int failed = 0;
  bool changed = false;
  for (const auto& slot : cur_anchor) {
    curs& c = *slot;
    if (!c.versions || c.is_virtual || c.skip || strncasecmp(c.name.c_str(), "%CURSOR", 7) == 0)
      continue;
    const int rc = select_cursor_version(c, time);
    if (rc < 0) failed = 1;
    if (rc == 1) {
      changed = true;
      age_to_default_vers(c);
      if (trace_all) PRINT('t', "CSL0100", "Cursor %s version changed\n", c.name.c_str());
    }
  }
  if (!changed) return failed;
  if (trace_all) PRINT('t', "CSL0110", "There was cursor version change: redoing some edits\n");
  // References into a cursor's columns may now name another version's
  // records: every merge and every name is resolved again.
  for (const auto& c : cur_anchor) forget_references(*c);
  using Pass = int (*)();
  static constexpr Pass kPasses[] = {edit_decode,   edit_in_lists, edit_bases, edit_col_exits, edit_math,
                                     edit_iterate_where, parse_loads, edit_loads, set_qualifieds};
  for (Pass pass : kPasses)
    if (pass() != 0) failed = 1;
  return failed;
}

void install_expr_names() {
  ExprNames names;
  names.find_cursor = [](std::string_view name) -> const curs* {
    return find_cursor(std::string(name));
  };
  names.find_percent = [](std::string_view name) -> const columns* { return find_pcnt_col(name); };
  // Only the field read is synchronised: an expression over many rows
  // would otherwise copy every cursor's status for each of them.
  names.percent_row = [](const columns& col) { return percent_row_for(col); };
  set_expr_names(names);
}

}  // namespace qrx
