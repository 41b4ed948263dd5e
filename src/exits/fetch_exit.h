// Fetch exits: cursors whose rows come from an outside program. A run builds
// the command from the cursor's script text, runs it as a child, cuts each
// output line into column values by the exit's layout and merges the values
// into the cursor's stored rows; also the run of a cursor's script
// (parse_script_text). Rows added belong to the cursor.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exits/child_process.h"
#include "exits/result_tables.h"
#include "qrx/curs.h"

namespace qrx {

// Routine numbers of the known exits and their output layouts.
enum : uint16_t {
  kExitColumnar = 1,   // and 4: fields at column positions
  kExitSimple = 2,     // words
  kExitTabbed = 3,     // tab-separated fields
  kExitColumnar4 = 4,
  kExitFormatted = 5,  // every column takes the line
  kExitInternal = 9,   // no command: built-in procedures
  kExitProcedure = 10, // layout of built-in procedure lines: tab-separated fields, empty ones skipped
};
// Modes of an exit.
enum : uint32_t { kModeTimed = 1, kModeDetached = 2, kModeScript = 7 };

constexpr std::size_t kExitParmsMax = 16000;  // bytes of the parameter text
constexpr int kExitSeconds = 30;              // time limit of a timed exit without its own

// The time limit of a child of `c` that has no limit of its own: the
// interval of the distributor that runs it, at most kDefaultExecSeconds.
int default_child_seconds(const curs& c);

// One exit run.
struct fetchExitGlobal {
  std::string parms;           // parameters, host variables completed
  std::string command;         // program, placeholders completed
  exec_lines output;
  int32_t skip = 0;            // lines still to skip (start_after)
  int32_t keep = 0;            // rows still to keep (stop_after); 0: all
  std::string time_stamp;      // 14 digits
  std::unique_ptr<DBX> anchor;
  curs* cursor = nullptr;
  uint16_t routine = 0;
  uint32_t mode = 0;
  uint32_t mode_value = 0;
  bool shell_text = false;     // the script text itself uses shell syntax
};

// Runs `c`'s fetch exit at `time_stamp`; adds the rows merged to
// `rows_out`. 0 when rows were merged (or a dummy row stands in), 1 when
// the exit produced no usable rows. Sets the cursor's code: 100 after
// success, -1 after failure (status "-1").
int run_cursor_fetch_exit(curs& c, const std::string& time_stamp, int32_t& rows_out);

// Prepares `g` for a run of `c`: the exit's numbers, start_after and
// stop_after, a new result anchor, the status "0".
void setCurs4exit(fetchExitGlobal& g, curs& c, const std::string& time_stamp);

// Builds the command and its parameters from the cursor's script text;
// values taken from rows and variables are quoted for the shell, so that
// each stays one word, and whether the shell runs the command is decided by
// the script text alone. 0, or 1 after logging when a host variable could
// not be completed.
int formatCommand(fetchExitGlobal& g);

// Cuts the output lines into result rows by the exit's layout; message
// lines go to the log. Returns the number of rows.
int parseCmdResults(fetchExitGlobal& g);

// The values one output line gives, column by column, for each layout.
std::vector<std::string> simpleParsing(std::string_view line, std::size_t columns);
std::vector<std::string> syntaxParsing(std::string_view line, const std::vector<COLUMN_DATA>& defs);
std::vector<std::string> tabbedParsing(std::string_view line, std::size_t columns);
std::vector<std::string> cformatParsing(std::string_view line, const std::vector<COLUMN_DATA>& defs);
// Fields of a built-in procedure's line: the pieces between tabs, blanks
// trimmed, empty pieces skipped (labels keep their inner blanks).
std::vector<std::string> procedureParsing(std::string_view line, std::size_t columns);

// Merges the result rows into the cursor's rows; the rows merged, or -1
// when a merge failed (the cursor is held and its code becomes -1; rows
// merged before stay). Frees the rows and the anchor.
int merge_DB_DATA2curs(fetchExitGlobal& g);

// A built-in procedure for the internal script exit: the output lines of
// procedure call `parms` for `c`, or nothing when it failed.
using ScriptProcedure =
    std::function<std::optional<std::vector<std::string>>(curs& c, const std::string& parms)>;

// The process-wide procedure runner; empty until the procedures are installed.
ScriptProcedure& script_procedure();

// Runs `c`'s script at `time_stamp`: through the built-in procedures for
// routine 9, else as a program. Its output lines become rows: a program's
// by words (quoted words kept whole), a procedure's by procedureParsing. Returns 0 (rows, a dummy row, or none), 1 after a
// failure (the cursor's code becomes -1).
int parse_script_text(curs& c, const std::string& time_stamp, int32_t& rows_out, int routine);

}  // namespace qrx
