// Cursor versions: the paths through a block's conditional sections, the
// choice of the path whose conditions hold, and the exchange of the slot's
// definition when the choice changes.

#include "ctl/versions.h"

#include <strings.h>

#include <utility>

#include "base/log.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "expr/context.h"
#include "expr/interpreter.h"
#include "expr/lexer.h"
#include "expr/terms.h"

namespace qrx {

namespace {

// Where a walk through the items stands: a list and the next index in it.
struct Frame {
  const std::vector<block_item>* items;
  std::size_t next;
};

// The next item of the walk in `frames`, leaving finished lists; null once
// every list is done.
const block_item* next_item(std::vector<Frame>& frames) {
  while (!frames.empty()) {
    Frame& top = frames.back();
    if (top.next < top.items->size()) return &(*top.items)[top.next++];
    frames.pop_back();
  }
  return nullptr;
}

// Depth-first over the branches still open in `frames`; appends each
// finished path. False once more than kVersionsMax paths were found.
bool walk(std::vector<Frame> frames, version_path path, std::vector<version_path>& out) {
  while (const block_item* next = next_item(frames)) {
    const block_item& item = *next;
    if (!item.section) {
      path.statements.push_back(item.statement);
      // A top-level statement after a section: a branch on the path may
      // already have set what it sets.
      path.after_section.push_back(frames.size() == 1 && !path.branches.empty());
      continue;
    }
    for (const bool then : {true, false}) {
      std::vector<Frame> branch = frames;
      branch.push_back({then ? &item.section->then_part : &item.section->else_part, 0});
      version_path taken = path;
      taken.branches.push_back(then);
      if (!walk(std::move(branch), std::move(taken), out)) return false;
    }
    return true;
  }
  out.push_back(std::move(path));
  return out.size() <= static_cast<std::size_t>(kVersionsMax);
}

// True when `rpn` names a column of a cursor that has no rows yet, as
// every cursor has before its first collection.
bool reads_a_cursor_without_rows(cursor_set& cursors, const LexList& rpn) {
  for (const Lexeme* e : rpn) {
    if (!e || e->entry_type != kLexTerm) continue;
    const auto* t = static_cast<const TERM_TABLE*>(e);
    if (t->kind != kTermColumn || t->curs_name[0] == '\0') continue;
    const curs* c = cursors.find_cursor(t->curs_name);
    if (c && c->stored.empty()) return true;
  }
  return false;
}

// The condition compiled and evaluated with `slot` as the current cursor:
// 1 true, 0 false, -1 when it cannot be decided now (logged).
int evaluate(Definitions& defs, const IF_NODE& node, const curs& slot) {
  ExprContext& cx = defs.expr;
  open_lexer(cx, nullptr);
  set_current_cursor(cx, &slot);
  set_current_row(cx, nullptr);
  int answer = -1;
  // A private compilation each time: names bind to the records as they are now.
  std::unique_ptr<LexList> rpn = parse_expression(cx, node.condition.c_str());
  if (rpn && reads_a_cursor_without_rows(defs, *rpn)) rpn.reset();  // undecided, nothing to report
  if (rpn) {
    if (TERM_TABLE* r = interpreter(cx, *rpn)) {
      double value = 0;
      if (r->num_class == kNumInteger) {
        value = r->ivalue;
        answer = value != 0;
      } else if (r->num_class == kNumFloat) {
        value = r->dvalue;
        answer = value != 0;
      } else {
        PRINT('t', "CSL0020",
              "Invalid conditional expression result for           cursor %s: will try next time\n",
              slot.name.c_str());
        answer = -2;
      }
      if (answer >= 0 && trace_level(8))
        PRINT('t', "SMZIF200", "Conditional expression result %lf\n", value);
      free_work_chain(cx, r, nullptr, 1);
    }
  }
  TERM_TABLE* table = nullptr;
  close_lexer(cx, &table);
  free_perm_term_tb(cx, table);
  set_current_cursor(cx, nullptr);
  if (answer == -1)
    PRINT('t', "CSL0010", "Can not determine cursor %s version:         may be next time\n",
          slot.name.c_str());
  return answer < 0 ? -1 : answer;
}

// The branches whose conditions hold, in the order the sections are met;
// false when a condition cannot be decided now.
bool choose(Definitions& defs, const curs& slot, const std::vector<block_item>& items, std::vector<bool>& branches) {
  std::vector<Frame> frames{{&items, 0}};
  while (const block_item* next = next_item(frames)) {
    const block_item& item = *next;
    if (!item.section) continue;
    const int holds = evaluate(defs, *item.section, slot);
    if (holds < 0) return false;
    branches.push_back(holds == 1);
    frames.push_back({holds ? &item.section->then_part : &item.section->else_part, 0});
  }
  return true;
}

// Moves what belongs to a version, its definition and the run state made
// with it, from `from` to `to`; what belongs to the cursor stays.
void move_version(curs& from, curs& to) {
  static_cast<cursor_definition&>(to) = std::move(static_cast<cursor_definition&>(from));
  static_cast<version_state&>(to) = std::move(static_cast<version_state&>(from));
}

}  // namespace

bool enumerate_versions(const std::vector<block_item>& items, std::vector<version_path>& out) {
  out.clear();
  return walk({{&items, 0}}, {}, out);
}

namespace {

// Compiles `text` as a condition; with `whole_operators`, also checks the
// operators' arguments.
bool compile_condition(ExprContext& cx, const std::string& text, bool whole_operators) {
  if (trace_level(8)) PRINT('t', "SMZIF030", "condition: %.30s\n", text.c_str());
  open_lexer(cx, nullptr);
  const std::unique_ptr<LexList> rpn = parse_expression(cx, text.c_str());
  const bool ok = rpn != nullptr && (!whole_operators || operators_have_arguments(*rpn));
  TERM_TABLE* table = nullptr;
  close_lexer(cx, &table);
  free_perm_term_tb(cx, table);
  if (ok && trace_level(8)) PRINT('t', "SMZIF040", "condition parsed\n");
  return ok;
}

}  // namespace

bool condition_compiles(Definitions& defs, const std::string& text) {
  return compile_condition(defs.expr, text, false);
}

bool condition_evaluable(Definitions& defs, const std::string& text) {
  return compile_condition(defs.expr, text, true);
}

int select_cursor_version(Definitions& defs, curs& slot, const std::string& time) {
  const std::shared_ptr<version_set> set = slot.versions;
  if (!set) return 0;
  std::vector<bool> branches;
  if (!choose(defs, slot, set->items, branches)) return -1;
  std::size_t chosen = set->paths.size();
  for (std::size_t i = 0; i < set->paths.size(); ++i)
    if (set->paths[i].branches == branches) chosen = i;
  if (chosen == set->paths.size()) {
    PRINT('t', "CSL0030", "Something wrong with IF-tree for cursor %s\n", slot.name.c_str());
    return -1;
  }
  if (trace_level(8))
    PRINT('t', "SMZIF210", "Slot %p, slot tree place %zu, slot SQL %s, selected tree place %zu, selected SQL %s\n",
          static_cast<void*>(&slot), set->current, slot.sql_text.c_str(), chosen,
          set->records[chosen]->sql_text.c_str());
  if (chosen == set->current) {
    slot.selection_time = time;
    return 0;
  }
  move_version(slot, *set->records[set->current]);
  move_version(*set->records[chosen], slot);
  // A hold a decode put on the cursor outlives the switch; otherwise the
  // new definition decides whether the cursor is held.
  if (!slot.hold_below && !slot.hold_named) slot.hold = slot.hold_active ? 'Y' : 0;
  set->current = chosen;
  slot.selection_time = time;
  return 1;
}

int define_vers_chain(cursor_set& cursors) {
  for (const auto& slot : cursors.cur_anchor) {
    if (!slot->versions) continue;
    for (const auto& record : slot->versions->records)
      if (record->hold == 'Y') record->hold_active = 1;
  }
  return 0;
}

}  // namespace qrx
