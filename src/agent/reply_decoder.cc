#include "agent/reply_decoder.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "agent/status_records.h"
#include "base/dump.h"
#include "base/little_endian.h"
#include "base/relative_time.h"
#include "base/time_text.h"
#include "ctl/control_parse.h"
#include "exec/agent_row.h"
#include "qrx/curs.h"
#include "qrx/dict.h"

namespace qrx {
namespace {

std::string summary(const std::string& name, int numrow, int lenrow) {
  return name + " rows=" + std::to_string(numrow) + " length=" + std::to_string(lenrow);
}

// Rows of `lenrow` bytes that `data` really holds, at most `numrow`.
int whole_rows(std::span<const char> data, int numrow, int lenrow) {
  if (numrow <= 0 || lenrow <= 0) return 0;
  return static_cast<int>(std::min<std::size_t>(numrow, data.size() / lenrow));
}

template <typename T>
T get_le(const char* at) {
  using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
  return std::bit_cast<T>(static_cast<U>(get_le_bytes(at, sizeof(T))));
}

// A text field without the blanks and zero bytes that pad it either side.
std::string field_text(std::string_view v) {
  const std::size_t first = v.find_first_not_of(std::string_view(" \0", 2));
  if (first == std::string_view::npos) return {};
  const std::size_t last = v.find_last_not_of(std::string_view(" \0", 2));
  // Every printable character is kept (names hold '_', '.', ':'); others show as '.'.
  std::string text(v.substr(first, last - first + 1));
  for (char& c : text)
    if (c < 0x20 || c > 0x7e) c = '.';
  return text;
}

std::string field_value(const AgentColumn& col, const char* row) {
  const char* at = row + col.offset;
  switch (col.conversion) {
    case kSendInt: return std::to_string(get_le<int32_t>(at));
    case kSendInt64: return std::to_string(get_le<int64_t>(at));
    case kSendFloat: {
      char text[32];
      const auto result = std::to_chars(text, text + sizeof text, get_le<double>(at));
      return std::string(text, result.ptr);
    }
    default: return field_text(std::string_view(at, col.width));
  }
}

// A scratch cursor holding copies of `c`'s columns, for get_row_size to lay out.
std::unique_ptr<curs> layout_copy(const curs& c) {
  auto copy = std::make_unique<curs>();
  for (const auto& col : c.cols) copy->cols.push_back(std::make_unique<columns>(*col));
  return copy;
}

// A column whose agent width is its stored width, which only the database knows.
bool width_unknown(const columns& col) {
  return col.send_conversion == kSendText && col.output_length == 0;
}

}  // namespace

AgentLayout agent_layout(const Definitions& defs, const curs& c, uint32_t lenrow) {
  AgentLayout layout;
  std::unique_ptr<curs> scratch = layout_copy(c);
  std::vector<columns*> unknown;
  for (auto& col : scratch->cols) {
    if (!width_unknown(*col)) continue;
    const dict_element* element = c.is_virtual ? defs.find_dict_element(col->name) : nullptr;
    if (element) {
      col->stored_length = element->length;
    } else {
      unknown.push_back(col.get());
    }
  }
  if (unknown.size() > 1) {
    layout.problem = "the widths of " + std::to_string(unknown.size()) + " text columns of " +
                     c.name + " are not known";
    return layout;
  }
  bool fits = unknown.empty() && get_row_size(*scratch) == lenrow;
  if (unknown.size() == 1) {
    const int widest = static_cast<int>(std::min<uint32_t>(lenrow, kMaxColumnLength));
    for (int w = widest; w >= 0 && !fits; --w) {
      unknown[0]->stored_length = static_cast<int16_t>(w);
      fits = get_row_size(*scratch) == lenrow;
    }
  }
  if (!fits) {
    layout.problem = "row length " + std::to_string(lenrow) + " does not match the columns of " +
                     c.name;
    return layout;
  }
  for (const auto& col : scratch->cols) {
    if (col->send_conversion == kSendNone) continue;
    layout.columns.push_back({col->name, col->send_conversion, col->output_offset,
                              agent_width(*col)});
  }
  return layout;
}

ProbeTable decode_agent_rows(const std::string& name, const AgentLayout& layout,
                             std::span<const char> data, int numrow, int lenrow) {
  ProbeTable table{name, summary(name, numrow, lenrow), {}, {}};
  for (const AgentColumn& col : layout.columns) {
    const bool numeric = col.conversion == kSendInt || col.conversion == kSendInt64 ||
                         col.conversion == kSendFloat;
    table.columns.push_back({col.name, numeric});
  }
  for (int r = 0; r < whole_rows(data, numrow, lenrow); ++r) {
    const char* row = data.data() + static_cast<std::size_t>(r) * lenrow;
    std::vector<std::string> values;
    for (const AgentColumn& col : layout.columns) values.push_back(field_value(col, row));
    table.rows.push_back(std::move(values));
  }
  return table;
}

ProbeTable printable_rows(const std::string& name, std::span<const char> data, int numrow,
                          int lenrow) {
  ProbeTable table{name, summary(name, numrow, lenrow), {{"row", false}}, {}};
  for (int r = 0; r < whole_rows(data, numrow, lenrow); ++r) {
    const std::string_view row(data.data() + static_cast<std::size_t>(r) * lenrow, lenrow);
    table.rows.push_back({u_printable(row, 'p')});
  }
  return table;
}

namespace {

// How a status column is shown: as the field reads, or a time as local
// date and time (empty when the field holds none).
enum class Shown { kText, kNumber, kNowText, kRelative, kEpoch };

struct StatusColumn {
  int field;
  Shown shown;
};

const StatusColumn kCursorColumns[] = {
    {kCsName, Shown::kText},          {kCsHold, Shown::kText},
    {kCsDemand, Shown::kNumber},      {kCsInterval, Shown::kNumber},
    {kCsLastTime, Shown::kNowText},   {kCsRows, Shown::kNumber},
    {kCsStoredRows, Shown::kNumber},  {kCsResultCode, Shown::kNumber},
    {kCsStatus, Shown::kText},        {kCsElapsed, Shown::kNumber},
    {kCsEndTime, Shown::kEpoch},      {kCsWindowOpen, Shown::kRelative},
    {kCsWindowClose, Shown::kRelative},
};

const StatusColumn kDistributorColumns[] = {
    {kDsName, Shown::kText},           {kDsType, Shown::kText},
    {kDsInterval, Shown::kNumber},     {kDsHold, Shown::kText},
    {kDsState, Shown::kNumber},        {kDsWindowStart, Shown::kRelative},
    {kDsWindowEnd, Shown::kRelative},  {kDsNextTime, Shown::kRelative},
    {kDsLastRun, Shown::kNowText},     {kDsStatus, Shown::kText},
};

std::string distributor_type(const std::string& code) {
  static const char* const kTypes[] = {"", "local", "sql*net", "dial", "ctlib"};
  const int n = std::atoi(code.c_str());
  return n >= 1 && n <= 4 ? kTypes[n] : code;
}

// A field's text (from status_value) as column `c` shows it.
std::string shown_value(const StatusColumn& c, const std::string& value) {
  const long long number = std::strtoll(value.c_str(), nullptr, 10);
  switch (c.shown) {
    case Shown::kNowText: return form_time(value);
    case Shown::kRelative:
      return number == 0 ? "" : form_time(secs_to_date(static_cast<int32_t>(number)));
    case Shown::kEpoch:
      return number == 0 ? "" : u_format_time(static_cast<std::time_t>(number), kTimeSlashed);
    default: return value;
  }
}

}  // namespace

bool status_table(const std::string& name, std::span<const char> data, int numrow, int lenrow,
                  ProbeTable& out) {
  const bool cursors = name == "C-STATUS";
  if (!cursors && name != "D-STATUS") return false;
  const std::size_t size = cursors ? kCursorStatusSize : kDistributorStatusSize;
  if (numrow > 0 && static_cast<std::size_t>(lenrow) != size) return false;
  const std::span<const StatusField> layout =
      cursors ? std::span<const StatusField>(kCursorStatusLayout) : kDistributorStatusLayout;
  const std::span<const StatusColumn> shown =
      cursors ? std::span<const StatusColumn>(kCursorColumns) : kDistributorColumns;
  out = ProbeTable{name, summary(name, numrow, lenrow), {}, {}};
  for (const StatusColumn& c : shown)
    out.columns.push_back({layout[c.field].name, c.shown == Shown::kNumber});
  for (int r = 0; r < whole_rows(data, numrow, lenrow); ++r) {
    const std::span<const char> record = data.subspan(r * size, size);
    std::vector<std::string> values;
    for (const StatusColumn& c : shown) {
      std::string v = shown_value(c, field_text(status_value(record, layout[c.field])));
      if (!cursors && c.field == kDsType) v = distributor_type(v);
      values.push_back(std::move(v));
    }
    out.rows.push_back(std::move(values));
  }
  return true;
}

}  // namespace qrx
