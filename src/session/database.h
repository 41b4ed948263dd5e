// The collector's database session: logging on with the collector
// distributor, checking each statement's outcome, committing and rolling
// back. This module owns the one session (a sqlrt::Connection) and the
// session record `db_info`; callers borrow the connection for one run only.
#pragma once

#include <functional>
#include <string>

#include "qrx/curs.h"
#include "qrx/distributor.h"
#include "sqlrt/sqlrt.h"

namespace qrx {

// Session states.
enum : int { kSessionConnected = 0, kSessionReleased = 1, kSessionRestart = 2 };

// The session record.
struct database_info {
  std::string type = "ORA";  // database type text
  std::string identity;      // 64 characters copied from machine_id
  int open = 0;              // 1 once a cursor run has connected
  int state = kSessionReleased;
};

extern database_info db_info;

// Outcome of the last database operation, as the statement check reads it.
struct SqlArea {
  int code = 0;
  std::string message;  // at most 70 characters
  std::string text;     // the full message
};

extern SqlArea sqlca;

// The database layer's settings from the environment: COLL_DB_DRIVER
// (default "sqlite"), COLL_QUERY_TIMEOUT (60) and COLL_CONNECT_TIMEOUT (15); a
// value that is no number of seconds up to a day is reported ("uen0022") and
// the default kept.
sqlrt::Settings database_settings();

// What messages call the database: "SQLite", "ODBC data source NAME" or
// "ODBC connection", as of the last logon (before one, from the settings).
const std::string& database_product();

// True from a lost session or a failed logon until a logon succeeds again.
// The failure is logged when it begins ("rcd0120" lost, "rcd0115" never
// reached, "rcd0110" refused user or password), then at most every ten
// minutes ("rcd0130"); its end is logged "rcd0125" (or "rcd0126" for a first
// logon). Cursors leave their own failure lines out meanwhile.
bool database_unreachable();

// Logs on with `d` (the collector distributor); 0, 28002 (logged on, the
// password is about to expire) or the failing code. After -1017 no further
// logon is tried until lift_logon_stop.
int connect_to_DB(const distributor& d);

// Checks the last operation's code for `statement_text` (traced) under
// `label` (logged); with `with_status` failures also reach the server status.
// Returns 0, 100 (no more data) or the code.
int check_sql_code(const std::string& statement_text, const char* label, bool with_status);

// Commits: mode 0 keeps the session, any other mode releases it. A lost or
// cancelled session counts as released. Returns the commit's code.
int commit_collect(int mode);

// Rolls back and releases the session; the next cursor run logs on again.
void rollback();

// Part of the cursor run: logs on with the cursor's own distributor, else
// `collector`, when the session is not open. On failure `collector`'s status
// becomes "CNCT", the cursor keeps the code in its SQL code fields and the
// code is returned; else 0.
int ensure_session(curs& c, distributor* collector);

// Commits and ends the session when one is open (the exit path).
void end_session();

// Lifts the stop an invalid logon put on further logons: the next logon is
// tried once more (the account may have been mended meanwhile).
void lift_logon_stop();

// Ends the session and lifts the logon stop: the logon settings changed, so
// the next cursor run logs on anew.
void renew_logon();

// The open session, or null when released.
sqlrt::Connection* db_session();

// Remembers `diag` as the outcome of the last operation; returns its code.
int note_outcome(const sqlrt::Diagnostics& diag);

// The code as the cursor's 16-character status text, right-aligned.
std::string sql_code_text(int code);

// Receives each connect's and each checked statement's code for the server
// status (0 blanks it); unset, codes go nowhere.
void set_server_status_reporter(std::function<int(int)> reporter);

// Forgets the session, the sticky invalid logon and the reporter (tests).
void reset_database_state();

}  // namespace qrx
