#include "exec/cursor_run.h"

#include <algorithm>
#include <ctime>

#include "base/clock.h"
#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/age_to.h"
#include "exec/decode.h"
#include "exec/dummy_rows.h"
#include "exec/dynamic_fetch.h"
#include "exec/in_lists.h"
#include "exec/loads.h"
#include "exec/stored_rows.h"
#include "session/database.h"

namespace qrx {

namespace {

// Drops, in this order, the rows that outlived the keep time, the rows of
// samples no longer kept and, for a cursor that replaces its rows, all.
void prune(curs& c) {
  delete_by_time(c);
  if (c.samples > 0) delete_by_samples(c);
  // An ageing cursor hands its rows to its target before the fetch; they
  // must not be thrown away here.
  if (c.empty && !c.pre_copy && !c.post_copy) delete_all(c);
}

// Gives the rows this run added (sample number above `before`) the sample
// `sample` and ordinals 1, 2, 3 ... in chain order; returns how many.
int32_t renumber_run_rows(curs& c, int32_t before, int32_t sample) {
  int32_t ordinal = 0;
  for (row_data* row = c.stored.first(); row; row = row->next) {
    if (row->sample <= before) continue;
    row->sample = sample;
    row->ordinal = ++ordinal;
  }
  return ordinal;
}

// Runs `c` once per row of its iterator cursor, all iterations filling one
// sample; `produced` receives the rows of that sample.
int run_iterated(curs& c, const std::string& time_text, int32_t& produced) {
  curs* it = c.iterator->cursor;
  if (!it) return 1;  // start-up resolves every iterator; nothing to iterate over
  c.iterated = 1;     // the fetch leaves start times, row counts and after-run steps to this loop
  if (c.age_target) do_copy(c);  // once per run, before the first iteration fetches

  const PreciseTime start = precise_now();
  c.previous_start = c.last_start;
  c.last_start = start.seconds;
  c.last_start_us = start.micros;
  if (c.previous_start) c.measured_interval = static_cast<int32_t>(c.last_start - c.previous_start);

  row_data* const saved_position = it->stored.position();
  const uint16_t saved_replace = c.empty;
  const int32_t saved_sample = c.sample_no;
  c.rows_this_run = 0;
  if (it->trace)
    PRINT('t', "cit3140", "Iterating from Cursor %s which has %d rows\n", it->name.c_str(), it->stored.count());

  int code = 0;
  int32_t rows = 0;
  int row_number = 0;
  for (row_data* row = it->stored.first(); row; row = row->next) {
    ++row_number;
    if (!iterate_where_holds(c, *row)) continue;
    it->stored.position_last(row);
    c.sample_no = saved_sample;
    if (c.trace) PRINT('t', "cit3145", "Iteration on row %d\n", row_number);
    rows = 0;
    code = prep_l_fetch(c, time_text, rows);
    if (code != 0) {
      PRINT('w', "cit3150", "Iteration broken for cursor %s, cursor %s rc= %d\n", it->name.c_str(), c.name.c_str(),
            code);
      break;
    }
  }

  it->stored.position_last(saved_position);
  c.empty = saved_replace;
  c.sample_no = saved_sample + 1;
  produced = renumber_run_rows(c, saved_sample, c.sample_no);
  if (c.trace)
    PRINT('t', "cit3155", "Iteration produced %d rows in sample %d for %s\n", produced, c.sample_no, c.name.c_str());
  if (code == 0) finish_run(c, rows);
  return code;
}

// The last row of `source` with `ordinal`, or null.
row_data* row_with_ordinal(const curs& source, int32_t ordinal) {
  row_data* found = nullptr;
  for (row_data* row = source.stored.first(); row; row = row->next)
    if (row->ordinal == ordinal) found = row;
  return found;
}

// Runs the post-cursors `source`'s run queued, each on its source row. The
// first failure ends the chain; the entries after it are dropped unrun.
int drain_post_cursors(curs& source, const std::string& time_text, const char* break_id) {
  const std::vector<post_cursor> queue = std::move(source.post_cursors);
  source.post_cursors.clear();
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const post_cursor& entry = queue[i];
    row_data* row = row_with_ordinal(source, entry.ordinal);
    if (!row) {
      // The row was dropped since it was decoded: running on another row
      // would merge values that do not belong together.
      PRINT('w', "pfe3205", "Post cursor %s skipped, row %d of cursor %s is gone\n", entry.cursor->name.c_str(),
            entry.ordinal, source.name.c_str());
      continue;
    }
    row_data* const saved = source.stored.position();
    source.stored.position_last(row);
    const int code = run_cursor(*entry.cursor, time_text);
    source.stored.position_last(saved);
    if (code != 0) {
      if (i + 1 < queue.size()) PRINT('w', break_id, "Post cursor failed, breaking the chain\n");
      return code;
    }
  }
  return 0;
}

}  // namespace

void finish_run(curs& c, int32_t rows) {
  if (!c.loads.empty()) process_loads(c, rows);
  if (!c.in_lists.empty()) build_in_list(c);
  const bool no_rows = c.iterator ? c.stored.empty() : rows == 0;
  if (c.dummy_last_row || (c.conditional_dummy_last_row && no_rows)) build_dummy_last_row(c);
}

int run_cursor(curs& c, const std::string& time_text) {
  if (c.hold == 'Y') {
    if (c.trace) PRINT('t', "cit3143", "Not running held cursor %s.\n", c.name.c_str());
    return 0;
  }
  if (c.once && c.rows > 0) return 0;  // a once cursor that produced rows is done
  const std::time_t started = the_clock().now();
  prune(c);
  int code = 0;
  int32_t rows = 0;
  if (!c.no_sql && !c.fetch_exit) code = ensure_session(c, c.collector);
  if (code == 0) code = c.iterator ? run_iterated(c, time_text, rows) : prep_l_fetch(c, time_text, rows);
  // What the status reply tells of the run, whatever kind of cursor ran and
  // however it ended: its rows, its duration and, for a success, its end.
  const PreciseTime ended = precise_now();
  c.rows = code == 0 ? rows : 0;
  c.elapsed = static_cast<int32_t>(ended.seconds - started);
  if (code == 0) {
    c.end_time = ended.seconds;
    c.end_time_us = ended.micros;
  }
  return code;
}

int pre_prep_l_fetch(curs& c, const std::string& time_text) {
  for (const pre_cursor& pre : c.pre_cursors) {
    if (!pre.cursor) continue;
    if (int code = run_cursor(*pre.cursor, time_text); code != 0) return code;
    if (int code = drain_post_cursors(*pre.cursor, time_text, "cfe3195"); code != 0) return code;
  }
  if (int code = run_cursor(c, time_text); code != 0) {
    // Rows of a failed run schedule nothing.
    c.post_cursors.clear();
    return code;
  }
  return drain_post_cursors(c, time_text, "pfe3200");
}

void queue_post_cursor(curs& source, curs& target, int32_t ordinal) {
  const bool queued = std::any_of(source.post_cursors.begin(), source.post_cursors.end(),
                                  [&](const post_cursor& e) { return e.cursor == &target && e.ordinal == ordinal; });
  if (!queued) source.post_cursors.push_back({&target, ordinal});
}

}  // namespace qrx
