#include "agent/status_records.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "base/little_endian.h"
#include "ctl/control_parse.h"
#include "qrx/curs.h"
#include "qrx/distributor.h"

namespace qrx {
namespace {

struct Range {
  int64_t low, high;
};

constexpr Range range_of(StatusKind kind) {
  switch (kind) {
    case StatusKind::kU16: return {0, std::numeric_limits<uint16_t>::max()};
    case StatusKind::kI16: return {std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()};
    case StatusKind::kU32: return {0, std::numeric_limits<uint32_t>::max()};
    case StatusKind::kI32: return {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    default: return {0, 0xff};
  }
}

// Writes the fields of one record into a zeroed buffer of the layout's size.
class StatusWriter {
 public:
  StatusWriter(std::span<const StatusField> layout, std::size_t size)
      : layout_(layout), bytes_(size, 0) {}

  // A text, cut to the field's width; the rest stays NUL.
  void text(int field, std::string_view value) {
    const StatusField& f = layout_[field];
    std::memcpy(at(f, 0), value.data(), std::min<std::size_t>(value.size(), f.width));
  }
  // A text cut to the field's width without splitting a UTF-8 character.
  void whole_characters(int field, std::string_view value) {
    std::size_t n = std::min<std::size_t>(value.size(), layout_[field].width);
    if (n < value.size())
      while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80) --n;
    text(field, value.substr(0, n));
  }
  // Element `index` of an integer or character field, saturated to its range
  // so that an out-of-range value never shows as a wrapped one.
  void number(int field, int64_t value, int index = 0) {
    const StatusField& f = layout_[field];
    const Range r = range_of(f.kind);
    put_le_bytes(at(f, index), static_cast<uint64_t>(std::clamp(value, r.low, r.high)), f.width);
  }
  std::vector<char> take() { return std::move(bytes_); }

 private:
  char* at(const StatusField& f, int index) { return bytes_.data() + f.offset + f.width * index; }

  std::span<const StatusField> layout_;
  std::vector<char> bytes_;
};

}  // namespace

std::vector<char> cursor_status_record(const curs& c) {
  StatusWriter w(kCursorStatusLayout, kCursorStatusSize);
  w.text(kCsName, c.name);
  w.text(kCsLastTime, c.last_time);
  w.number(kCsWindowOpen, c.window_open);
  w.number(kCsWindowClose, c.window_close);
  w.number(kCsStale, c.stale);
  w.number(kCsVirtual, c.is_virtual);
  w.number(kCsEmpty, c.empty);
  w.number(kCsDemand, c.demand);
  w.number(kCsOnce, c.once);
  w.number(kCsNoSql, c.no_sql);
  w.number(kCsInterval, c.interval);
  w.number(kCsInsertSelectBrackets, c.insert_select_brackets);
  w.number(kCsHostVariables, c.host_variables);
  w.number(kCsInsertColumns, c.insert_columns);
  w.number(kCsHold, static_cast<unsigned char>(c.hold));
  w.number(kCsHoldActive, c.hold_active);
  w.number(kCsHasColFunctions, c.has_col_functions);
  w.number(kCsHasMinMax, c.has_min_max);
  w.number(kCsLimit, c.limit);
  w.number(kCsRows, c.rows);
  w.number(kCsTimeLimit, c.time_limit);
  w.number(kCsRowLength, c.row_length);
  w.number(kCsHistory, c.history);
  w.number(kCsClass, c.class_);
  w.number(kCsSamples, c.samples);
  w.text(kCsUuidbase, c.uuidbase);
  w.text(kCsUuidpavc, c.uuidpavc);
  w.text(kCsUuidpcvc, c.uuidpcvc);
  w.number(kCsRpcVersion, c.rpc_version);
  w.number(kCsObjid, c.objid);
  w.number(kCsSet, c.set);
  w.number(kCsShowCursor, c.show_cursor);
  w.number(kCsShowRow, c.show_row);
  w.text(kCsAgeTo, c.age_to);
  w.number(kCsStartAfter, c.start_after);
  w.number(kCsStopAfter, c.stop_after);
  w.number(kCsResultCode, c.result_code);
  w.text(kCsStatus, c.status);
  w.number(kCsDummyLastRow, c.dummy_last_row);
  w.number(kCsConditionalDummyLastRow, c.conditional_dummy_last_row);
  w.number(kCsTrace, c.trace);
  w.number(kCsTraced, c.traced);
  w.number(kCsTracem, c.tracem);
  w.number(kCsStoredRows, c.stored.count());
  w.number(kCsSampleNo, c.sample_no);
  w.number(kCsRowSize, c.row_size);
  w.number(kCsElapsed, c.elapsed);
  w.number(kCsMeasuredInterval, c.measured_interval);
  w.number(kCsRowsThisRun, c.rows_this_run);
  w.number(kCsLastStart, c.last_start);
  w.number(kCsEndTime, c.end_time);
  w.text(kCsFetchTime, c.fetch_time);
  w.number(kCsLastStartUs, c.last_start_us);
  w.number(kCsEndTimeUs, c.end_time_us);
  w.number(kCsLastRunFailed, c.last_run_failed);
  if (c.last_run_failed) w.whole_characters(kCsErrorText, c.error_text);
  return w.take();
}

std::vector<char> distributor_status_record(const distributor& d) {
  StatusWriter w(kDistributorStatusLayout, kDistributorStatusSize);
  w.number(kDsType, d.type);
  w.text(kDsName, d.distrib_name);
  w.text(kDsLogonId, d.logon_id);
  w.text(kDsServerId, d.server_id);
  w.number(kDsTimeOffset, d.time_offset);
  for (int i = 0; i < kMaxHolidays; ++i) w.number(kDsHolidays, d.holidays[i], i);
  w.number(kDsInterval, d.interval);
  w.number(kDsHold, static_cast<unsigned char>(d.hold));
  w.number(kDsContinuous, static_cast<unsigned char>(d.continuous));
  for (int i = 0; i <= kMaxClass; ++i) w.number(kDsClasses, d.classes[i], i);
  w.number(kDsWindowStart, d.window_start);
  w.number(kDsWindowEnd, d.window_end);
  w.number(kDsNextTime, d.next_time);
  w.number(kDsState, d.state);
  w.number(kDsSendFalse, d.send_false);
  w.text(kDsStatus, d.status);
  w.text(kDsLastRun, d.last_run);
  return w.take();
}

namespace {

// The records `build` makes of every element of `chain` but `left_out`,
// back to back.
template <class Chain, class Element, class Build>
std::vector<char> status_rows(const Chain& chain, const Element* left_out, std::size_t size,
                              Build build) {
  std::vector<char> rows;
  rows.reserve(chain.size() * size);
  for (const auto& element : chain) {
    if (element.get() == left_out) continue;
    const std::vector<char> record = build(*element);
    rows.insert(rows.end(), record.begin(), record.end());
  }
  return rows;
}

}  // namespace

std::vector<char> cursor_status_rows(const cursor_set& cursors) {
  return status_rows(cursors.cur_anchor, cursors.percent_cursor, kCursorStatusSize,
                     cursor_status_record);
}

std::vector<char> distributor_status_rows(const Definitions& defs) {
  return status_rows(defs.distrib_anchor, static_cast<const distributor*>(nullptr),
                     kDistributorStatusSize, distributor_status_record);
}

double run_seconds(std::span<const char> record) {
  const auto number = [&](int field) {
    return std::strtod(status_value(record, kCursorStatusLayout[field]).c_str(), nullptr);
  };
  const double start = number(kCsLastStart) + number(kCsLastStartUs) / 1e6;
  const double end = number(kCsEndTime) + number(kCsEndTimeUs) / 1e6;
  const double elapsed = number(kCsElapsed);
  // The times belong to one run only when it succeeded and the whole seconds
  // it was measured in agree (a virtual cursor ends without starting).
  const bool one_run = number(kCsLastRunFailed) == 0 && number(kCsLastStart) != 0 &&
                       end >= start && end - start < elapsed + 1;
  return one_run ? end - start : elapsed;
}

std::string status_value(std::span<const char> record, const StatusField& f, int index) {
  const char* at = record.data() + f.offset + f.width * index;
  switch (f.kind) {
    case StatusKind::kText: return std::string(at, strnlen(at, f.width));
    case StatusKind::kChar: return at[0] ? std::string(1, at[0]) : std::string();
    case StatusKind::kReserved: return {};
    default: break;
  }
  const uint64_t bits = get_le_bytes(at, f.width);
  int64_t value = static_cast<int64_t>(bits);
  if (f.kind == StatusKind::kI16) value = static_cast<int16_t>(bits);
  if (f.kind == StatusKind::kI32) value = static_cast<int32_t>(bits);
  return std::to_string(value);
}

}  // namespace qrx
