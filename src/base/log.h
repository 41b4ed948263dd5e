// The message log: one line format shared by PRINT and u_msg, the log file
// with numbered backups and wrapping, the standard-error echo and the
// fall-back to standard output. The log stream is owned by this module.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <span>
#include <string>

namespace qrx {

// The open message-log stream, or null (messages then go to standard output).
extern std::FILE* stder;

// Text put in front of every message that goes to standard output (set by
// severity '@'); empty by default.
extern std::string msgPrefix;

// Number of collectors running on this host; above 1 u_msg shows its caller text.
extern int NumberOfCollectors;

// Opens the log when not yet open and writes the header; never fails the caller.
void init_PRINT();

// Formats and writes one message, each line whole or not at all (a line the
// log cannot take goes to standard error after "+ "); returns characters
// written, 1 when nothing could be written, 0 for severity '@'.
int PRINT(char severity, const char* id, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// While on, messages below a warning (severities a, i, t, h) are dropped:
// a command-line tool keeps its standard error for what its user must act
// on. Off by default.
void set_quiet_notices(bool quiet);

// While on, PRINT drops every message: a parser going over statements again
// that it has already reported on. Off by default.
void set_muted(bool mute);

// While `where` is not empty, every error and severe message is followed by
// the line "  at WHERE" (the control-file parsers set the statement being
// read); empty switches it off.
void set_message_location(std::string where);
// The location set_message_location set last (empty when off).
const std::string& current_message_location();

// The location of the first error or severe message logged with one since
// the last call (empty when none), and forgets it.
std::string take_first_fault_location();

// PRINT with the caller's source position, option letters and caller text.
// `options`: severity letter (default 'T'; 'X' = `format` is a finished
// message; 'H' may be followed by a slot number), then any of * - F f H h L l
// P p T t u.
int u_msg(const char* text, const char* source_file, int line, const char* options,
          const char* id, const char* format, ...) __attribute__((format(printf, 6, 7)));

// Rotates the backups of and opens the output file `base` ("col.out" when
// empty); returns the stream (owned by this module) or null. The base
// "col.log" redirects standard output and standard error to the file instead.
std::FILE* u_openPRINTfile(const char* base);

// The output file path for `base` from coll_out, hostname, db_type and serverid.
std::string u_createOutputFileName(const char* base);

// Counts one line on `counter` and wraps the file behind `stream` at the limit.
void check_limit(std::FILE** stream, const char* base, int* counter);

// Writes the module version-header table ("ush0100"); `modules`, when not
// empty, restricts it to the named modules (case-insensitive, leading '-' ignored).
void print_version_headers(std::span<const std::string> modules = {});

// Path of the log file last opened, empty when none is open.
const std::string& log_file_name();

// Closes the log and forgets every cached setting (file name, backup count,
// wrap limit, counters, message prefix, open failures) so that the next
// init_PRINT starts afresh.
void close_PRINT();

// The call that writes each finished line to a file descriptor, once:
// write(2) unless a test puts a failing one in.
using LineWriter = ssize_t (*)(int fd, const void* data, size_t size);
// Installs `writer` (null restores write(2)).
void set_line_writer(LineWriter writer);

// Replaces the process's standard output and standard error as this module
// sees them (echo, fall-back and the "col.log" redirection); null restores
// the real stream. For tests that capture what the log writes there.
void set_std_streams(std::FILE* out, std::FILE* err);

}  // namespace qrx
