// Entry points of the control-file parsers. Each reads its file through the
// control-file search ("dict", "coll", "trac") or, for tests and tools, a text
// given by the caller. What they read goes to the caller's Definitions (the
// cursors to its `cur_anchor`); messages go to the message log.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/definitions.h"
#include "qrx/curs.h"

namespace qrx {

// Start-up stops the collector with this code when a definition file fails.
constexpr int kParseFailureCode = -1001;
// Start-up stops the collector with this code when DICT.CTL fails.
constexpr int kControlFileFailureCode = -1000;

// Parses DICT.CTL into `defs.dict_anchor`; 0 on success, 1 on any error or
// when there is no file.
int parse_dict(Definitions& defs);
int parse_dict_text(Definitions& defs, std::string_view text);

// Parses PROCESS.CTL into `defs.distrib_anchor`, names `defs.collector_at`
// and computes every distributor's first window; 0 on success, 1 on any
// error, when there is no file or no distributor named "collector".
int parse_distributor(Definitions& defs);
int parse_distributor_text(Definitions& defs, std::string_view text);

// parse_distributor for start-up: 0, or deletes the distributors and returns
// kParseFailureCode. Lists the distributors when tracing.
int init_dist(Definitions& defs);

// Parses the evaluator file and hangs each evaluation on its cursor of
// `cursors`; 0 on success, 1 on any error or when there is no file.
int parse_eval(cursor_set& cursors);
int parse_eval_text(cursor_set& cursors, std::string_view text);

// parse_eval for start-up: 0, or kParseFailureCode.
int init_eval(cursor_set& cursors);

// Reads the interface definition file named by `word` (an INSERT's second
// word, "!" removed, ".RQS" added) and writes the INSERT it describes into
// `statement`, adding its host variables to `c`; 0, or 1 after reporting.
int parse_rqs(std::string_view word, std::string& statement, curs& c);

// Keyword code of a DICT.CTL word (all lower or all upper case); 0 if none.
int test_dict_word(const char* text, int length);

// Keyword code of a COLLECT.CTL word, ignoring case; 0 if none.
int test_word(const char* text, int length);

// Parses COLLECT.CTL into `defs.cur_anchor` (its cursors and percent cursor
// replaced), checking script-exit names against
// `defs`' dictionary, giving every cursor `defs.collector_at` and setting
// `defs.go_home_time`; 0 on success, 1 on any error or when there is no
// file. A failed parse leaves the cursors it built on the chain.
int parse_curs(Definitions& defs);
int parse_curs_text(Definitions& defs, std::string_view text);

// Reads TRACE.CTL and sets the trace flags it names on `cursors`; 1 when it
// had errors, 0 otherwise (also when there is no file).
int parse_trace(cursor_set& cursors);
int parse_trace_text(cursor_set& cursors, std::string_view text);

// Keyword code of a TRACE.CTL word (all lower or all upper case); 0 if none.
int test_trace_word(const char* word, int length);

// Set when the trace file is to be read again by reset_tracing.
extern int reset_trace;

// Clears the trace flags of every cursor of `cursors` and both trace
// switches, reads TRACE.CTL again and clears `reset_trace`.
void reset_tracing(cursor_set& cursors);

// The column of `c` named exactly `name`, or null.
columns* column_named(curs& c, std::string_view name);

// The keywords of the control files as the parsers' tables spell them (lower
// case, NAME.RQS's special columns upper case), so that a check can find
// each one in the documentation: PROCESS.CTL, DICT.CTL, COLLECT.CTL with its
// load words and decode operators, TRACE.CTL, the evaluator file, NAME.RQS.
std::vector<std::string> distributor_keywords();
std::vector<std::string> dict_keywords();
std::vector<std::string> cursor_keywords();
std::vector<std::string> load_keywords();
std::vector<std::string> decode_keywords();
std::vector<std::string> trace_keywords();
std::vector<std::string> eval_keywords();
std::vector<std::string> rqs_keywords();

// Trace listing of every distributor ("psp1380".."psp1500"); the password
// shows as "***".
void show_processes(const Definitions& defs);

}  // namespace qrx
