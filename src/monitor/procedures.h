// Built-in monitor procedures: cursors served by the internal script exit
// whose rows are derived from the monitor counters other cursors collected
// (SYSMON, XMBV, CACHEMAP ...). A procedure returns its result lines; the
// caller owns them. Nothing here keeps rows of its own between calls.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qrx/curs.h"

namespace qrx {

class ExprContext;

// Result lines of one procedure run, first row first.
using ResultLines = std::vector<std::string>;

// How the procedures find the cursors they read.
using CursorLookup = std::function<curs*(const std::string& name)>;

// What one procedure run works with: the expression context its selects
// use, how it finds cursors, and the value the "counter_group" variable
// has while a select reads it.
struct ProcedureEnv {
  ExprContext& cx;
  CursorLookup lookup;
  std::string counter_group;
};

// A built-in procedure: its lines, or nothing after a failure it logged.
using MonitorProcedure = std::optional<ResultLines> (*)(ProcedureEnv& env);

// One entry of the procedure table: cursor name and procedure.
struct ProcedureEntry {
  const char* name;
  MonitorProcedure proc;
};

// The procedure table, searched in order.
std::span<const ProcedureEntry> cur_func_tb();

// Appends `text` as the newest line of `chain`.
void chain_internal_res(std::string_view text, ResultLines& chain);

// Runs the procedure named exactly `name` with the selects of `cx`, finding
// cursors through `lookup`: its lines, or
// nothing (SMON010 for an unknown name, or the procedure's own message).
std::optional<ResultLines> smon_curs_driver(ExprContext& cx, const std::string& name,
                                            const CursorLookup& lookup);

// Makes the internal script exit run the procedures with `cx`, which
// outlives the hook, and `lookup` as smon_curs_driver takes it (collector start-up).
void install_monitor_procedures(ExprContext& cx, CursorLookup lookup);

// Width of a result line, blank-filled after its fields.
constexpr std::size_t kResultLineWidth = 1500;

}  // namespace qrx
