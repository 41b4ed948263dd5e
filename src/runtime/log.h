// The message log: one line format shared by PRINT and u_msg, the log file
// with numbered backups and wrapping, the standard-error echo and the
// fall-back to standard output. The log stream is owned by this module.
#pragma once

#include <cstdio>
#include <string>

namespace qrx {

// The open message-log stream, or null (messages then go to standard output).
extern std::FILE* stder;

// Opens the log when not yet open and writes the header; never fails the caller.
void init_PRINT();

// Formats and writes one message; returns characters written, 1 when nothing
// could be written, 0 for severity '@'.
int PRINT(char severity, const char* id, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// PRINT with the caller's source position, option letters and caller text.
int u_msg(const char* text, const char* source_file, int line, const char* options,
          const char* id, const char* format, ...) __attribute__((format(printf, 6, 7)));

// Rotates the backups of and opens the output file `base` ("col.out" when
// empty); returns the stream (owned by this module) or null.
std::FILE* u_openPRINTfile(const char* base);

// The output file path for `base` from coll_out, hostname, db_type and serverid.
std::string u_createOutputFileName(const char* base);

// Counts one line on `counter` and wraps the file behind `stream` at the limit.
void check_limit(std::FILE** stream, const char* base, int* counter);

// Closes the log and forgets every cached setting (file name, backup count,
// wrap limit, counters) so that the next init_PRINT starts afresh.
void close_PRINT();

}  // namespace qrx
