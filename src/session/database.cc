#include "session/database.h"

#include <ctime>
#include <memory>
#include <optional>

#include "base/clock.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/password_codec.h"
#include "base/relative_time.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/trace.h"

namespace qrx {

database_info db_info;
SqlArea sqlca;

namespace {

// The database session with what is known about it: one per process, as
// the collector serves one database server.
struct SessionState {
  std::unique_ptr<sqlrt::Connection> connection;
  // Set once a logon was refused for its user or password: retrying would only
  // lock the account, so no further logon is tried.
  bool invalid_logon = false;
  std::function<int(int)> status_reporter;
  // Set from a lost session or a failed logon until a logon succeeds again.
  bool unreachable = false;
  // Set by the first logon that succeeds: a later failure is a loss, not a
  // database that cannot be reached at all.
  bool connected_once = false;
  // While unreachable: when the failure began and was last logged (the
  // clock seam's seconds), and the database's message about it.
  std::time_t failed_since = 0;
  std::time_t failure_logged = 0;
  std::string failure_text;
  // What messages call the database: the backend in use and what it reaches;
  // empty until the first logon or message names it.
  std::string product;
};
SessionState db;

// "SQLite", or the ODBC data source; a whole connection string is not shown,
// as it may carry the password.
std::string product_name(const std::string& driver, const std::string& server_id) {
  if (u_strupper(driver) == "ODBC")
    return server_id.find('=') == std::string::npos ? "ODBC data source " + server_id
                                                    : "ODBC connection";
  if (u_strupper(driver) == "SQLITE") return "SQLite";
  return driver;
}

}  // namespace

const std::string& database_product() {
  if (db.product.empty()) {
    const std::optional<std::string> driver = u_getenv("COLL_DB_DRIVER", 0, nullptr);
    db.product = product_name(driver ? *driver : "sqlite", env_vars.serverid);
  }
  return db.product;
}

namespace {

// A failure that lasts is logged when it begins and then at most this often.
constexpr std::time_t kFailureReminderSeconds = 600;

// The database cannot be used from now until a logon succeeds: logs it once,
// as a refused logon, a lost session or a database never reached.
void failure_began(int code, const std::string& logon_id) {
  db.unreachable = true;
  db.failed_since = db.failure_logged = the_clock().now();
  db.failure_text = sqlca.text;
  if (code == sqlrt::kInvalidLogon) {
    PRINT('s', "rcd0110",
          "Invalid %s logon id (%s) or password given\n Please contact DBA to correct userid or password\n",
          database_product().c_str(), logon_id.c_str());
  } else if (db.connected_once) {
    PRINT('e', "rcd0120", "Connection to %s lost: %s\n", database_product().c_str(), sqlca.text.c_str());
  } else {
    PRINT('e', "rcd0115", "Cannot connect to %s: %s\n", database_product().c_str(), sqlca.text.c_str());
  }
}

// While the failure lasts, reminds of it when it was last logged ten minutes ago.
void remind_of_failure() {
  const std::time_t now = the_clock().now();
  if (now - db.failure_logged < kFailureReminderSeconds) return;
  db.failure_logged = now;
  PRINT('e', "rcd0130", "%s still unavailable after %ld minutes: %s\n", database_product().c_str(),
        static_cast<long>((now - db.failed_since) / 60), db.failure_text.c_str());
}

void connection_lost() {
  if (db.unreachable) return;
  failure_began(sqlrt::kNotLoggedOn, "");
}

void report_status(int code) {
  if (db.status_reporter) db.status_reporter(code);
}

void mark_released() {
  db.connection.reset();
  db_info.state = kSessionReleased;
  db_info.open = 0;
}

void log_connect_failure_detail() {
  PRINT('e', "rcd0105", "Connect sql code = %d\n", sqlca.code);
  PRINT('e', "rcd0105", "Connect sql code msg detail = %s\n", sqlca.text.c_str());
}

}  // namespace

int note_outcome(const sqlrt::Diagnostics& diag) {
  sqlca.code = diag.code;
  // Every fetched row is noted: success costs no copy.
  if (diag.text.empty()) {
    sqlca.text.clear();
    sqlca.message.clear();
    return diag.code;
  }
  sqlca.text = diag.text;
  sqlca.message = diag.message();
  return diag.code;
}

std::string sql_code_text(int code) { return just_right(std::to_string(code), 16); }

sqlrt::Connection* db_session() { return db.connection.get(); }

void set_server_status_reporter(std::function<int(int)> reporter) { db.status_reporter = std::move(reporter); }

sqlrt::Settings database_settings() {
  sqlrt::Settings settings;
  if (auto driver = u_getenv("COLL_DB_DRIVER", 0, nullptr)) settings.driver = *driver;
  // A day is far beyond any sensible wait and keeps the seconds within an int.
  constexpr uint32_t kMaxSeconds = 86400;
  settings.query_timeout = static_cast<int>(env_number("COLL_QUERY_TIMEOUT", kMaxSeconds).value_or(60));
  settings.connect_timeout = static_cast<int>(env_number("COLL_CONNECT_TIMEOUT", kMaxSeconds).value_or(15));
  return settings;
}

bool database_unreachable() { return db.unreachable; }

void end_session() {
  if (db.connection) commit_collect(-1);
}

void lift_logon_stop() { db.invalid_logon = false; }

void renew_logon() {
  end_session();
  mark_released();
  lift_logon_stop();
  db.product.clear();
}

int connect_to_DB(const distributor& d) {
  if (db.invalid_logon) {
    // The refusal was logged when it came; retrying would only lock the account.
    report_status(sqlrt::kInvalidLogon);
    remind_of_failure();
    return sqlrt::kInvalidLogon;
  }
  std::optional<std::string> password = fok(d.password);

  db_info.type = "ORA";
  db_info.identity.assign(reinterpret_cast<const char*>(&machine_id), 64);

  sqlrt::Settings settings = database_settings();
  sqlrt::ConnectParams params;
  params.home = env_vars.coll_home;
  params.connect_timeout = settings.connect_timeout;
  params.query_timeout = settings.query_timeout;
  params.cancel_flag = &go_home;  // a shutdown does not wait for the query in flight
  params.logon_id = d.logon_id;
  params.password = password;
  std::string server = u_stripx(d.server_id);
  if (d.type == 1) {
    // A local logon reaches the collector's own server; without a password the
    // operating system vouches for the user.
    if (trace_all) PRINT('t', "oin0105", "Connecting to %s, user:%s\n", db.product.c_str(), d.logon_id.c_str());
    params.server_id = env_vars.serverid.empty() ? server : env_vars.serverid;
    if (!password) params.logon_id.clear();
  } else {
    PRINT('t', "oin0110", "Connecting to:%s, user:%s\n", server.c_str(), d.logon_id.c_str());
    params.server_id = server;
  }

  db.product = product_name(settings.driver, params.server_id);
  db.connection.reset();
  sqlrt::Diagnostics diag;
  int code = sqlrt::kNotLoggedOn;
  if (sqlrt::Driver* driver = sqlrt::driver_named(settings.driver)) {
    code = driver->connect(params, db.connection, diag);
  } else {
    diag.set(code, "unknown database driver \"" + settings.driver + "\" in COLL_DB_DRIVER");
  }
  diag.code = code;
  note_outcome(diag);

  if (code == sqlrt::kPasswordExpiring) {
    log_connect_failure_detail();
  } else if (code != 0) {
    db.connection.reset();
    report_status(code);
    // A failure that lasts is told once, not at every logon every cursor
    // tries; a refused logon is new even during an outage.
    if (db.unreachable && code != sqlrt::kInvalidLogon) {
      db.failure_text = sqlca.text;
      remind_of_failure();
    } else {
      PRINT('e', "rcd0100", "Unable to connect to %s at %s\n", db.product.c_str(), d.distrib_name.c_str());
      log_connect_failure_detail();
      failure_began(code, d.logon_id);
    }
    if (code == sqlrt::kInvalidLogon) db.invalid_logon = true;
    return code;
  }
  if (db.unreachable) {
    db.unreachable = false;
    if (db.connected_once)
      PRINT('a', "rcd0125", "Connection to %s restored\n", db.product.c_str());
    else
      PRINT('a', "rcd0126", "Connected to %s\n", db.product.c_str());
  }
  db.connected_once = true;
  db_info.state = kSessionConnected;
  return code;
}

int check_sql_code(const std::string& statement_text, const char* label, bool with_status) {
  report_status(0);
  int code = sqlca.code;
  if (trace_level(6)) PRINT('t', "oru0006", "SQLCODE for %s = %d\n", label, code);
  if (code == 0) return 0;
  if (code == sqlrt::kNoData || code == 1403) return sqlrt::kNoData;
  // A password about to expire is only a warning. A lost session is a failure
  // like any other: the run rolls back and the next run logs on again.
  if (code == sqlrt::kPasswordExpiring) {
    sqlca.code = 0;
    return 0;
  }
  PRINT('i', "oru0006", "SQLCODE for %s = %d\n", label, code);
  if (with_status) {
    report_status(code);
    PRINT('t', "oru0007", "Stmt = %s\n", statement_text.c_str());
  }
  PRINT('w', "oru0008", "%s Message %.70s for %s\n", database_product().c_str(), sqlca.message.c_str(),
        label);
  if (code == sqlrt::kNotLoggedOn) connection_lost();
  return code;
}

int commit_collect(int mode) {
  if (db_info.state == kSessionReleased) return 0;
  if (!db.connection) {
    mark_released();
    return 0;
  }
  bool release = mode != 0;
  db.connection->commit(release);
  int code = note_outcome(db.connection->diagnostics());
  if (code == sqlrt::kCancelled || code == sqlrt::kNotLoggedOn) {
    mark_released();
    sqlca.code = 0;
    return 0;
  }
  if (code != 0) {
    PRINT('w', "rcc0360", "Sql code on commit = %d\n", code);
    sqlca.code = 0;
    db.connection->rollback(release);
  }
  if (release || !db.connection->connected()) mark_released();
  return code;
}

void rollback() {
  if (db.connection) db.connection->rollback(true);
  mark_released();
}

int ensure_session(curs& c, distributor* collector) {
  if (db_info.open && db.connection && db.connection->connected()) return 0;
  if (!db.connection || !db.connection->connected()) mark_released();
  const distributor* d = c.collector ? c.collector : collector;
  int code = d ? connect_to_DB(*d) : sqlrt::kNotLoggedOn;
  if (code == 0 || code == sqlrt::kPasswordExpiring) {
    db_info.open = 1;
    db_info.state = kSessionConnected;
    return 0;
  }
  if (collector) collector->status = "CNCT";
  if (db_info.state != kSessionRestart) db_info.state = kSessionReleased;
  c.result_code = code;
  c.error_text = sqlca.text;
  c.status = sql_code_text(code);
  return code;
}

void reset_database_state() {
  mark_released();
  db = SessionState{};
  sqlca = SqlArea{};
}

}  // namespace qrx
