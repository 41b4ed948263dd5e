// Cursor and column records built from COLLECT.CTL. The cursor chain
// `cur_anchor` owns every cursor; a cursor owns its columns, insert columns,
// operate windows and fetch-exit copy. Records are built once at start-up and
// never move once linked, so other modules may keep plain pointers to them.
// A cursor is its definition (fixed after start-up), the links start-up
// hangs on it, the run state made with its definition and its own run state.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <forward_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qrx/decodes.h"
#include "qrx/distributor.h"
#include "qrx/evaluation.h"
#include "qrx/exit_columns.h"
#include "qrx/maths.h"
#include "qrx/row_data.h"
#include "qrx/window.h"

namespace qrx {

constexpr int kCursNameMax = 8;          // characters of a cursor name
constexpr int kColNameMax = 49;          // characters of a column name
constexpr int kMaxColumnLength = 2048;   // longest column or dictionary value

// Send conversions of a column (how its value goes to the agent).
enum SendConversion : uint16_t { kSendText = 0, kSendInt = 1, kSendFloat = 2, kSendTimestamp = 3,
                                 kSendNone = 4, kSendInt64 = 5 };

// Column types and the one data type a column is stored as.
enum ColumnType : uint16_t { kColCharacter = 1, kColNumeric = 2 };

// Column functions of a column.
enum ColumnFunction : uint16_t { kFnNone = 0, kFnMin = 1, kFnMax = 2, kFnAvg = 3, kFnWavg = 4,
                                 kFnTrend = 5, kFnSum = 6, kFnHighWater = 7, kFnLowWater = 8,
                                 kFnCount = 9 };

struct curs;
struct cursor_set;  // the cursors of one set of definitions (qrx/cursor_set.h)
struct version_set;  // the versions of a cursor with conditional sections (qrx/versions.h)

// What a column word says (":INT!AVG!busy^8"); fixed once its cursor's
// start-up edits are done.
struct column_definition {
  std::string name;             // without prefixes, at most kColNameMax characters
  uint16_t function = kFnNone;  // ColumnFunction
  uint16_t occurrence = 0;      // number written in front of the name (0 written counts as 1)
  uint16_t send_conversion = kSendText;
  uint16_t qualified = 0;       // 1 when the word contained "."

  bool operator==(const column_definition&) const = default;
};

// Where a column's value sits in the stored row and how it is read there, as
// the fetch describes it. An age_to target reads its source's rows with the
// source's layout.
struct column_layout {
  uint16_t col_type = 0;        // 2 numeric
  uint16_t data_type = 0;       // fetched data type
  int16_t stored_length = 0;    // width in the stored row
  uint16_t db_length = 0;       // length described by the database
  int32_t stored_offset = 0;    // offset in the stored row
  // The number after "^" (0 when none); the row layout clears it where the
  // agent width is the stored or a binary width.
  uint16_t output_length = 0;

  bool operator==(const column_layout&) const = default;
};

// What the runs learn about a column: its layout, its place in the agent
// row, and what it is bound to. Written by the fetch and the row builder;
// start-up and a version switch resolve the qualified column's source again.
struct column_state : column_layout {
  uint16_t ordinal = 0;         // position among the cursor's columns
  uint32_t output_offset = 0;   // offset in the agent row (get_row_size)
  int16_t select_item = -1;     // bound select-list item, -1 when none
  const char* value = nullptr;  // value field of a virtual or bound variable column
  const int16_t* indicator = nullptr;
  curs* source_cursor = nullptr;       // qualified columns: where the value comes from
  columns* source_column = nullptr;
  std::string mark;             // high- or low-water mark; empty until the first value

  bool operator==(const column_state&) const = default;
};

// One column of a cursor, made from a host-variable word such as ":INT!AVG!busy^8".
struct columns : column_definition, column_state {
  bool operator==(const columns&) const = default;
};

// The columns of a cursor in order of appearance. Each column lives in an
// allocation of its own, so that other records may point at it; copying the
// list copies the columns.
struct column_list : std::vector<std::unique_ptr<columns>> {
  column_list() = default;
  column_list(const column_list& other) : vector() { *this = other; }
  column_list(column_list&&) = default;
  column_list& operator=(column_list&&) = default;
  column_list& operator=(const column_list& other) {
    if (this == &other) return *this;
    clear();
    reserve(other.size());
    for (const auto& col : other) push_back(std::make_unique<columns>(*col));
    return *this;
  }
  // Equal when the columns are, in order (not the same allocations).
  bool operator==(const column_list& other) const {
    return std::equal(begin(), end(), other.begin(), other.end(),
                      [](const auto& a, const auto& b) { return *a == *b; });
  }
};

// One column named in the column list of the model INSERT statement.
struct host_col {
  std::string name;

  bool operator==(const host_col&) const = default;
};

// One result column of a fetch exit's script: a dictionary element named in
// the cursor's insert_select.
struct script_item {
  std::string name;
  int16_t length = 0;   // the element's length
  uint16_t type = 1;    // 2 numeric, 1 otherwise
};

// A fetch exit a cursor may name; the cursor holds its own copy.
struct fetch_ex {
  uint16_t kind = 0;      // 1 for every known exit
  uint16_t routine = 0;   // routine number
  std::string name;       // routine name, e.g. "fetchx1"
  uint32_t mode = 0;      // 1 "t" (with mode_value), 2 "p"
  uint32_t mode_value = 0;
};

// A clause statement whose own parser runs later (decode, math, pre_cursor,
// if ... endif and the like): its keyword code and the text after the keyword.
struct clause_text {
  int code = 0;
  std::string text;
  int section_depth = 0;  // open conditional sections when the statement was read
  std::string location;   // where fault messages place the statement
};

// A length override for one select-list item (set_len clause).
struct set_len {
  std::string name;     // select-list item name
  int16_t length = 0;   // fetch length to use, at most kMaxColumnLength
  int item = -1;        // run time: index of the named item
};

// A cursor that runs before its owner on the request path (pre_cursor clause).
struct pre_cursor {
  std::string name;        // at most 19 characters
  curs* cursor = nullptr;  // resolved at start-up
};

// The cursor whose rows its owner runs once per row (iterate clause).
struct iterate {
  std::string name;        // at most 19 characters
  curs* cursor = nullptr;  // resolved at start-up
};

// Text of an in-list that its cursor has not filled yet.
inline constexpr std::string_view kInListDefault = "( 'ZIP' )";

// A list of one column's values that other cursors' SQL may name (in_list clause).
struct in_list {
  std::string column;                               // at most 55 characters
  std::string list = std::string(kInListDefault);   // current list text
  std::string using_name;                           // at most 49 characters
  columns* source = nullptr;                        // start-up: the column named
  bool built = false;                               // run time: its cursor has run since start-up
  // True once the owning cursor has filled the list (a run without rows
  // leaves the default text, and counts).
  bool filled() const { return built || list != kInListDefault; }
};

// A join of each fetched row to the row of another cursor whose column
// equals one of this row's select-list items (base clause).
struct base {
  std::string name;               // base cursor, at most 15 characters
  std::string item;               // select-list item of this cursor holding the join value
  std::string target;             // column of the base cursor
  curs* cursor = nullptr;         // start-up: the base cursor
  columns* column = nullptr;      // start-up: its column
  const row_data* row = nullptr;  // run time: the base row of the row being built
  std::string location;           // where fault messages place the statement
};

// One exit routine applied to a column of each stored row (column_exit
// clause); the exits of one column run in clause order.
struct col_exit {
  int routine = 0;                 // index into the column-exit table
  int16_t first = 0, second = 0;   // SUBSTR start and length
  std::string other;               // CONCAT: the second column's name
  columns* other_column = nullptr; // start-up: CONCAT's column
  curs* other_cursor = nullptr;    // start-up: the cursor that holds it
};

// The exits of one column, in clause order.
struct col_exit_block {
  std::string column;              // at most 49 characters
  columns* resolved = nullptr;     // start-up: the column of the cursor
  std::vector<col_exit> exits;
};

// A cursor scheduled by a decode action to run after its source's run,
// positioned on the source row with `ordinal`.
struct post_cursor {
  curs* cursor = nullptr;
  int32_t ordinal = 0;
};

// One piece of a cursor's SQL text for the host-variable merge: plain text,
// or a reference to another cursor's column or in-list.
struct hv_segment {
  enum Kind : uint16_t { kText = 1, kReference = 2 };
  uint16_t kind = kText;
  std::size_t start = 0, length = 0;  // text: its place in the SQL text
  curs* cursor = nullptr;             // reference: the cursor named
  columns* column = nullptr;          // reference to a column
  in_list* list = nullptr;            // reference to an in-list
  bool bare = false;                  // written after a "!": unquoted, blanks trimmed
};

// Day indexes of the operate-window chains.
enum Day : int { kSaturday = 0, kSunday = 1, kMonFri = 2, kDays = 3 };

// What the rows of a cursor are made of: its SQL texts, columns and row
// limits. An age_to target takes a copy of its source's.
struct cursor_query {
  std::string sql_text;                    // built by set_selects
  std::string table_name;
  std::string insert_table;
  std::string insert;                      // model INSERT, VALUES rewritten to (?,...)
  column_list cols;                        // in order of appearance
  std::vector<host_col> host_cols;
  int32_t limit = 0;
  int32_t time_limit = 0;
  int32_t samples = 0;
  uint16_t has_col_functions = 0;
  uint16_t has_min_max = 0;

  bool operator==(const cursor_query&) const = default;
};

// What a cursor block defines, built by the parse and completed by the
// start-up edits, then fixed. A cursor with conditional sections has one
// definition per version; a version switch exchanges the whole definition
// (with the version_state made with it). Some clause records carry a field
// their runs fill (an in-list's text, a base's current row, a set_len's
// item); those belong to the version and travel with it. An iterated run
// changes `empty` for its length and puts it back.
struct cursor_definition : cursor_query {
  std::string name;                        // at most kCursNameMax characters
  // The block's statements as read (dictionary values substituted), one a
  // line: two cursors read from the same text have the same definition.
  std::string source;
  int32_t stale = 0;                       // demand refresh period, seconds
  uint16_t is_virtual = 0, empty = 0, demand = 0, once = 0, no_sql = 0;
  int32_t interval = 0;
  uint16_t insert_select_brackets = 0;     // 1 when insert_select contains "["
  std::string insert_select;
  uint16_t host_variables = 0;             // host-variable words seen
  std::string insert_where;
  uint16_t insert_columns = 0;
  uint16_t hold_active = 0;                // 1 when the definition holds the cursor
  uint16_t history = 0;
  int32_t class_ = 0;
  std::string uuidbase, uuidpavc, uuidpcvc;
  int32_t rpc_version = 0;
  int32_t objid = 0;
  int32_t set = 0;
  uint16_t show_row = 0;
  std::vector<std::string> loads;          // load texts, statement order
  std::vector<std::unique_ptr<lp_ptr>> load_records;  // built from `loads` by parse_loads
  std::string age_to;                      // at most kCursNameMax characters
  std::optional<fetch_ex> fetch_exit;
  int32_t start_after = 0, stop_after = 0;
  std::string script;
  std::vector<script_item> script_items;   // the script's result columns (parse_script_exit)
  uint16_t dummy_last_row = 0, conditional_dummy_last_row = 0;
  WindowList windows[kDays];               // Saturday, Sunday, Monday to Friday
  std::vector<clause_text> clauses;        // clauses parsed by later passes
  uint16_t has_if = 0;                     // 1 when the block holds a conditional section
  std::vector<std::unique_ptr<decode>> decodes;  // one per decoded column, first appearance first
  std::unique_ptr<decode> iterate_where;   // the iterate_where condition, if any
  std::vector<std::unique_ptr<m_anch>> maths;  // math statements, statement order
  std::vector<set_len> set_lens;           // statement order
  std::vector<pre_cursor> pre_cursors;     // statement order
  std::optional<iterate> iterator;         // the iterate clause, when given
  std::vector<in_list> in_lists;           // statement order; never resized after parsing
  std::vector<base> bases;                 // statement order
  std::vector<col_exit_block> col_exits;   // one block per column, first appearance first
  // Day-window values held until their partner arrives.
  std::optional<int32_t> held_start[kDays], held_end[kDays];
};

// What start-up hangs on a cursor from outside its block, by its name:
// trace flags, evaluations, the distributor, the age_to relation and the
// versions. Fixed after start-up; a version switch leaves it with the cursor.
struct cursor_links {
  cursor_set* owning_set = nullptr;  // the set that owns the cursor (cursor_set::add), null off any set
  uint16_t trace = 0, traced = 0, tracem = 0;
  std::forward_list<e_ptr> evaluations;    // the last read first
  distributor* collector = nullptr;  // the distributor named "collector" (its run status is set)
  curs* age_target = nullptr;              // the age_to cursor
  curs* age_source = nullptr;              // on an age_to target, the cursor aged into it
  // The versions the conditional sections make; null for a cursor without
  // sections. The set is shared by nothing else.
  std::shared_ptr<version_set> versions;
};

// Run state made with one version's definition and only readable with it:
// the stored rows and their layout, the fetch buffers, the fetch exit's
// result columns, the flags the definition sets for its first runs. Changes
// with every run; a version switch exchanges it with the definition.
struct version_state {
  int32_t rows = 0;                        // rows the last run produced, 0 after a failure
  uint32_t row_length = 0;
  uint16_t history_due = 0;                // rows added since the historian last wrote them
  uint16_t show_cursor = 0;                // log the cursor at its next request, then clear
  std::optional<exit_columns> exit_table;  // the fetch exit's column definitions, made on first use
  uint16_t iterated = 0;                   // 1 when the cursor runs once per row of another
  uint16_t set_lens_resolved = 0;          // every set_len name found
  std::string base_warned;                 // the item cba3350 last warned about
  std::vector<post_cursor> post_cursors;   // queued by decode actions, in order
  std::vector<hv_segment> hv_segments;     // the SQL text cut at its references
  uint16_t hv_built = 0;                   // hv_segments is complete
  row_chain stored;                        // oldest first
  owned_row column_data;                   // one-row column-function result, null until computed
  int32_t sample_no = 0;                   // current sample number
  uint32_t row_size = 0;                   // agent row size, 0 until first computed
  uint16_t layout_fixed = 0;               // stored offsets assigned (first row built)
  uint16_t rows_changed = 0;               // set whenever rows are added or removed
  uint16_t format_dumped = 0;              // the agent-row column table was logged
  std::string dummy_row;                   // template of the dummy last row, built once
  int32_t stale_time = 0;                  // relative second at which demand rows go stale
  std::string fetch_time;                  // now text of the last fetch
  std::vector<char> row_buffer;            // the fetched row, columns back to back, plus a zero byte
  std::vector<int16_t> indicators;         // one per select column
  int32_t rows_this_run = 0;               // rows fetched in the current sample
  const row_data* function_row = nullptr;  // row a MIN or MAX column function chose last
};

// Run state of the cursor whatever version it holds: its schedule, the
// outcome and times of its last run, its holds and aging state. A version
// switch leaves it with the cursor; only the hold follows the definition
// unless a decode holds the cursor.
struct cursor_state {
  std::string last_time = "19900101010101";
  int32_t window_open = 0, window_close = 0;
  int32_t next_time = 0;                   // relative second at which the interval has elapsed
  uint16_t bypassed = 0;                   // the last collection pass bypassed the cursor
  uint16_t pre_copy = 0, post_copy = 0;    // aging state towards the age_to target
  // The SQL code of the last statement and its 16-character text.
  int32_t result_code = 0;
  std::string status = std::string(16, ' ');
  std::string error_text;                  // why the last failed run failed
  std::string selection_time;              // now text of the last version selection
  std::time_t previous_start = 0;          // start of the run before the last
  std::time_t last_start = 0;              // start of the last run
  std::time_t end_time = 0;                // end of the last successful run
  int32_t measured_interval = 0;           // seconds between the last two starts
  int32_t elapsed = 0;                     // seconds the last run took, whatever its outcome
  uint32_t last_start_us = 0;              // microseconds past last_start
  uint32_t end_time_us = 0;                // microseconds past end_time
  uint16_t last_run_failed = 0;            // 1: the last run failed (error_text says why)
  uint16_t skip = 0;                       // skip mark: demand refresh, nrqs and deletion pass it by
  char hold = 0;                           // 'Y' while held: by the definition, a fault or a decode
  uint16_t hold_below = 0;                 // held by a decode's "hold below"
  uint16_t hold_named = 0;                 // held by a decode naming this cursor
};

// One cursor: a named query with its columns, schedule and clauses.
struct curs : cursor_definition, cursor_links, version_state, cursor_state {};

// True when `row` belongs to the cursor's current data: every row, or only
// the current sample's rows when the cursor keeps samples.
inline bool in_current_sample(const curs& c, const row_data& row) {
  return c.samples <= 0 || row.sample == c.sample_no;
}

// The first row at or after `row` (null: none) that belongs to the cursor's
// current data. A cursor keeping samples holds the samples before the
// current one until its next run prunes them; readers of its data skip them.
inline const row_data* current_row_from(const curs& c, const row_data* row) {
  while (row != nullptr && !in_current_sample(c, *row)) row = row->next;
  return row;
}

}  // namespace qrx
