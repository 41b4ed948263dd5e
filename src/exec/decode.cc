#include "exec/decode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "base/log.h"
#include "base/messages.h"
#include "base/text.h"
#include "exec/cursor_run.h"
#include "exec/find_col.h"
#include "exec/sql_quoting.h"
#include "exec/stored_rows.h"
#include "session/database.h"

namespace qrx {

namespace {

constexpr std::size_t kNumericCopy = 257;    // longest numeric value taken
constexpr std::size_t kCharacterCopy = 256;  // longest character value taken
constexpr std::size_t kCommandMin = 8;       // shorter replacements are never commands
constexpr std::size_t kCommandMax = 4095;
constexpr std::size_t kHoldNameCompare = 8;

std::size_t width_of(const columns& col) {
  return static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0));
}

const char* operator_words(uint16_t op) {
  switch (op) {
    case kOpEqual: return "Is equal to";
    case kOpGreater: return "Is greater than";
    case kOpLess: return "Is less than";
    case kOpNull: return "Is NULL";
    case kOpDefault: return "Is none of the above";
    case kOpGreaterEqual: return "Is greater than or equal to";
    case kOpLessEqual: return "Is less than or equal to";
    case kOpNotEqual: return "Is not equal to";
    case kOpSearch: return "Contains";
    case kOpIn: return "In";
    case kOpAnd: return "Anded with";
    default: return "?";
  }
}

// The value under test, in the forms the operators compare.
struct Subject {
  std::string field;     // the stored field, column width
  std::string text;      // numeric: without leading blanks; character: blank-padded
  double number = 0;
  long long whole = 0;
  bool numeric = false;
};

Subject subject_of(const columns& col, const char* row) {
  Subject s;
  const std::size_t width = width_of(col);
  s.field.assign(row + col.stored_offset, width);
  s.numeric = col.col_type == kColNumeric;
  if (s.numeric) {
    std::string copy = s.field.substr(0, kNumericCopy);
    s.text = copy.substr(std::min(copy.find_first_not_of(' '), copy.size()));
  } else {
    s.text = s.field.substr(0, kCharacterCopy);
  }
  s.number = std::atof(s.text.c_str());
  qrxstrtoll(s.text.c_str(), &s.whole);
  return s;
}

int sign_of(double d) { return d < 0 ? -1 : (d > 0 ? 1 : 0); }

bool holds(uint16_t op, int d) {
  switch (op) {
    case kOpEqual: return d == 0;
    case kOpGreater: return d > 0;
    case kOpLess: return d < 0;
    case kOpGreaterEqual: return d >= 0;
    case kOpLessEqual: return d <= 0;
    case kOpNotEqual: return d != 0;
    default: return false;
  }
}

// `text` blank-padded or cut to `width`.
std::string fit(std::string_view text, std::size_t width) {
  std::string out(text.substr(0, std::min(text.size(), width)));
  out.resize(width, ' ');
  return out;
}

// The row of `ref` to read: this row, or the other cursor's last row; null
// when that cursor has no rows.
const char* row_of(const curs& c, const column_ref& ref, const char* row) {
  if (!ref.cursor || ref.cursor == &c) return row;
  const row_data* last = ref.cursor->stored.last();
  return last ? last->data() : nullptr;
}

// The value of the operand column as its own width's text; false when its
// cursor has no rows (logged).
bool operand_value(const curs& c, const column_ref& ref, const char* row, std::string& out) {
  const char* from = row_of(c, ref, row);
  if (!from) {
    PRINT('w', "cde4365", "Decode, referenced cursor %s has no rows - skipping decode\n",
          ref.cursor->name.c_str());
    return false;
  }
  out.assign(from + ref.column->stored_offset, width_of(*ref.column));
  return true;
}

// The list element form of the tested value for "in".
std::string list_element(const Subject& s) {
  if (s.numeric) {
    std::string digits = u_stripx(s.text, 'B');
    return " " + (digits.empty() ? std::string("0") : digits) + " ";
  }
  // As the in-list writes it, quotes doubled; the blanks around it keep a
  // value from matching the tail of another element ('B' inside 'A''B').
  return " '" + doubled_quotes(u_stripx(s.field, 'T'), '\'', false) + "' ";
}

enum class Outcome { kHolds, kFails, kAbort };

// One condition (an entry or an AND part) against the subject.
Outcome test(const curs& c, uint16_t op, uint16_t type, double number, int64_t mask,
             const std::string& operand, const column_ref& ref, const std::string* in_list,
             const Subject& s, const char* row) {
  if (op == kOpAnd) return (s.whole & mask) != 0 ? Outcome::kHolds : Outcome::kFails;
  std::string value;
  if (type == kOperandColumn) {
    if (!ref.column) return Outcome::kAbort;
    if (!operand_value(c, ref, row, value)) return Outcome::kAbort;
    if (c.traced)
      PRINT('t', "cde4370", "For decode, right column %s has value %s\n",
            ref.column->name.c_str(), value.c_str());
  }
  if (op == kOpSearch) {
    const std::string needle =
        u_stripx(type == kOperandColumn ? value : operand, 'T');
    return s.field.find(needle) != std::string::npos ? Outcome::kHolds : Outcome::kFails;
  }
  if (op == kOpIn) {
    if (!in_list) return Outcome::kAbort;
    return in_list->find(list_element(s)) != std::string::npos ? Outcome::kHolds
                                                                 : Outcome::kFails;
  }
  int d = 0;
  if (type == kOperandNumber) {
    d = sign_of(s.number - number);
  } else if (type == kOperandColumn) {
    if (s.numeric) {
      d = sign_of(s.number - std::atof(value.c_str()));
    } else {
      const std::size_t width = std::max(s.field.size(), value.size());
      d = fit(s.field, width).compare(fit(value, width));
    }
  } else {
    d = s.field.compare(fit(operand, s.field.size()));
  }
  return holds(op, sign_of(d)) ? Outcome::kHolds : Outcome::kFails;
}

void describe(const decode& d, const columns& col) {
  PRINT('t', "cde4230", "Decodes for column %s(%d,%d)\n", d.name.c_str(), col.stored_offset,
        col.stored_length);
  for (const decode_op& op : d.ops) {
    const std::string operand = op.operand_column.empty() ? op.operand : op.operand_column;
    PRINT('t', "cde4235", "if %s %.150s\n", operator_words(op.operatr), operand.c_str());
    for (const part& p : op.and_parts) {
      const std::string text = std::string(operator_words(p.operatr)) + " " +
                               (p.operand_column.empty() ? p.operand : p.operand_column);
      PRINT('t', "cde4250", " and %.150s\n", text.c_str());
    }
    if (op.replacement_ref.column)
      PRINT('t', "cde4270", " Replace it with  column %s (%d,%d)\n",
            op.replacement_ref.column->name.c_str(), op.replacement_ref.column->stored_offset,
            op.replacement_ref.column->stored_length);
    else
      PRINT('t', "cde4260", " Replace it with %s\n",
            (op.replacement_column.empty() ? op.replacement : op.replacement_column).c_str());
  }
}

// Looks up the in-list operands among `cursors` (none: no cursor is on a
// set); false when one cannot be found.
bool prepare(cursor_set* cursors, decode& d) {
  d.prepared = true;
  for (decode_op& op : d.ops) {
    if (op.operand_type != kOperandInList) continue;
    op.in_list = cursors ? find_in_list(*cursors, op.operand_column) : nullptr;
    if (!op.in_list) d.unusable = true;
  }
  return !d.unusable;
}

// The cursor iterated by `c`, or null.
curs* iterator_of(const curs& c) {
  if (!c.iterator) return nullptr;
  return c.iterator->cursor ? c.iterator->cursor : c.owning_set ? c.owning_set->find_cursor(c.iterator->name) : nullptr;
}

void clear_hold(curs& target) {
  if (!target.hold_below && !target.hold_named) target.hold = 0;
}

// Hold and release targets of one command.
struct HoldOptions {
  bool below = false, next = false, me = false, previous = false, erase = false, resetdb = false;
  std::vector<std::string> names;
};

void hold_one(curs& c, curs& target, bool erase, bool below) {
  target.hold = 'Y';
  (below ? target.hold_below : target.hold_named) = 1;
  if (erase) {
    PRINT('i', "cde4466", "Deleting all rows for cursor (%s) due to decode in %s\n",
          target.name.c_str(), c.name.c_str());
    delete_all(target);
  }
}

void release_one(curs& target, bool below) {
  (below ? target.hold_below : target.hold_named) = 0;
  clear_hold(target);
}

}  // namespace

const decode_op* eval_decode(curs& c, decode& d, const columns& col, const char* row,
                             int16_t indicator) {
  if (!d.prepared) prepare(c.owning_set, d);
  if (d.unusable) return nullptr;
  if (c.traced && !d.described) {
    d.described = true;
    describe(d, col);
  }
  if (c.traced)
    PRINT('t', "cde4345", "Decoding for column %s(%d,%d)\n", d.name.c_str(), col.stored_offset,
          col.stored_length);
  if (indicator < 0) {
    for (const decode_op& op : d.ops) {
      if (op.operatr != kOpNull) continue;
      if (c.traced) PRINT('t', "cde4350", "Replacing %s with NULL option\n", d.name.c_str());
      return &op;
    }
  }
  const Subject s = subject_of(col, row);
  if (c.traced)
    PRINT('t', "cde4390", "For decode, column %s has value %s\n", d.name.c_str(),
          s.field.c_str());
  const decode_op* fallback = nullptr;
  int loop = 0;
  for (const decode_op& op : d.ops) {
    if (c.traced) PRINT('t', "cde4355", " Decode loop:%d\n", ++loop);
    if (op.operatr == kOpDefault) {
      fallback = &op;
      continue;
    }
    if (op.operatr == kOpNull) continue;
    Outcome o = test(c, op.operatr, op.operand_type, op.op_num, op.and_mask, op.operand,
                     op.operand_ref, op.in_list, s, row);
    for (const part& p : op.and_parts) {
      if (o != Outcome::kHolds) break;
      o = test(c, p.operatr, p.operand_type, p.number, p.and_mask, p.operand, p.resolved,
               nullptr, s, row);
    }
    if (o == Outcome::kAbort) return nullptr;
    if (o == Outcome::kHolds) return &op;
  }
  return fallback;
}

int do_decode(curs& c, decode& d, char* row, int16_t indicator, int32_t ordinal) {
  if (!d.column) d.column = search_curs_vers_insert(c, d.name);
  if (!d.column) return 0;
  const columns& col = *d.column;
  char* field = row + col.stored_offset;
  const std::size_t width = width_of(col);
  const decode_op* op = eval_decode(c, d, col, row, indicator);
  if (!op) {
    if (c.traced)
      PRINT('t', "cde4405", "Am not replacing %.*s for column %s\n", static_cast<int>(width),
            field, d.name.c_str());
    return 0;
  }
  const bool numeric = col.col_type == kColNumeric;
  switch (op->replacement_type) {
    case kReplaceRun: {
      curs* target = op->run_cursor         ? op->run_cursor
                     : c.owning_set ? c.owning_set->find_cursor(op->replacement_column)
                                    : nullptr;
      if (!target) return 0;
      if (c.traced) PRINT('t', "cde4410", "Scheduling cursor %s\n", target->name.c_str());
      queue_post_cursor(c, *target, ordinal);
      return 0;
    }
    case kReplaceColumn: {
      if (!op->replacement_ref.column) return 0;
      const column_ref& ref = op->replacement_ref;
      const char* from = row_of(c, ref, row);
      if (!from) {
        PRINT('w', "cde4420", "In decode, referenced cursor %s has no rows - skipping decode\n",
              ref.cursor->name.c_str());
        return 0;
      }
      const std::string value(from + ref.column->stored_offset, width_of(*ref.column));
      if (c.traced)
        PRINT('t', "cde4415", "Replacing %.*s with %s\n", static_cast<int>(width), field,
              value.c_str());
      if (value.size() == width)
        std::memcpy(field, value.data(), width);
      else
        place_value(field, width, value, numeric);
      return 0;
    }
    default:
      break;
  }
  if (special_decode(c, op->replacement, width)) return 0;
  std::string text = op->replacement_type == kReplaceNumber
                         ? just_right(op->replacement, width)
                         : fit(op->replacement, width);
  if (text.size() > width) text.erase(0, text.size() - width);
  if (c.traced)
    PRINT('t', "cde4450", "Replacing %.*s with %s\n", static_cast<int>(width), field,
          text.c_str());
  std::memcpy(field, text.data(), width);
  return 0;
}

int special_decode(curs& c, std::string_view text, std::size_t) {
  if (text.size() < kCommandMin) return 0;
  std::vector<std::string> words;
  const std::string lower = u_strlower(text.substr(0, kCommandMax));
  std::size_t pos = 0;
  while (pos < lower.size()) {
    const std::size_t start = lower.find_first_not_of(" ,", pos);
    if (start == std::string::npos) break;
    const std::size_t end = std::min(lower.find_first_of(" ,", start), lower.size());
    words.push_back(lower.substr(start, end - start));
    pos = end;
  }
  if (words.size() < 2 || (words[0] != "hold" && words[0] != "release")) return 0;
  const bool hold = words[0] == "hold";
  HoldOptions o;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "below") o.below = true;
    else if (w == "next") o.next = true;
    else if (w == "me") o.me = true;
    else if (w == "previous") o.previous = true;
    else if (w == "delete") o.erase = true;
    else if (w == "resetdb") o.resetdb = true;
    else if (w == "cursor") {
      o.names.assign(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
      break;
    } else if (hold) {
      PRINT('e', "dsd0110", "Unknown hold option %d:%s, cursor %s\n", static_cast<int>(i),
            w.c_str(), c.name.c_str());
    } else {
      PRINT('e', "dsd0120", "Unknown release option:%s, cursor %s\n", w.c_str(), c.name.c_str());
    }
  }
  // The cursors a command names are those of `c`'s own set.
  cursor_set& cursors = *c.owning_set;
  std::size_t me = 0;
  while (me < cursors.cur_anchor.size() && cursors.cur_anchor[me].get() != &c) ++me;
  curs* next = me + 1 < cursors.cur_anchor.size() ? cursors.cur_anchor[me + 1].get() : nullptr;
  curs* previous = me > 0 && me < cursors.cur_anchor.size() ? cursors.cur_anchor[me - 1].get() : nullptr;
  if (o.below) {
    if (hold && !cursors.below_hold_in_force) {
      cursors.below_hold_in_force = true;
      PRINT('a', "cde4455", "Holding cursors below %s due to decode\n", c.name.c_str());
      for (std::size_t i = me + 1; i < cursors.cur_anchor.size(); ++i)
        hold_one(c, *cursors.cur_anchor[i], o.erase, true);
    } else if (!hold && cursors.below_hold_in_force) {
      cursors.below_hold_in_force = false;
      PRINT('i', "cde4460", "Releasing cursors below %s due to decode\n", c.name.c_str());
      for (std::size_t i = me + 1; i < cursors.cur_anchor.size(); ++i) release_one(*cursors.cur_anchor[i], true);
    }
  }
  if (o.next && next) {
    if (hold) {
      PRINT('i', "cde4456", "Holding next cursor (%s) due to decode in %s\n", next->name.c_str(),
            c.name.c_str());
      hold_one(c, *next, o.erase, false);
    } else {
      PRINT('i', "cde4463", "Releasing next cursor (%s) due to decode in %s\n",
            next->name.c_str(), c.name.c_str());
      release_one(*next, false);
    }
  }
  for (const std::string& name : o.names) {
    for (auto& target : cursors.cur_anchor) {
      if (strncasecmp(target->name.c_str(), name.c_str(), kHoldNameCompare) != 0) continue;
      if (hold) {
        PRINT('i', "cde4457", "Holding cursor (%s) due to decode in %s\n", target->name.c_str(),
              c.name.c_str());
        hold_one(c, *target, o.erase, false);
      } else {
        PRINT('i', "cde4464", "Releasing cursors (%s) due to decode in %s\n",
              target->name.c_str(), c.name.c_str());
        release_one(*target, false);
      }
    }
  }
  if (o.me) {
    if (hold) {
      PRINT('i', "cde4458", "Holding this cursor (%s) due to decode\n", c.name.c_str());
      hold_one(c, c, o.erase, false);
    } else {
      release_one(c, false);
    }
  }
  if (o.previous && previous) {
    if (hold) {
      PRINT('i', "cde4459", "Holding previous cursor (%s) due to decode in %s\n",
            previous->name.c_str(), c.name.c_str());
      hold_one(c, *previous, o.erase, false);
    } else {
      PRINT('i', "cde4465", "Releasing previous cursors (%s) due to decode in %s\n",
            previous->name.c_str(), c.name.c_str());
      release_one(*previous, false);
    }
  }
  if (o.resetdb) {
    PRINT('i', "cde4467", "Reconnecting to database because of decode in cursor %s\n",
          c.name.c_str());
    commit_collect(0);
    db_info.state = kSessionRestart;
  }
  return 1;
}

namespace {

// Resolves a column operand through find_col in `c`; false when it does not resolve.
bool resolve(curs& c, const std::string& name, column_ref& ref) {
  columns* col = nullptr;
  curs* owner = nullptr;
  if (find_col(c, name, &col, &owner) != 0) return false;
  ref.column = col;
  ref.cursor = owner;
  return true;
}

}  // namespace

bool resolve_operands(curs& c, decode& d, const char* operand_id, const char* operand_text,
                      const char* and_id) {
  bool ok = true;
  for (decode_op& op : d.ops) {
    if (op.operand_type == kOperandColumn && !resolve(c, op.operand_column, op.operand_ref)) {
      PRINT('e', operand_id, operand_text, op.operand_column.c_str(), c.name.c_str());
      ok = false;
    }
    for (part& p : op.and_parts) {
      if (p.operand_type == kOperandColumn && !resolve(c, p.operand_column, p.resolved)) {
        PRINT('e', and_id, "'And' column(%s) not in cursor %s\n", p.operand_column.c_str(),
              c.name.c_str());
        ok = false;
      }
    }
  }
  return ok;
}

int edit_decode(cursor_set& cursors) {
  bool ok = true;
  for (auto& owned : cursors.cur_anchor) {
    curs& c = *owned;
    for (auto& d : c.decodes) {
      d->owner = &c;
      d->column = search_curs_vers_insert(c, d->name);
      if (!d->column) {
        PRINT('e', "pde3880", "Decode Column (%s) not found in cursor %s\n", d->name.c_str(),
              c.name.c_str());
        ok = false;
      }
      if (!resolve_operands(c, *d, "pde3885", "Operand column(%s) not in cursor %s\n", "pde3890"))
        ok = false;
      for (decode_op& op : d->ops) {
        if (op.replacement_type == kReplaceColumn &&
            !resolve(c, op.replacement_column, op.replacement_ref)) {
          PRINT('e', "pde3895", "Replacement column(%s) not in cursor %s\n",
                op.replacement_column.c_str(), c.name.c_str());
          ok = false;
        }
        if (op.replacement_type == kReplaceRun) {
          op.run_cursor = cursors.find_cursor(op.replacement_column);
          if (!op.run_cursor) {
            PRINT('e', "pde3900", "Cursor to run (%s) not found %s\n",
                  op.replacement_column.c_str(), c.name.c_str());
            ok = false;
          }
        }
      }
    }
  }
  return report_pass(ok, {"pde3905", "Decode edits successful\n"},
                     {"pde3910", "Decode edits failed\n"});
}

namespace {

// Resolves `c`'s iterate-where condition in its iterator; false after logging.
bool edit_one_iterate_where(curs& c) {
  decode& d = *c.iterate_where;
  curs* iterator = iterator_of(c);
  d.owner = iterator;
  d.column = iterator ? search_curs_vers_insert(*iterator, d.name) : nullptr;
  if (!d.column) {
    PRINT('e', "pit4485", "ITERATE_WHERE Column (%s) not found in cursor %s\n", d.name.c_str(),
          iterator ? iterator->name.c_str() : c.name.c_str());
    return false;
  }
  return resolve_operands(*iterator, d, "pit4485",
                          "ITERATE_WHERE Column (%s) not found in cursor %s\n", "pit4480");
}

}  // namespace

int edit_iterate_where(cursor_set& cursors) {
  bool ok = true;
  for (auto& c : cursors.cur_anchor)
    if (c->iterate_where && !edit_one_iterate_where(*c)) ok = false;
  return report_pass(ok, {"pit4495", "ITERATE_WHERE edits successful\n"},
                     {"pit4490", "ITERATE_WHERE edits failed\n"});
}

bool iterate_where_holds(curs& c, const row_data& row) {
  if (!c.iterate_where) return true;
  decode& d = *c.iterate_where;
  if ((!d.owner || !d.column) && !edit_one_iterate_where(c)) return false;
  return eval_decode(*d.owner, d, *d.column, row.data(), 0) != nullptr;
}

}  // namespace qrx
