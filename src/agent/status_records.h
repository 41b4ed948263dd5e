// The fixed byte layouts of the status replies: one 456-byte record per
// cursor ("C-STATUS") and one 788-byte record per distributor ("D-STATUS"),
// built from the in-memory records field by field, and read back by the
// probe. The caller owns the returned bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ctl/definitions.h"

namespace qrx {

struct curs;
struct distributor;

constexpr std::size_t kCursorStatusSize = 456;
constexpr std::size_t kDistributorStatusSize = 788;

// How a status field's bytes are read. Integers are little-endian; texts are
// NUL-padded (a text the record holds blank-padded keeps its blanks);
// reserved fields are zero bytes.
enum class StatusKind : uint8_t { kText, kChar, kU16, kI16, kU32, kI32, kReserved };

// One field of a status record: `count` elements of `width` bytes from `offset`.
struct StatusField {
  const char* name;
  uint16_t offset;
  uint16_t width;
  uint16_t count;
  StatusKind kind;
};

// Cursor status fields, in record order.
enum CursorStatusField : int {
  kCsName, kCsLastTime, kCsWindowOpen, kCsWindowClose, kCsStale, kCsVirtual, kCsEmpty,
  kCsDemand, kCsOnce, kCsNoSql, kCsInterval, kCsInsertSelectBrackets, kCsHostVariables,
  kCsInsertColumns, kCsHold, kCsHoldActive, kCsHasColFunctions, kCsHasMinMax, kCsLimit,
  kCsRows, kCsTimeLimit, kCsRowLength, kCsHistory, kCsClass, kCsSamples, kCsUuidbase,
  kCsUuidpavc, kCsUuidpcvc, kCsRpcVersion, kCsObjid, kCsSet, kCsShowCursor, kCsShowRow,
  kCsAgeTo, kCsStartAfter, kCsStopAfter, kCsResultCode, kCsStatus, kCsDummyLastRow,
  kCsConditionalDummyLastRow, kCsTrace, kCsTraced, kCsTracem,
  // Run-time values this collector keeps beside the record's own fields.
  kCsStoredRows, kCsSampleNo, kCsRowSize, kCsElapsed, kCsMeasuredInterval, kCsRowsThisRun,
  kCsLastStart, kCsEndTime, kCsFetchTime, kCsLastStartUs, kCsEndTimeUs, kCsLastRunFailed,
  kCsErrorText, kCsReserved,
  kCursorStatusFieldCount
};

inline constexpr StatusField kCursorStatusLayout[kCursorStatusFieldCount] = {
    {"name", 0, 9, 1, StatusKind::kText},
    {"last_time", 9, 15, 1, StatusKind::kText},
    {"window_open", 24, 4, 1, StatusKind::kU32},
    {"window_close", 28, 4, 1, StatusKind::kU32},
    {"stale", 32, 4, 1, StatusKind::kU32},
    {"virtual", 36, 2, 1, StatusKind::kU16},
    {"empty", 38, 2, 1, StatusKind::kU16},
    {"demand", 40, 2, 1, StatusKind::kU16},
    {"once", 42, 2, 1, StatusKind::kU16},
    {"no_sql", 44, 2, 1, StatusKind::kU16},
    {"interval", 48, 4, 1, StatusKind::kU32},
    {"insert_select_brackets", 52, 2, 1, StatusKind::kU16},
    {"host_variables", 54, 2, 1, StatusKind::kU16},
    {"insert_columns", 56, 2, 1, StatusKind::kU16},
    {"hold", 58, 1, 1, StatusKind::kChar},
    {"hold_active", 60, 2, 1, StatusKind::kU16},
    {"has_col_functions", 62, 2, 1, StatusKind::kU16},
    {"has_min_max", 64, 2, 1, StatusKind::kU16},
    {"limit", 68, 4, 1, StatusKind::kI32},
    {"rows", 72, 4, 1, StatusKind::kI32},
    {"time_limit", 76, 4, 1, StatusKind::kI32},
    {"row_length", 80, 4, 1, StatusKind::kU32},
    {"history", 84, 2, 1, StatusKind::kU16},
    {"class", 88, 4, 1, StatusKind::kI32},
    {"samples", 92, 2, 1, StatusKind::kU16},
    {"uuidbase", 94, 37, 1, StatusKind::kText},
    {"uuidpavc", 131, 37, 1, StatusKind::kText},
    {"uuidpcvc", 168, 37, 1, StatusKind::kText},
    {"rpc_version", 208, 4, 1, StatusKind::kI32},
    {"objid", 212, 4, 1, StatusKind::kI32},
    {"set", 216, 4, 1, StatusKind::kI32},
    {"show_cursor", 220, 2, 1, StatusKind::kU16},
    {"show_row", 222, 2, 1, StatusKind::kU16},
    {"age_to", 224, 9, 1, StatusKind::kText},
    {"start_after", 234, 2, 1, StatusKind::kU16},
    {"stop_after", 236, 2, 1, StatusKind::kU16},
    {"result_code", 240, 4, 1, StatusKind::kI32},
    {"status", 244, 16, 1, StatusKind::kText},
    {"dummy_last_row", 260, 2, 1, StatusKind::kU16},
    {"conditional_dummy_last_row", 262, 2, 1, StatusKind::kU16},
    {"trace", 264, 2, 1, StatusKind::kU16},
    {"traced", 266, 2, 1, StatusKind::kU16},
    {"tracem", 268, 2, 1, StatusKind::kU16},
    {"stored_rows", 272, 4, 1, StatusKind::kU32},
    {"sample_no", 276, 4, 1, StatusKind::kI32},
    {"row_size", 280, 4, 1, StatusKind::kU32},
    {"elapsed", 284, 4, 1, StatusKind::kI32},
    {"measured_interval", 288, 4, 1, StatusKind::kI32},
    {"rows_this_run", 292, 4, 1, StatusKind::kI32},
    {"last_start", 296, 4, 1, StatusKind::kU32},
    {"end_time", 300, 4, 1, StatusKind::kU32},
    {"fetch_time", 304, 15, 1, StatusKind::kText},
    // The fractions of last_start and end_time, so that a run's duration is
    // known below the second; whether the last run failed and the database's
    // message saying why, cut to the field.
    {"last_start_us", 320, 4, 1, StatusKind::kU32},
    {"end_time_us", 324, 4, 1, StatusKind::kU32},
    {"last_run_failed", 328, 2, 1, StatusKind::kU16},
    {"error_text", 330, 120, 1, StatusKind::kText},
    {"reserved", 450, 6, 1, StatusKind::kReserved},
};

// Distributor status fields, in record order.
enum DistributorStatusField : int {
  kDsType, kDsName, kDsLogonId, kDsPassword, kDsServerId, kDsTimeOffset, kDsHolidays,
  kDsInterval, kDsHold, kDsContinuous, kDsClasses, kDsWindowStart, kDsWindowEnd, kDsNextTime,
  kDsState, kDsSendFalse,
  // Run-time values this collector keeps beside the record's own fields.
  kDsStatus, kDsLastRun, kDsReserved,
  kDistributorStatusFieldCount
};

inline constexpr StatusField kDistributorStatusLayout[kDistributorStatusFieldCount] = {
    {"type", 0, 2, 1, StatusKind::kI16},
    {"distrib_name", 2, 25, 1, StatusKind::kText},
    {"logon_id", 27, 33, 1, StatusKind::kText},
    {"password", 60, 100, 1, StatusKind::kReserved},  // never leaves the process
    {"server_id", 160, 48, 1, StatusKind::kText},
    {"time_offset", 208, 4, 1, StatusKind::kI32},
    {"holidays", 212, 4, 100, StatusKind::kI32},
    {"interval", 612, 4, 1, StatusKind::kU32},
    {"hold", 616, 1, 1, StatusKind::kChar},
    {"continuous", 617, 1, 1, StatusKind::kChar},
    {"classes", 618, 2, 51, StatusKind::kI16},
    {"window_start", 720, 4, 1, StatusKind::kU32},
    {"window_end", 724, 4, 1, StatusKind::kU32},
    {"next_time", 728, 4, 1, StatusKind::kU32},
    {"state", 732, 2, 1, StatusKind::kI16},
    {"send_false", 734, 2, 1, StatusKind::kI16},
    {"status", 736, 8, 1, StatusKind::kText},
    {"last_run", 744, 15, 1, StatusKind::kText},
    {"reserved", 759, 29, 1, StatusKind::kReserved},
};

// True when the fields follow each other without overlap, integers sit at a
// multiple of their width, and the last field ends exactly at `size`.
constexpr bool status_layout_sound(std::span<const StatusField> layout, std::size_t size) {
  std::size_t end = 0;
  for (const StatusField& f : layout) {
    const bool integer = f.kind != StatusKind::kText && f.kind != StatusKind::kChar &&
                         f.kind != StatusKind::kReserved;
    if (f.offset < end || (integer && f.offset % f.width != 0)) return false;
    end = std::size_t{f.offset} + std::size_t{f.width} * f.count;
  }
  return end == size;
}
static_assert(status_layout_sound(kCursorStatusLayout, kCursorStatusSize));
static_assert(status_layout_sound(kDistributorStatusLayout, kDistributorStatusSize));

// The status record of `c`, kCursorStatusSize bytes. An error text longer
// than its field is cut at a character boundary.
std::vector<char> cursor_status_record(const curs& c);

// The status record of `d`, kDistributorStatusSize bytes; its password stays zero.
std::vector<char> distributor_status_record(const distributor& d);

// One cursor status record per cursor of `cursors`, back to back; the
// percent cursor, internal to the collector, has none.
std::vector<char> cursor_status_rows(const cursor_set& cursors);

// One distributor status record per distributor of `defs`, back to back.
std::vector<char> distributor_status_rows(const Definitions& defs);

// The seconds the last run of the cursor whose status record is `record`
// took: from its start and end times, with their fractions, when they are
// those of its last run and it succeeded; otherwise the whole seconds of its
// elapsed field.
double run_seconds(std::span<const char> record);

// Element `index` of field `f` of `record` as text: a text up to its first
// NUL, a character field as that character (empty when 0), an integer in
// decimal. `record` must hold the whole layout.
std::string status_value(std::span<const char> record, const StatusField& f, int index = 0);

}  // namespace qrx
