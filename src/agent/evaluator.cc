#include "agent/evaluator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "agent/nrqs.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "ctl/control_parse.h"
#include "exec/agent_row.h"
#include "exec/clusters.h"
#include "exec/col_function.h"
#include "exec/cursor_data.h"
#include "exec/stored_rows.h"

namespace qrx {

namespace {

constexpr std::size_t kCompareMax = 2048;  // longest text compared

const char* function_name(int function) {
  static constexpr const char* kNames[] = {"",     "MIN!", "MAX!", "AVG!", "WAVG!",
                                           "TREND!", "SUM!", "HW!",  "LW!",  "COUNT!"};
  return function >= 0 && function < static_cast<int>(std::size(kNames)) ? kNames[function] : "?";
}

const char* reason_text(uint16_t reason) {
  switch (reason) {
    case predicate::kMaxRow: return "MAX row";
    case predicate::kMinRow: return "MIN row";
    case predicate::kTrue: return "true";
    case predicate::kTurnedFalse: return "turned false";
    default: return "";
  }
}

bool class_served(const distributor& d, int32_t class_number) {
  return class_number >= 0 && class_number < static_cast<int32_t>(d.classes.size()) &&
         d.classes[static_cast<std::size_t>(class_number)] != 0;
}

std::size_t width_of(const columns& col) { return static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0)); }

// The state of one evaluation during a run.
struct Run {
  e_ptr* e = nullptr;
  predicate* unmatched = nullptr;  // the last entry compared false
};

void select(predicate& p, uint16_t reason, const e_ptr& e) {
  p.selected = 1;
  p.reason = reason;
  p.ordinal = e.ordinal;
}

// Compares every row entry not yet selected; `seen_id` traces the ones
// another evaluation already selected.
void compare_rows(const curs& c, const columns& col, std::vector<predicate>& list, Run& run, const char* seen_id) {
  for (predicate& p : list) {
    if (p.kind != predicate::kRow) continue;
    if (p.selected) {
      if (c.trace) PRINT('t', seen_id, "Row stat set before %s\n", col.name.c_str());
      continue;
    }
    if (do_compare(col, p.data.data(), *run.e)) {
      select(p, predicate::kTrue, *run.e);
      run.e->current = 1;
    } else {
      run.unmatched = &p;
    }
  }
}

// A column with the evaluation's own column function: the final entry holds its result.
void compare_function_column(const curs& c, const columns& col, std::vector<predicate>& list, Run& run) {
  predicate& last = list.back();
  e_ptr& e = *run.e;
  if (e.function == kFnMin || e.function == kFnMax) {
    if (!do_compare(col, last.data.data(), e)) {
      run.unmatched = &last;
      return;
    }
    const std::string_view value(last.data.data() + col.stored_offset, width_of(col));
    for (predicate& p : list) {
      if (p.kind != predicate::kRow || std::string_view(p.data.data() + col.stored_offset, width_of(col)) != value)
        continue;
      if (p.selected) {
        if (c.trace) PRINT('t', "cev1715", "Col stat set before %s\n", col.name.c_str());
        continue;
      }
      select(p, e.function == kFnMin ? predicate::kMinRow : predicate::kMaxRow, e);
      e.current = 1;
      break;
    }
    return;
  }
  if (last.selected) {
    if (c.trace) PRINT('t', "cev1720", "Col stat set before %s\n", col.name.c_str());
  } else if (do_compare(col, last.data.data(), e)) {
    select(last, predicate::kTrue, e);
    e.current = 1;
  } else {
    run.unmatched = &last;
  }
}

// No column carries the evaluation's function: a plain column of that name,
// summarised over the rows when the evaluation names a function.
void compare_by_name(curs& c, std::vector<predicate>& list, Run& run) {
  e_ptr& e = *run.e;
  if (c.trace) PRINT('t', "cev1740", "No column/col-funct match for eval %s\n", e.name.c_str());
  const columns* col = column_named(c, e.column);
  if (!col) {
    PRINT('w', "cev1750", "Can't match for eval %d\n", e.ordinal);
    return;
  }
  if (e.function == kFnNone) {
    compare_rows(c, *col, list, run, "cev1755");
    return;
  }
  columns summary = *col;
  summary.function = static_cast<uint16_t>(e.function);
  std::string result;
  if (col_function(c, summary, result) != 0) return;
  summary.stored_offset = 0;
  summary.stored_length = static_cast<int16_t>(std::min<std::size_t>(result.size(), kMaxColumnLength));
  summary.mark.clear();
  if (!do_compare(summary, result.data(), e)) return;
  // The rows themselves: the final entry would write the newest row twice.
  for (predicate& p : list)
    if (p.kind == predicate::kRow) select(p, predicate::kTrue, e);
  e.current = 1;
}

void evaluate(curs& c, std::vector<predicate>& list, Run& run) {
  e_ptr& e = *run.e;
  run.unmatched = nullptr;
  e.previous = e.current;
  e.current = 0;
  if (c.trace) PRINT('t', "cev1685", "Evaluating %s%s of cursor %s\n", function_name(e.function), e.column.c_str(),
                     c.name.c_str());
  for (const auto& owned : c.cols) {
    const columns& col = *owned;
    if (c.trace) PRINT('t', "cev1695", "Looking at column %s%s (%d)\n", function_name(col.function),
                       col.name.c_str(), col.stored_length);
    if (col.function != e.function || col.name != e.column) continue;
    if (e.function == kFnNone)
      compare_rows(c, col, list, run, "cev1730");
    else
      compare_function_column(c, col, list, run);
    return;
  }
  compare_by_name(c, list, run);
}

// True when `col` can tell one row from another for `e`: a plain column
// other than the one `e` tests (a session's id, a table's name keep their
// value from run to run while the tested value moves).
bool identifies(const columns& col, const e_ptr& e) {
  return col.function == kFnNone && col.name != e.column && col.stored_length > 0;
}

// True when every identifying column holds the same bytes in both rows:
// only then is a current row the one that held (a session whose user and
// state another session shares is still another session).
bool same_row(const curs& c, const e_ptr& e, const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (const auto& col : c.cols) {
    const auto at = static_cast<std::size_t>(col->stored_offset);
    if (identifies(*col, e) &&
        (at + width_of(*col) > a.size() || a.compare(at, width_of(*col), b, at, width_of(*col)) != 0))
      return false;
  }
  return true;
}

// On a change to false, selects the row that stopped matching: the one
// current row whose identifying columns all equal those of a row the
// evaluation held for at the last run; when no row or more than one does,
// that row as it was when it last held (it is gone or changed beyond
// recognition). A cursor without identifying columns (or a column
// function's summary) has the last entry compared false.
void select_turned_false(const curs& c, std::vector<predicate>& list, Run& run) {
  e_ptr& e = *run.e;
  const bool can_identify =
      std::any_of(c.cols.begin(), c.cols.end(), [&](const auto& col) { return identifies(*col, e); });
  predicate* best = nullptr;
  if (can_identify && !e.held_rows.empty()) {
    bool tied = false;
    for (predicate& p : list) {
      if (p.kind != predicate::kRow || p.selected) continue;
      const bool held = std::any_of(e.held_rows.begin(), e.held_rows.end(),
                                    [&](const std::string& h) { return same_row(c, e, p.data, h); });
      if (!held) continue;
      tied = best != nullptr;
      best = &p;
    }
    if (best == nullptr || tied) {
      list.push_back({predicate::kRow, 0, predicate::kNone, 0, e.held_rows.front()});
      best = &list.back();
    }
  } else if (run.unmatched && !run.unmatched->selected) {
    best = run.unmatched;
  }
  if (best != nullptr) select(*best, predicate::kTurnedFalse, e);
}

// Remembers the rows `e` held for in this run, for its next change to false.
void remember_held_rows(const std::vector<predicate>& list, e_ptr& e) {
  e.held_rows.clear();
  if (e.current == 0) return;
  for (const predicate& p : list)
    if (p.kind == predicate::kRow && p.selected && p.ordinal == e.ordinal && p.reason != predicate::kTurnedFalse)
      e.held_rows.push_back(p.data);
}

// Writes the selected entries in list order; false when a write failed.
bool send_selected(curs& c, const std::vector<predicate>& list, const std::vector<Run>& runs) {
  if (!c.row_size) c.row_size = get_row_size(c);
  std::vector<char> row(c.row_size);
  for (const predicate& p : list) {
    if (!p.selected) continue;
    const char* name = "";
    for (const Run& r : runs)
      if (r.e->ordinal == p.ordinal) name = r.e->name.c_str();
    PRINT('i', "cev1760", "Evaluation %s (%d) %s for cursor %s\n", name, p.ordinal, reason_text(p.reason),
          c.name.c_str());
    std::fill(row.begin(), row.end(), '\0');
    make_row(c, row.data(), p.data.data());
    if (send_a_row(c, row.data()) != 0) return false;
  }
  return true;
}

}  // namespace

int get_predicate_rows(curs& c, std::vector<predicate>& list) {
  list.clear();
  cluster* cl = open_cursor(c);
  if (!cl) return 1;
  close_cur(c, cl);
  const std::size_t length = c.row_length + 1;
  for (const row_data* row = c.stored.first(); row; row = row->next) {
    if (!in_current_sample(c, *row)) continue;
    list.push_back({predicate::kRow, 0, predicate::kNone, 0, std::string(row->data(), length)});
  }
  if (list.empty()) return 1;
  const row_data* final_row = c.column_data ? c.column_data.get() : c.stored.newest();
  predicate last{predicate::kFinal, 0, predicate::kNone, 0, std::string(final_row->data(), length)};
  if (c.has_col_functions && !c.column_data) {
    // The newest row with every column function's result in its field.
    for (const auto& col : c.cols) {
      std::string result;
      if (col->function == kFnNone || col_function(c, *col, result) != 0) continue;
      result.resize(width_of(*col), ' ');
      last.data.replace(static_cast<std::size_t>(col->stored_offset), result.size(), result);
    }
  }
  list.push_back(std::move(last));
  return 0;
}

int do_compare(const columns& col, const char* data, const e_ptr& e) {
  std::string_view value(data + col.stored_offset, width_of(col));
  if ((col.function == kFnHighWater || col.function == kFnLowWater) && !col.mark.empty()) value = col.mark;
  if (value.size() > kCompareMax) {
    PRINT('w', "cev1795", "Improper length on column string %s\n", col.name.c_str());
    value = value.substr(0, kCompareMax);
  }
  std::string_view constant = e.value;
  if (constant.size() > kCompareMax) {
    PRINT('w', "cev1800", "Improper length on constant string %s\n", e.value.c_str());
    constant = constant.substr(0, kCompareMax);
  }
  int order = 0;
  if (e.value_type == 1 && col.col_type == kColNumeric) {
    const std::string text(value.substr(std::min(value.find_first_not_of(' '), value.size())));
    const double number = std::strtod(text.c_str(), nullptr);
    order = number < e.number ? -1 : number > e.number ? 1 : 0;
  } else {
    const std::size_t n = std::max(value.size(), constant.size());
    std::string left(value), right(constant);
    left.resize(n, ' ');
    right.resize(n, ' ');
    order = left.compare(right);
  }
  const int32_t flag = order < 0 ? e.less : order > 0 ? e.greater : e.equal;
  return flag ? 1 : 0;
}

int do_evaluator(cursor_set& cursors, const std::string& now_text, distributor& d) {
  const int32_t now = relative_sec(now_text);
  int rc = 0;
  for (const auto& cp : cursors.cur_anchor) {
    curs& c = *cp;
    if (c.window_close <= now) set_window_c(c, now);
    if (c.window_open > now || c.hold == 'Y' || !class_served(d, c.class_) || c.evaluations.empty()) continue;
    std::vector<predicate> list;
    if (get_predicate_rows(c, list) != 0) continue;
    std::vector<Run> runs;
    for (e_ptr& e : c.evaluations) runs.push_back({&e, nullptr});
    // Evaluations in file order: the chain holds the last read first.
    std::reverse(runs.begin(), runs.end());
    // A change to false may append a row that is gone: no entry moves.
    list.reserve(list.size() + runs.size());
    for (Run& run : runs) evaluate(c, list, run);
    if (d.send_false) {
      for (Run& run : runs) {
        if (run.e->previous == 1 && run.e->current == 0) select_turned_false(c, list, run);
      }
    }
    for (Run& run : runs) remember_held_rows(list, *run.e);
    if (!send_selected(c, list, runs)) {
      for (Run& run : runs) run.e->current = run.e->previous;
      rc = 1;
    }
  }
  return rc;
}

}  // namespace qrx
