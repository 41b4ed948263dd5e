#include "exec/version_tuning.h"

#include <strings.h>

#include <cctype>
#include <functional>

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
#include "exec/find_col.h"
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

int tune_up_cursor_versions(Definitions& defs, const std::string& time) {
  cursor_set& cursors = defs;
  if (cursors.cur_anchor.empty()) return 1;
  int failed = 0;
  bool changed = false;
  for (const auto& slot : cursors.cur_anchor) {
    curs& c = *slot;
    if (!c.versions || c.is_virtual || c.skip || strncasecmp(c.name.c_str(), "%CURSOR", 7) == 0)
      continue;
    const int rc = select_cursor_version(defs, c, time);
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
  for (const auto& c : cursors.cur_anchor) forget_references(*c);
  const std::function<int()> passes[] = {
      [&] { return edit_decode(cursors); },    [&] { return edit_in_lists(cursors); },
      [&] { return edit_bases(cursors); },     [&] { return edit_col_exits(cursors); },
      [&] { return edit_math(cursors); },      [&] { return edit_iterate_where(cursors); },
      [&] { return parse_loads(defs); },       [&] { return edit_loads(cursors); },
      [&] { return set_qualifieds(cursors); }};
  for (const auto& pass : passes)
    if (pass() != 0) failed = 1;
  return failed;
}

namespace {

bool name_char(char ch) {
  return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '#' || ch == '$' || ch == '@';
}

// Logs each CURSOR.COLUMN of `condition` that names no cursor or no column
// of it; false when there was one.
bool references_resolve(cursor_set& cursors, const std::string& condition) {
  bool ok = true;
  std::size_t i = 0;
  while (i < condition.size()) {
    const char ch = condition[i];
    if (ch == '\'') {  // a text constant, quotes doubled inside
      for (++i; i < condition.size(); ++i) {
        if (condition[i] != '\'') continue;
        if (i + 1 < condition.size() && condition[i + 1] == '\'') {
          ++i;
          continue;
        }
        break;
      }
      ++i;
      continue;
    }
    if (!name_char(ch)) {
      ++i;
      continue;
    }
    const bool plain = std::isalpha(static_cast<unsigned char>(ch)) && (i == 0 || condition[i - 1] != '%');
    const std::size_t start = i;
    while (i < condition.size() && (name_char(condition[i]) || (!plain && condition[i] == '.'))) ++i;
    if (!plain || i + 1 >= condition.size() || condition[i] != '.' || !name_char(condition[i + 1])) continue;
    const std::string cursor_name = condition.substr(start, i - start);
    const std::size_t column_start = ++i;
    while (i < condition.size() && name_char(condition[i])) ++i;
    const std::string column_name = condition.substr(column_start, i - column_start);
    curs* c = cursors.find_cursor(cursor_name);
    if (c == nullptr) {
      PRINT('e', "Int0500", "Cursor %s not found for column %s\n", cursor_name.c_str(), column_name.c_str());
      ok = false;
    } else if (!search_curs_vers_insert(*c, column_name) && !search_inactive_versions(*c, column_name)) {
      PRINT('e', "Int0510", "Column %s not found for cursor %s\n", column_name.c_str(), cursor_name.c_str());
      ok = false;
    }
  }
  return ok;
}

bool conditions_resolve(Definitions& defs, const std::vector<block_item>& items) {
  bool ok = true;
  for (const block_item& item : items) {
    if (!item.section) continue;
    set_message_location(item.section->location);
    if (!references_resolve(defs, item.section->condition) || !condition_evaluable(defs, item.section->condition)) ok = false;
    if (!conditions_resolve(defs, item.section->then_part)) ok = false;
    if (!conditions_resolve(defs, item.section->else_part)) ok = false;
  }
  return ok;
}

}  // namespace

int edit_conditions(Definitions& defs) {
  const std::string where = current_message_location();
  bool ok = true;
  for (const auto& c : defs.cur_anchor)
    if (c->versions && !conditions_resolve(defs, c->versions->items)) ok = false;
  set_message_location(where);
  return ok ? 0 : 1;
}

void install_expr_names(ExprContext& cx, cursor_set& cursors) {
  ExprNames names;
  names.find_cursor = [&cursors](std::string_view name) -> const curs* {
    return cursors.find_cursor(std::string(name));
  };
  names.find_percent = [&cursors](std::string_view name) -> const columns* {
    return find_pcnt_col(cursors, name);
  };
  names.cursors = &cursors;
  // Only the field read is synchronised: an expression over many rows
  // would otherwise copy every cursor's status for each of them.
  names.percent_row = [](cursor_set& set, const columns& col) { return percent_row_for(set, col); };
  set_expr_names(cx, names);
}

}  // namespace qrx
