// Entry points of the control-file parsers. Each reads its file through the
// control-file search ("dict", "coll", "trac") or, for tests and tools, a text
// given by the caller. Records built go to the process-wide chains
// (`dict_anchor`, `cur_anchor`); messages go to the message log.
#pragma once

#include <string>
#include <string_view>

namespace qrx {

// Start-up stops the collector with this code when a definition file fails.
constexpr int kParseFailureCode = -1001;
// Start-up stops the collector with this code when DICT.CTL fails.
constexpr int kControlFileFailureCode = -1000;

// Parses DICT.CTL; 0 on success, 1 on any error or when there is no file.
int parse_dict();
int parse_dict_text(std::string_view text);

// Parses PROCESS.CTL into `distrib_anchor`, names `collector_at` and computes
// every distributor's first window; 0 on success, 1 on any error, when there
// is no file or no distributor named "collector".
int parse_distributor();
int parse_distributor_text(std::string_view text);

// parse_distributor for start-up: 0, or deletes the distributors and returns
// kParseFailureCode. Lists the distributors when tracing.
int init_dist();

// Parses the evaluator file and hangs each evaluation on its cursor; 0 on
// success, 1 on any error or when there is no file.
int parse_eval();
int parse_eval_text(std::string_view text);

// parse_eval for start-up: 0, or kParseFailureCode.
int init_eval();

// Reads the interface definition file named by `word` (an INSERT's second
// word, "!" removed, ".RQS" added) and writes the INSERT it describes into
// `statement`, adding its host variables to `c`; 0, or 1 after reporting.
struct curs;
int parse_rqs(std::string_view word, std::string& statement, curs& c);

// Keyword code of a DICT.CTL word (all lower or all upper case); 0 if none.
int test_dict_word(const char* text, int length);

// Keyword code of a COLLECT.CTL word, ignoring case; 0 if none.
int test_word(const char* text, int length);

// Parses COLLECT.CTL into `cur_anchor`; 0 on success, 1 on any error or when
// there is no file. A failed parse leaves the cursors it built on the chain.
int parse_curs();
int parse_curs_text(std::string_view text);

// Parses COLLECT.CTL and runs the start-up editing passes; 0 on success, else
// deletes every cursor and returns kParseFailureCode.
int init_cursors();

// Deletes every cursor.
void del_curs();

// Reads TRACE.CTL and sets the trace flags it names; 1 when it had errors,
// 0 otherwise (also when there is no file).
int parse_trace();
int parse_trace_text(std::string_view text);

// Keyword code of a TRACE.CTL word (all lower or all upper case); 0 if none.
int test_trace_word(const char* word, int length);

// Set when the trace file is to be read again by reset_tracing.
extern int reset_trace;

// Clears every cursor's trace flags and both trace switches, reads TRACE.CTL
// again and clears `reset_trace`.
void reset_tracing();

}  // namespace qrx
