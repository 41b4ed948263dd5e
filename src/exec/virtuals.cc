#include "exec/virtuals.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/stored_rows.h"
#include "qrx/dict.h"

namespace qrx {

namespace {

constexpr int kStatusMin = 6;  // room for any SQL code

// Every virtual column reads "not NULL" through this one indicator.
const int16_t shared_indicator = 0;

bool is_servstat(const std::string& name) { return name == "SERVSTAT" || name == "servstat"; }
bool is_sqlrc(const std::string& name) { return name == "SQLRC" || name == "sqlrc"; }

columns* status_column(const cursor_set& cursors, curs** owner) {
  for (auto& c : cursors.cur_anchor) {
    if (!c->is_virtual || !is_servstat(c->name)) continue;
    for (auto& col : c->cols) {
      if (!is_sqlrc(col->name)) continue;
      *owner = c.get();
      return col.get();
    }
  }
  return nullptr;
}

// Builds the row of one virtual cursor; 1 when a column has no element.
int init_virtual(const Definitions& defs, curs& c) {
  c.demand = 1;
  std::vector<const dict_element*> elements;
  int rc = 0;
  uint32_t length = 0;
  for (auto& col : c.cols) {
    const dict_element* e = defs.find_dict_element(col->name);
    if (!e) {
      PRINT('e', "pvt2185", "Host var not matched: %s.%s (%d)\n", c.name.c_str(),
            col->name.c_str(), col->ordinal);
      rc = 1;
    }
    elements.push_back(e);
    if (e) length += static_cast<uint32_t>(e->length) + 1;
  }
  if (rc) return rc;
  row_data* row = row_chain::allocate(length + 1);
  char* data = row->data();
  uint32_t offset = 0;
  for (std::size_t i = 0; i < c.cols.size(); ++i) {
    columns& col = *c.cols[i];
    const dict_element& e = *elements[i];
    col.stored_offset = static_cast<int32_t>(offset);
    col.stored_length = e.length;
    col.value = data + offset;
    col.indicator = &shared_indicator;
    col.col_type = e.numeric == kColNumeric ? kColNumeric : kColCharacter;
    col.data_type = kColCharacter;
    place_value(data + offset, static_cast<std::size_t>(e.length), e.initial.value_or(""),
                col.col_type == kColNumeric);
    if (trace_all)
      PRINT('t', "pvt2195", " Init %s.%s = '%.*s'\n", c.name.c_str(), col.name.c_str(),
            static_cast<int>(e.length), data + offset);
    offset += static_cast<uint32_t>(e.length) + 1;
  }
  c.row_length = length;
  c.layout_fixed = 1;
  c.stored.clear();
  c.sample_no = 1;
  row->data_length = length;
  link_row(c, row);
  if (is_servstat(c.name)) {
    for (auto& col : c.cols)
      if (is_sqlrc(col->name) && col->stored_length < kStatusMin)
        PRINT('w', "pvt2190", "SQLRC in SERVSTAT is too short at %d (at least 6)\n",
              col->stored_length);
  }
  return 0;
}

}  // namespace

int init_virtuals(const Definitions& defs) {
  int rc = 0;
  for (auto& c : defs.cur_anchor)
    if (c->is_virtual && init_virtual(defs, *c) != 0) rc = 1;
  return rc;
}

std::span<char> servstatus_field(const cursor_set& cursors) {
  curs* owner = nullptr;
  const columns* col = status_column(cursors, &owner);
  if (!col || col->stored_length < kStatusMin || !owner->stored.last()) return {};
  return {owner->stored.last()->data() + col->stored_offset,
          static_cast<std::size_t>(col->stored_length)};
}

int set_status(const cursor_set& cursors, int code) {
  const std::span<char> field = servstatus_field(cursors);
  if (field.empty()) return 0;
  std::memset(field.data(), ' ', field.size());
  if (code != 0 && code != 100 && code != 1403) {
    const std::string text = std::to_string(code);
    std::memcpy(field.data(), text.data(), std::min(text.size(), field.size()));
  }
  return 0;
}

}  // namespace qrx
