// Built-in monitor procedures: cursors served by the internal script exit
// whose rows are derived from the monitor counters other cursors collected
// (SYSMON, XMBV, CACHEMAP ...). A procedure returns its result lines; the
// caller owns them. Nothing here keeps rows of its own between calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qrx/curs.h"

namespace qrx {

// Result lines of one procedure run, first row first.
using ResultLines = std::vector<std::string>;

// A built-in procedure: its lines, or nothing after a failure it logged.
using MonitorProcedure = std::optional<ResultLines> (*)();

// One entry of the procedure table: cursor name and procedure.
struct ProcedureEntry {
  const char* name;
  MonitorProcedure proc;
};

// The procedure table, searched in order.
const std::vector<ProcedureEntry>& cur_func_tb();

// Appends `text` as the newest line of `chain`.
void chain_internal_res(std::string_view text, ResultLines& chain);

// Runs the procedure named exactly `name`: its lines, or nothing (SMON010
// for an unknown name, or the procedure's own message).
std::optional<ResultLines> smon_curs_driver(const std::string& name);

// How the procedures find the cursors they read; null restores the
// collector's own lookup.
void set_monitor_cursor_lookup(curs* (*lookup)(const std::string& name));

// Makes the internal script exit run the procedures (collector start-up).
void install_monitor_procedures();

// Width of a result line, blank-filled after its fields.
constexpr std::size_t kResultLineWidth = 1500;

}  // namespace qrx
