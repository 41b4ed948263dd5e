#include "exec/age_to.h"

#include <cstring>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/stored_rows.h"

namespace qrx {

namespace {

// The target takes the source's query (its own copies of the columns,
// without column functions, the table and SQL texts, row limits and
// samples). It runs no SQL of its own: its rows come from the source only.
void make_age_to_copy(const curs& source, curs& target) {
  static_cast<cursor_query&>(target) = static_cast<const cursor_query&>(source);
  for (const auto& col : target.cols) col->function = kFnNone;
  target.has_col_functions = 0;
  target.has_min_max = 0;
  target.decodes.clear();
  target.age_to.clear();
  target.demand = 1;
  target.interval = 0;
}

// The rows of `from` (the chain's data, `length` bytes each) appended to `to`.
void copy_rows(const row_chain& from, row_chain& to, uint32_t length) {
  for (const row_data* row = from.first(); row; row = row->next) {
    row_data* copy = row_chain::allocate(length, false);
    std::memcpy(copy->data(), row->data(), length + 1);
    copy->data_length = row->data_length;
    copy->age = row->age;
    copy->sample = row->sample;
    copy->ordinal = row->ordinal;
    to.append(copy);
  }
}

}  // namespace

int edit_age_to(cursor_set& cursors) {
  int failed = 0;
  for (const auto& cp : cursors.cur_anchor) {
    curs& c = *cp;
    if (c.age_to.empty()) continue;
    if (c.is_virtual) {
      PRINT('e', "pag3680", "Can't copy from a virtual table\n");
      failed = 1;
      continue;
    }
    curs* target = cursors.find_cursor(c.age_to);
    if (!target || target == &c) {
      PRINT('e', "pag3690", "Age-to Cursor (%s) not found\n", c.age_to.c_str());
      failed = 1;
      continue;
    }
    if (target->is_virtual) {
      PRINT('e', "pag3675", "Can't copy to virtual table\n");
      failed = 1;
      continue;
    }
    if (target->age_source) {
      PRINT('e', "pag3685", "Duplicate attempts to 'age_to' the same cursor %s\n", target->name.c_str());
      failed = 1;
      continue;
    }
    make_age_to_copy(c, *target);
    target->age_source = &c;
    c.age_target = target;
    c.post_copy = 1;
    c.pre_copy = 0;
  }
  if (failed)
    PRINT('e', "pag3700", "Age_to editing failed\n");
  else
    PRINT('i', "pag3695", "Age_to editing successful\n");
  for (const auto& cp : cursors.cur_anchor) cp->status = std::string(16, ' ');
  return failed;
}

void age_to_default_vers(curs& c) {
  if (!c.age_target) return;
  make_age_to_copy(c, *c.age_target);
  c.age_target->stored.clear();
  c.age_target->rows = 0;
  c.age_target->rows_changed = 1;
}

void do_copy(curs& c) {
  curs* target = c.age_target;
  if (!target) return;
  const int32_t count = c.stored.count();
  if (c.pre_copy)
    PRINT('i', "cag3710", "PreCopying %d records from %s to %s\n", count, c.name.c_str(), target->name.c_str());
  else if (c.post_copy)
    PRINT('i', "cag3715", "PostCopying %d records from %s to %s\n", count, c.name.c_str(), target->name.c_str());
  else
    PRINT('w', "cag3720", "Incorrectly Copying %d records from %s to %s\n", count, c.name.c_str(),
          target->name.c_str());
  target->stored.clear();
  // The target reads the rows with the source's layout.
  for (std::size_t i = 0; i < c.cols.size() && i < target->cols.size(); ++i)
    static_cast<column_layout&>(*target->cols[i]) = static_cast<const column_layout&>(*c.cols[i]);
  copy_rows(c.stored, target->stored, c.row_length);
  target->fetch_time = c.fetch_time;
  target->row_length = c.row_length;
  // The rows keep their sample: the source's previous one.
  target->sample_no = c.stored.newest() ? c.stored.newest()->sample : c.sample_no;
  target->layout_fixed = c.layout_fixed;
  target->row_size = 0;
  target->rows = count;
  target->rows_changed = 1;
  target->last_time = c.last_time;
  // In the pre-copy state the source starts the run afresh: its previous
  // rows are the target's now.
  if (c.pre_copy) delete_all(c);
  c.pre_copy = 1;
  c.post_copy = 0;
}

}  // namespace qrx
