#include "exec/percent_cursor.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "base/clock.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/text.h"
#include "ctl/control_parse.h"
#include "exec/stored_rows.h"
#include "session/database.h"

namespace qrx {

namespace {

// The work block that is the percent cursor's one row starts with a copy of
// the machine identity record; four columns are views into it.
static_assert(sizeof(MachineId) == 160 && offsetof(MachineId, serverid) == 64 &&
                  offsetof(MachineId, spare) == 96,
              "machine identity layout: 64, 32 and 64 characters");

constexpr std::size_t kNameCompare = 50;  // characters a percent name is compared on
constexpr int16_t kNumberWidth = 21;      // numeric work fields, right-aligned
constexpr int16_t kStatusWidth = 16;      // a cursor's status text
constexpr int kParameters = 40;           // "%parm0" to "%parm27"
constexpr int16_t kParameterRoom = 256;   // longest request parameter kept

// Where a percent column's value lives in the work block.
enum class Area { kIdentity, kOwn, kSqlcode, kParm };

struct pcnt_var {
  const char* name;
  uint16_t col_type;
  int16_t width;
  Area area;
  uint32_t identity_offset;  // kIdentity only: offset within the identity record
};

constexpr pcnt_var pcnt_var_tb[] = {
    {"%me", kColCharacter, 32, Area::kIdentity, offsetof(MachineId, serverid)},
    {"%machine", kColCharacter, 64, Area::kIdentity, 0},
    {"%machine_me", kColCharacter, 64, Area::kIdentity, offsetof(MachineId, spare)},
    {"%machine_me_ora", kColCharacter, 72, Area::kIdentity, 0},
    {"%now_time", kColCharacter, 16, Area::kOwn, 0},
    {"%current_interval", kColNumeric, kNumberWidth, Area::kOwn, 0},
    {"%now_secs", kColNumeric, kNumberWidth, Area::kOwn, 0},
    {"%rowno", kColNumeric, kNumberWidth, Area::kOwn, 0},
    {"%sampleno", kColNumeric, kNumberWidth, Area::kOwn, 0},
    {"%execution_time", kColNumeric, kNumberWidth, Area::kOwn, 0},
    {"%sqlcode", kColNumeric, kStatusWidth, Area::kSqlcode, 0},
    {"%parm", kColNumeric, kNumberWidth, Area::kParm, 0},
};

// One built column with where its value lives.
struct PercentColumn {
  std::unique_ptr<columns> col;
  Area area;
  uint32_t identity_offset = 0;
  const curs* cursor = nullptr;  // kSqlcode: whose status the field shows
};

PercentColumn make_column(const std::string& name, const pcnt_var& v) {
  PercentColumn p{std::make_unique<columns>(), v.area, v.identity_offset, nullptr};
  p.col->name = name;
  p.col->col_type = v.col_type;
  p.col->data_type = kColCharacter;
  p.col->stored_length = v.width;
  p.col->db_length = static_cast<uint16_t>(v.width);
  return p;
}

// One "%sqlcode_<cursor>" column per control-file cursor of `cursors`,
// appended to `out`; false when a cursor's name would not fit a column name.
bool sqlcode_cols(const cursor_set& cursors, const pcnt_var& v, std::vector<PercentColumn>& out) {
  for (const auto& c : cursors.cur_anchor) {
    if (c.get() == cursors.percent_cursor) continue;
    const std::string name = std::string(v.name) + "_" + c->name;
    if (name.size() > static_cast<std::size_t>(kColNameMax)) return false;
    out.push_back(make_column(name, v));
    out.back().cursor = c.get();
  }
  return true;
}

// The forty "%parm<hex index>" columns, appended to `out`.
void parmx_cols(const pcnt_var& v, std::vector<PercentColumn>& out) {
  char name[16];
  for (int i = 0; i < kParameters; ++i) {
    std::snprintf(name, sizeof name, "%s%x", v.name, i);
    out.push_back(make_column(name, v));
  }
}

// Every percent column in table order, "%sqlcode" and "%parm" expanded in
// place; false after logging when an expansion fails.
bool build_p_columns(const cursor_set& cursors, std::vector<PercentColumn>& out) {
  for (const pcnt_var& v : pcnt_var_tb) {
    switch (v.area) {
      case Area::kSqlcode:
        if (!sqlcode_cols(cursors, v, out)) {
          PRINT('e', "PCV4610", "Can not build columns for percent-cursor\n");
          return false;
        }
        break;
      case Area::kParm:
        parmx_cols(v, out);
        break;
      default:
        out.push_back(make_column(v.name, v));
        break;
    }
  }
  return true;
}

// Lays out the work block: the identity record first, then each column with
// an area of its own in column order (a parameter gets room for the longest
// one). Sets every stored offset and returns the block's length.
uint32_t row_form(std::vector<PercentColumn>& cols) {
  uint32_t offset = sizeof(MachineId);
  for (PercentColumn& p : cols) {
    if (p.area == Area::kIdentity) {
      p.col->stored_offset = static_cast<int32_t>(p.identity_offset);
      continue;
    }
    p.col->stored_offset = static_cast<int32_t>(offset);
    offset += static_cast<uint32_t>(p.area == Area::kParm ? kParameterRoom : p.col->stored_length);
  }
  return offset;
}

// The work block is the percent cursor's one row; nothing may write to it
// once that row is gone.
bool work_block_present(const cursor_set& cursors) {
  return cursors.percent_cursor && cursors.percent_cursor->stored.last();
}

char* field_of(const cursor_set& cursors, const columns& col) {
  return cursors.percent_cursor->stored.last()->data() + col.stored_offset;
}

// Writes `value` right-aligned into the column's field; runs for every
// assembled row, so it avoids the formatted-output machinery.
void put_number(const cursor_set& cursors, const columns* col, long long value) {
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  place_value(field_of(cursors, *col), static_cast<std::size_t>(col->stored_length),
              std::string_view(text, static_cast<std::size_t>(end - text)), true);
}

bool same_name(std::string_view a, std::string_view b) {
  a = a.substr(0, std::min(a.size(), kNameCompare));
  b = b.substr(0, std::min(b.size(), kNameCompare));
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool is_parm_name(std::string_view name) {
  return name.size() >= 5 && strncasecmp(name.data(), "%parm", 5) == 0;
}

}  // namespace

int create_percent_cursor(cursor_set& cursors) {
  cursors.drop_percent_cursor();
  std::vector<PercentColumn> built;
  if (!build_p_columns(cursors, built)) {
    PRINT('e', "PCV4600", "Can not build columns for percent-cursor\n");
    return 1;
  }
  auto pc = std::make_unique<curs>();
  pc->name = "%CURSOR";
  pc->demand = 1;
  pc->hold = 'Y';
  pc->hold_active = 1;  // held by definition: the collection pass never lifts it
  pc->no_sql = 1;
  pc->row_length = row_form(built);
  pc->layout_fixed = 1;
  pc->sample_no = 1;
  pc->rows = 1;

  row_data* row = row_chain::allocate(pc->row_length);
  row->data_length = pc->row_length;
  row->sample = 1;
  row->ordinal = 1;
  std::memset(row->data(), ' ', pc->row_length);
  std::memcpy(row->data(), &machine_id, sizeof machine_id);
  pc->stored.append(row);

  percent_work& state = cursors.percent;
  uint16_t ordinal = 0;
  for (PercentColumn& p : built) {
    p.col->ordinal = ++ordinal;
    p.col->value = row->data() + p.col->stored_offset;
    if (p.area == Area::kSqlcode) state.sqlcodes.emplace_back(p.col.get(), p.cursor);
    pc->cols.push_back(std::move(p.col));
  }
  percent_work& w = state;
  w.now_time = column_named(*pc, "%now_time");
  w.current_interval = column_named(*pc, "%current_interval");
  w.now_secs = column_named(*pc, "%now_secs");
  w.rowno = column_named(*pc, "%rowno");
  w.sampleno = column_named(*pc, "%sampleno");
  w.execution_time = column_named(*pc, "%execution_time");

  if (!state.sqlcodes.empty()) state.first_status = state.sqlcodes.front().first->value;
  cursors.percent_cursor = &cursors.add(std::move(pc));
  for (columns* col : {w.current_interval, w.now_secs, w.rowno, w.sampleno, w.execution_time})
    put_number(cursors, col, 0);
  sync_percent_statuses(cursors);
  return 0;
}

columns* find_pcnt_col(cursor_set& cursors, std::string_view name) {
  curs* percent_cursor = cursors.percent_cursor;
  if (!percent_cursor) return nullptr;
  if (db_info.type == "ORA" && same_name(name, "%machine_me")) name = "%machine_me_ora";
  columns* found = nullptr;
  for (auto& col : percent_cursor->cols) {
    if (col->name == name) {  // an exact match wins over names differing only in case
      found = col.get();
      break;
    }
    if (!found && same_name(col->name, name)) found = col.get();
  }
  if (found) sync_percent_statuses(cursors);
  return found;
}

columns* percent_column_of(const curs& c, std::string_view name) {
  return c.owning_set ? find_pcnt_col(*c.owning_set, name) : nullptr;
}

const row_data* percent_row(cursor_set& cursors) {
  if (!cursors.percent_cursor) return nullptr;
  sync_percent_statuses(cursors);
  return cursors.percent_cursor->stored.last();
}

const row_data* percent_row_for(cursor_set& cursors, const columns& col) {
  if (!work_block_present(cursors)) return nullptr;
  sync_percent_value(cursors, field_of(cursors, col));
  return cursors.percent_cursor->stored.last();
}

void sync_percent_statuses(cursor_set& cursors) {
  if (!work_block_present(cursors)) return;
  for (const auto& [col, c] : cursors.percent.sqlcodes)
    place_value(field_of(cursors, *col), kStatusWidth, c->status, true);
}

void refresh_percent_values(const curs& c, std::string_view fetch_time) {
  if (!c.owning_set || !work_block_present(*c.owning_set)) return;
  const cursor_set& cursors = *c.owning_set;
  percent_work& state = c.owning_set->percent;
  const percent_work& w = state;
  const row_data* row = cursors.percent_cursor->stored.last();
  const bool all = state.refreshed_row != row;
  state.refreshed_row = row;
  const std::string_view time = fetch_time.substr(0, 14);
  if (all || time != state.stamp) {
    char* stamp = field_of(cursors, *w.now_time);
    u_str2chr(time, stamp, 14);
    std::memcpy(stamp + 14, "00", 2);
    state.stamp.assign(time);
  }
  put_number(cursors, w.rowno, next_row_ordinal(c));
  // Each number is written when it differs from what its field shows.
  const auto refresh = [all, &cursors](const columns* col, long long value, long long& shown) {
    if (!all && value == shown) return;
    put_number(cursors, col, value);
    shown = value;
  };
  refresh(w.sampleno, c.sample_no, state.sample);
  refresh(w.now_secs, static_cast<long long>(the_clock().now()), state.seconds);
  refresh(w.execution_time, c.elapsed, state.elapsed);
  refresh(w.current_interval, c.measured_interval, state.interval);
}

void sync_percent_value(cursor_set& cursors, const char* value) {
  const percent_work& state = cursors.percent;
  if (!state.first_status || !value || !work_block_present(cursors)) return;
  const std::less<const char*> before;
  const char* end = state.first_status + state.sqlcodes.size() * kStatusWidth;
  if (before(value, state.first_status) || !before(value, end)) return;
  const auto index = static_cast<std::size_t>(value - state.first_status) / kStatusWidth;
  const auto& [col, c] = state.sqlcodes[index];
  place_value(field_of(cursors, *col), kStatusWidth, c->status, true);
}

void set_request_parameters(cursor_set& cursors, std::span<const std::string> params) {
  if (!work_block_present(cursors)) return;
  std::size_t next = 0;
  for (auto& col : cursors.percent_cursor->cols) {
    if (!is_parm_name(col->name)) continue;
    const std::size_t index = next++;
    // A column past the request's parameters is cleared: no value of an
    // earlier request may reach this one.
    static const std::string kNone;
    const std::string& text = index < params.size() ? params[index] : kNone;
    const std::size_t length =
        std::min({text.find('\0'), text.size(), static_cast<std::size_t>(kParameterRoom)});
    char* area = field_of(cursors, *col);
    std::memset(area, ' ', kParameterRoom);
    std::memcpy(area, text.data(), length);
    col->stored_length = static_cast<int16_t>(length);
  }
}

void bind_percent_column(columns& col, const columns& pcol) {
  col.col_type = pcol.col_type;
  col.data_type = pcol.data_type;
  col.stored_length = pcol.stored_length;
  col.value = pcol.value;
  col.indicator = nullptr;
}

}  // namespace qrx
