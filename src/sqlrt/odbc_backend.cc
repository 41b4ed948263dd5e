// The ODBC backend: any server with an ODBC driver, reached through a data
// source name or a whole connection string. Text columns are read and
// handed out as UTF-16 (the fetch converts them); names and numbers are
// turned into UTF-8 here. Driver states are mapped onto the layer's codes.
#include <sql.h>
#include <sqlext.h>

#include <pthread.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/codepage.h"
#include "sqlrt/backend_support.h"

namespace qrx::sqlrt {

namespace {

// How a column's values are read from the driver.
enum class Kind { kText, kInteger, kDecimal, kFloat, kDate, kRaw, kUnfetchable };

struct SqlTypeRule {
  SQLSMALLINT sql_type;
  int code;
  Kind kind;
  int precision;   // numbers: fixed precision; 0 takes the driver's column size
  int min_length;  // text: least length (date-time texts), 0: the driver's size
};

// ODBC SQL types; any other becomes kTypeOtherBase + its SQL type (unfetchable).
constexpr SqlTypeRule kSqlTypeRules[] = {
    {SQL_CHAR, kTypeChar, Kind::kText, 0, 0},
    {SQL_WCHAR, kTypeChar, Kind::kText, 0, 0},
    {SQL_VARCHAR, kTypeVarchar, Kind::kText, 0, 0},
    {SQL_WVARCHAR, kTypeVarchar, Kind::kText, 0, 0},
    {SQL_LONGVARCHAR, kTypeVarchar, Kind::kText, 0, 0},
    {SQL_WLONGVARCHAR, kTypeVarchar, Kind::kText, 0, 0},
    {SQL_GUID, kTypeVarchar, Kind::kText, 0, 36},
    {SQL_DECIMAL, kTypeNumber, Kind::kDecimal, 0, 0},
    {SQL_NUMERIC, kTypeNumber, Kind::kDecimal, 0, 0},
    {SQL_BIT, kTypeNumber, Kind::kInteger, 1, 0},
    {SQL_TINYINT, kTypeNumber, Kind::kInteger, 3, 0},
    {SQL_SMALLINT, kTypeNumber, Kind::kInteger, 5, 0},
    {SQL_INTEGER, kTypeNumber, Kind::kInteger, 10, 0},
    {SQL_BIGINT, kTypeNumber, Kind::kInteger, 19, 0},
    {SQL_REAL, kTypeNumber, Kind::kFloat, 0, 0},
    {SQL_FLOAT, kTypeNumber, Kind::kFloat, 0, 0},
    {SQL_DOUBLE, kTypeNumber, Kind::kFloat, 0, 0},
    {SQL_TYPE_DATE, kTypeDate, Kind::kDate, 0, 0},
    {SQL_DATE, kTypeDate, Kind::kDate, 0, 0},
    {SQL_TYPE_TIMESTAMP, kTypeVarchar, Kind::kText, 0, 19},
    {SQL_TIMESTAMP, kTypeVarchar, Kind::kText, 0, 19},
    {SQL_TYPE_TIME, kTypeVarchar, Kind::kText, 0, 8},
    {SQL_TIME, kTypeVarchar, Kind::kText, 0, 8},
    {SQL_BINARY, kTypeRaw, Kind::kRaw, 0, 0},
    {SQL_VARBINARY, kTypeRaw, Kind::kRaw, 0, 0},
    {SQL_LONGVARBINARY, kTypeLongRaw, Kind::kUnfetchable, 0, 0},
};

// Length of character and binary columns whose driver size is unknown or
// unbounded.
constexpr int kUnboundedLength = 4000;

// Longest value read from the driver for one column, in UTF-16 units.
constexpr size_t kMaxValueUnits = 1 << 20;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "text is handed out as UTF-16");

struct Column {
  ColumnDesc desc;
  Kind kind = Kind::kUnfetchable;
};

// Copies the UTF-16 bytes `text` into `column`, cut at a character when
// longer than the fetch length (the indicator then holds the full length).
void put_utf16(Binding& column, std::string_view text) {
  size_t n = std::min(text.size(), static_cast<size_t>(column.length)) & ~size_t{1};
  if (n < text.size() && n > 0) {
    char16_t last;
    std::memcpy(&last, text.data() + n - 2, sizeof last);
    // A pair of surrogates is one character: keep both or neither.
    if (last >= 0xD800 && last < 0xDC00) n -= 2;
  }
  if (n) std::memcpy(column.data, text.data(), n);
  column.returned_bytes = static_cast<int>(n);
  int chars = 0;
  for (size_t i = 0; i < n; i += 2) {
    char16_t unit;
    std::memcpy(&unit, text.data() + i, sizeof unit);
    if (unit < 0xDC00 || unit >= 0xE000) ++chars;
  }
  column.returned_chars = chars;
  if (column.indicator) {
    *column.indicator = n == text.size() ? 0 : text.size() > 32767 ? -2 : static_cast<int16_t>(text.size());
  }
}

// One diagnostic record of a handle.
struct DiagRecord {
  std::string state;
  SQLINTEGER native = 0;
  std::string text;
};

std::vector<DiagRecord> diag_records(SQLSMALLINT handle_type, SQLHANDLE handle) {
  std::vector<DiagRecord> records;
  for (SQLSMALLINT i = 1; handle; ++i) {
    SQLCHAR state[8] = {};
    SQLCHAR text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRec(handle_type, handle, i, state, &native, text, sizeof text, &length);
    if (!SQL_SUCCEEDED(rc)) break;
    records.push_back({reinterpret_cast<char*>(state), native, reinterpret_cast<char*>(text)});
  }
  return records;
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Where a failure happened: a logon, or inside a session.
enum class Phase { kLogon, kSession };

// Maps the diagnostic records of a failed call onto a code; `timeout` is the
// time-out that applied, for the message.
int map_odbc_error(const std::vector<DiagRecord>& records, Phase phase, int timeout, Diagnostics& diag) {
  if (records.empty()) return diag.set(-1, "the ODBC driver reported a failure without a message");
  std::string full;
  for (const DiagRecord& r : records) {
    if (!full.empty()) full += "; ";
    full += r.text + " (SQLSTATE " + r.state + ")";
  }
  const DiagRecord& first = records.front();
  for (const DiagRecord& r : records) {
    const std::string& s = r.state;
    if (s == "28000" || s == "28P01" || contains(r.text, "authentication failed") ||
        (contains(r.text, "role \"") && contains(r.text, "does not exist"))) {
      return diag.set(kInvalidLogon, "invalid user name or password: " + full);
    }
    if (r.native == 28002 || contains(r.text, "will expire")) {
      return diag.set(kPasswordExpiring, "the password will expire soon: " + full);
    }
    if (s == "HY008") return diag.set(kCancelled, "statement cancelled: " + full);
    if (s == "HYT00" || s == "HYT01" || s == "57014" || contains(r.text, "timeout expired")) {
      return diag.set(kCancelled, std::string(phase == Phase::kLogon
                                                  ? "logon did not complete within "
                                                  : "statement cancelled: it ran longer than the query time-out of ") +
                                      std::to_string(timeout) + " s: " + full);
    }
    if (phase == Phase::kSession &&
        (s == "08S01" || s == "08003" || s == "08007" || s.rfind("57P0", 0) == 0 ||
         contains(r.text, "server closed the connection") || contains(r.text, "terminating connection") ||
         contains(r.text, "no connection to the server") || contains(r.text, "connection was aborted") ||
         contains(r.text, "could not send"))) {
      return diag.set(kNotLoggedOn, "connection to the database lost: " + full);
    }
    if (s == "22018" || s == "22P02") return diag.set(kInvalidNumber, "invalid number: " + full);
  }
  int native = first.native > 0 ? -first.native : first.native < 0 ? first.native : -1;
  return diag.set(native, full);
}

// An ODBC connection-string value, braced when it holds a separator.
std::string attribute_value(const std::string& value) {
  if (value.find_first_of(";{}=") == std::string::npos && !value.empty()) return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

// Cancels the statement call in progress once the caller's cancel flag is
// raised. A call blocked in the driver cannot look at the flag itself, so a
// thread of its own watches it, and only while a call is in progress.
class CancelWatch {
 public:
  explicit CancelWatch(const volatile std::sig_atomic_t* flag) : flag_(flag) {}
  CancelWatch(const CancelWatch&) = delete;
  CancelWatch& operator=(const CancelWatch&) = delete;
  ~CancelWatch() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // Brackets one call on `stmt`: watched from construction to destruction.
  class Call {
   public:
    Call(CancelWatch& watch, SQLHSTMT stmt) : watch_(watch) { watch_.begin(stmt); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() { watch_.end(); }

   private:
    CancelWatch& watch_;
  };

  // True when the last watched call was cancelled for the flag.
  bool fired() {
    std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  static constexpr std::chrono::milliseconds kPoll{50};

  void begin(SQLHSTMT stmt) {
    if (!flag_) return;
    if (!thread_.joinable()) start();
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      current_ = stmt;
      fired_ = false;
      wake = idle_;
    }
    // A watcher already polling sees the call at its next tick: waking it
    // for every fetched row would cost a thread switch per row.
    if (wake) wake_.notify_one();
  }
  void end() {
    if (!flag_) return;
    std::lock_guard lock(mutex_);
    current_ = nullptr;
  }

  // The watcher takes no signal: they must interrupt the caller's waits.
  void start() {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    thread_ = std::thread([this] { run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!current_) {
        idle_ = true;
        wake_.wait(lock);
        idle_ = false;
        continue;
      }
      wake_.wait_for(lock, kPoll);
      if (current_ && *flag_) {
        SQLCancel(current_);  // the call fails with HY008 or the server's own state
        current_ = nullptr;
        fired_ = true;
      }
    }
  }

  const volatile std::sig_atomic_t* flag_;
  std::mutex mutex_;
  std::condition_variable wake_;
  SQLHSTMT current_ = nullptr;
  bool fired_ = false;
  bool idle_ = false;  // the watcher waits for a call without polling
  bool stopping_ = false;
  std::thread thread_;
};

class OdbcConnection final : public Connection {
 public:
  OdbcConnection(SQLHENV env, SQLHDBC dbc, int query_timeout, const volatile std::sig_atomic_t* cancel_flag)
      : env_(env), dbc_(dbc), query_timeout_(query_timeout), watch_(cancel_flag) {}
  ~OdbcConnection() override { release(); }

  std::unique_ptr<Statement> prepare(std::string_view sql) override;
  int commit(bool release_session) override { return end_transaction(SQL_COMMIT, release_session); }
  int rollback(bool release_session) override { return end_transaction(SQL_ROLLBACK, release_session); }
  bool connected() const override { return dbc_ != nullptr && !lost_; }
  const Diagnostics& diagnostics() const override { return diag_; }

  // Maps the failure of a call on `handle`; a lost session is remembered.
  int fail(SQLSMALLINT handle_type, SQLHANDLE handle, Diagnostics& diag) {
    int code = map_odbc_error(diag_records(handle_type, handle), Phase::kSession, query_timeout_, diag);
    // Drivers report a vanished server in words of their own; the connection
    // itself knows whether it is dead.
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (code != kNotLoggedOn && SQL_SUCCEEDED(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
        dead == SQL_CD_TRUE) {
      code = diag.set(kNotLoggedOn, "connection to the database lost: " + diag.text);
    }
    if (code == kNotLoggedOn) lost_ = true;
    if (handle_type == SQL_HANDLE_STMT && watch_.fired())
      code = diag.set(kCancelled, "statement cancelled: the collector is shutting down: " + diag.text);
    return code;
  }
  SQLHDBC dbc() const { return dbc_; }
  int query_timeout() const { return query_timeout_; }
  CancelWatch& watch() { return watch_; }
  StatementRegistry& registry() { return registry_; }

 private:
  int end_transaction(SQLSMALLINT completion, bool release_session) {
    if (!dbc_) return not_logged_on(diag_);
    diag_.clear();
    if (lost_) {
      not_logged_on(diag_);
    } else {
      // Open cursors end with the transaction; their handles stay usable.
      SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_, completion);
      if (!SQL_SUCCEEDED(rc)) fail(SQL_HANDLE_DBC, dbc_, diag_);
    }
    if (release_session) release();
    return diag_.code;
  }

  void release() {
    registry_.detach_all();
    if (dbc_) {
      if (!lost_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
      SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    dbc_ = nullptr;
    env_ = nullptr;
  }

  SQLHENV env_;
  SQLHDBC dbc_;
  int query_timeout_;
  bool lost_ = false;
  Diagnostics diag_;
  StatementRegistry registry_;
  CancelWatch watch_;
};

class OdbcStatement final : public Statement, public Detachable {
 public:
  OdbcStatement(OdbcConnection* connection, SQLHSTMT stmt, std::string sql)
      : connection_(connection), stmt_(stmt), sql_(std::move(sql)) {
    connection_->registry().add(this);
  }
  ~OdbcStatement() override {
    if (stmt_) {
      connection_->registry().remove(this);
      SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    }
  }

  void detach() override {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    stmt_ = nullptr;
  }

  int open() override {
    if (!live()) return not_logged_on(diag_);
    diag_.clear();
    SQLFreeStmt(stmt_, SQL_CLOSE);
    columns_.clear();
    // Executed directly: prepared statements that fail on the server leak
    // memory inside some drivers, and the collector runs each text once per open.
    SQLRETURN rc;
    {
      CancelWatch::Call watched(connection_->watch(), stmt_);
      rc = SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(sql_.data()), static_cast<SQLINTEGER>(sql_.size()));
    }
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) return fail();
    opened_ = true;
    return 0;
  }

  int describe(std::vector<ColumnDesc>& columns) override {
    if (!live()) return not_logged_on(diag_);
    if (!opened_) return diag_.set(-1, "describe before open");
    diag_.clear();
    if (int code = ensure_columns()) return code;
    columns.clear();
    for (const Column& c : columns_) columns.push_back(c.desc);
    return 0;
  }

  int fetch(std::span<Binding> bindings) override {
    if (!live()) return not_logged_on(diag_);
    if (!opened_) return diag_.set(-1, "fetch before open");
    diag_.clear();
    if (int code = ensure_columns()) return code;
    SQLRETURN rc;
    {
      CancelWatch::Call watched(connection_->watch(), stmt_);
      rc = SQLFetch(stmt_);
    }
    if (rc == SQL_NO_DATA) return diag_.set(kNoData, "no data found");
    if (!SQL_SUCCEEDED(rc)) {
      int code = fail();
      // The caller fetches again after an invalid number; a driver that
      // cannot move past the row must not keep it looping.
      if (code == kInvalidNumber && fetch_failed_invalid_) {
        code = diag_.set(-1, "the driver cannot move past a row with an invalid number: " + diag_.text);
      }
      fetch_failed_invalid_ = code == kInvalidNumber;
      return code;
    }
    fetch_failed_invalid_ = false;
    size_t n = std::min(bindings.size(), columns_.size());
    for (size_t i = 0; i < n; ++i) {
      if (bindings[i].length <= 0) continue;
      if (int code = read_column(i, bindings[i])) return code;
    }
    return 0;
  }

  int close() override {
    if (!live()) return not_logged_on(diag_);
    opened_ = false;
    if (!SQL_SUCCEEDED(SQLFreeStmt(stmt_, SQL_CLOSE))) return fail();
    return diag_.clear();
  }

  const Diagnostics& diagnostics() const override { return diag_; }

 private:
  bool live() const { return stmt_ != nullptr && connection_->connected(); }
  int fail() { return connection_->fail(SQL_HANDLE_STMT, stmt_, diag_); }

  int ensure_columns() {
    if (!columns_.empty()) return 0;
    SQLSMALLINT count = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt_, &count))) return fail();
    for (SQLUSMALLINT i = 1; i <= count; ++i) {
      SQLWCHAR name[256] = {};
      SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!SQL_SUCCEEDED(SQLDescribeColW(stmt_, i, name, 255, &name_length, &sql_type, &size, &digits,
                                         &nullable))) {
        columns_.clear();
        return fail();
      }
      Column column;
      column.desc.name = utf8_from_utf16({reinterpret_cast<const char*>(name),
                                          std::min<size_t>(static_cast<size_t>(name_length), 255) * sizeof(SQLWCHAR)});
      column.desc.nullable = nullable != SQL_NO_NULLS;
      map_type(sql_type, size, digits, column);
      columns_.push_back(std::move(column));
    }
    return 0;
  }

  static void map_type(SQLSMALLINT sql_type, SQLULEN size, SQLSMALLINT digits, Column& column) {
    ColumnDesc& d = column.desc;
    d.type_name = "SQL type " + std::to_string(sql_type);
    const SqlTypeRule* rule = nullptr;
    for (const SqlTypeRule& r : kSqlTypeRules) {
      if (r.sql_type == sql_type) rule = &r;
    }
    if (!rule) {
      d.type = kTypeOtherBase + sql_type;
      return;
    }
    d.type = rule->code;
    column.kind = rule->kind;
    int driver_size = size == 0 || size > static_cast<SQLULEN>(kUnboundedLength) ? kUnboundedLength
                                                                                  : static_cast<int>(size);
    switch (rule->kind) {
      case Kind::kText:
        d.length = std::max(driver_size, rule->min_length);
        d.size_chars = d.length;
        d.size_bytes = d.length * 4;
        d.charset = kUnicode;
        break;
      case Kind::kInteger:
      case Kind::kDecimal:
      case Kind::kFloat:
        d.precision = rule->precision ? rule->precision : rule->kind == Kind::kDecimal ? static_cast<int>(size) : 0;
        if (d.precision > 38) d.precision = 0;
        d.scale = rule->kind == Kind::kDecimal ? digits : 0;
        d.length = d.precision;
        d.size_chars = d.size_bytes = (d.precision ? d.precision : 19) + 2 + std::max(0, -d.scale);
        break;
      case Kind::kDate:
        d.length = d.size_chars = d.size_bytes = 9;
        break;
      case Kind::kRaw:
        d.length = driver_size;
        d.size_chars = d.size_bytes = driver_size * 2;
        break;
      case Kind::kUnfetchable:
        break;
    }
  }

  // Reads a whole text or binary value in pieces; false on failure. `is_null` set for NULL.
  bool read_pieces(SQLUSMALLINT number, SQLSMALLINT c_type, std::string& bytes, bool& is_null) {
    char piece[8192];
    is_null = false;
    for (;;) {
      SQLLEN indicator = 0;
      SQLRETURN rc = SQLGetData(stmt_, number, c_type, piece, sizeof piece, &indicator);
      if (rc == SQL_NO_DATA) return true;
      if (!SQL_SUCCEEDED(rc)) return false;
      if (indicator == SQL_NULL_DATA) {
        is_null = true;
        return true;
      }
      size_t terminator = c_type == SQL_C_WCHAR ? sizeof(SQLWCHAR) : 0;
      size_t room = sizeof piece - terminator;
      size_t got = indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) > room
                       ? room - room % sizeof(SQLWCHAR)
                       : static_cast<size_t>(indicator);
      bytes.append(piece, got);
      if (rc == SQL_SUCCESS || bytes.size() >= kMaxValueUnits * sizeof(SQLWCHAR)) return true;
    }
  }

  int read_column(size_t index, Binding& out) {
    const Column& column = columns_[index];
    auto number = static_cast<SQLUSMALLINT>(index + 1);
    if (out.indicator) *out.indicator = 0;
    switch (column.kind) {
      case Kind::kText:
      case Kind::kInteger:
      case Kind::kDecimal: {
        std::string bytes;
        bool is_null = false;
        if (!read_pieces(number, SQL_C_WCHAR, bytes, is_null)) return fail();
        if (is_null) {
          put_null(out);
          return 0;
        }
        if (column.kind == Kind::kText) {
          put_utf16(out, bytes);
          return 0;
        }
        const std::string text = utf8_from_utf16(bytes);
        return place_number(column.desc.name, canonical_number(text), text, out, diag_);
      }
      case Kind::kFloat: {
        double value = 0;
        SQLLEN indicator = 0;
        if (!SQL_SUCCEEDED(SQLGetData(stmt_, number, SQL_C_DOUBLE, &value, 0, &indicator))) return fail();
        if (indicator == SQL_NULL_DATA) {
          put_null(out);
          return 0;
        }
        return place_number(column.desc.name, double_text(value), std::to_string(value), out, diag_);
      }
      case Kind::kDate: {
        SQL_DATE_STRUCT date{};
        SQLLEN indicator = 0;
        if (!SQL_SUCCEEDED(SQLGetData(stmt_, number, SQL_C_TYPE_DATE, &date, 0, &indicator))) return fail();
        if (indicator == SQL_NULL_DATA) {
          put_null(out);
          return 0;
        }
        put_text(out, date_text(date.year, date.month, date.day));
        return 0;
      }
      case Kind::kRaw: {
        std::string bytes;
        bool is_null = false;
        if (!read_pieces(number, SQL_C_BINARY, bytes, is_null)) return fail();
        if (is_null) {
          put_null(out);
          return 0;
        }
        put_text(out, hex_text(bytes));
        return 0;
      }
      case Kind::kUnfetchable:
        break;
    }
    return diag_.set(-1, "column " + column.desc.name + " of type " + column.desc.type_name +
                             " cannot be fetched as text");
  }

  OdbcConnection* connection_;
  SQLHSTMT stmt_;
  std::string sql_;
  Diagnostics diag_;
  std::vector<Column> columns_;
  bool opened_ = false;
  bool fetch_failed_invalid_ = false;
};

std::unique_ptr<Statement> OdbcConnection::prepare(std::string_view sql) {
  if (!connected()) {
    not_logged_on(diag_);
    return nullptr;
  }
  diag_.clear();
  SQLHSTMT stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) {
    fail(SQL_HANDLE_DBC, dbc_, diag_);
    return nullptr;
  }
  SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(query_timeout_)),
                 0);
  return std::make_unique<OdbcStatement>(this, stmt, std::string(sql));
}

// psqlODBC takes its client encoding from the process locale: under the C
// locale it cannot hand out text beyond ASCII as wide characters at all (the
// fetch fails), under a Latin-1 one the server refuses what Latin-1 lacks.
// Text is fetched as UTF-16, so its sessions ask for UTF8.
constexpr const char* kUtf8ClientSettings = "ConnSettings=SET client_encoding TO 'UTF8'";

// True for a psqlODBC session whose data source sets no ConnSettings of its
// own (those are kept as they are); `completed` is the driver's whole
// connection string.
bool needs_utf8_client(SQLHDBC dbc, const char* completed) {
  char name[64] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DRIVER_NAME, name, sizeof name, &length))) return false;
  if (strncasecmp(name, "psqlodbc", 8) != 0) return false;
  std::string lower = completed;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t at = lower.find("connsettings=");
  return at == std::string::npos || at + 13 >= lower.size() || lower[at + 13] == ';';
}

class OdbcDriver final : public Driver {
 public:
  int connect(const ConnectParams& params, std::unique_ptr<Connection>& out, Diagnostics& diag) override {
    out.reset();
    diag.clear();
    SQLHENV env = nullptr;
    SQLHDBC dbc = nullptr;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
      return diag.set(-1, "cannot allocate an ODBC environment");
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
      SQLFreeHandle(SQL_HANDLE_ENV, env);
      return diag.set(-1, "cannot allocate an ODBC connection");
    }
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(params.connect_timeout)), 0);

    std::string text = params.server_id.find('=') != std::string::npos
                           ? params.server_id
                           : "DSN=" + attribute_value(params.server_id);
    if (params.password) {
      if (!text.empty() && text.back() != ';') text += ';';
      text += "UID=" + attribute_value(params.logon_id) + ";PWD=" + attribute_value(*params.password);
    }
    std::string completed(2048, '\0');
    auto logon = [&](std::string& with) {
      SQLSMALLINT out_length = 0;
      return SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(with.data()),
                              static_cast<SQLSMALLINT>(with.size()), reinterpret_cast<SQLCHAR*>(completed.data()),
                              static_cast<SQLSMALLINT>(completed.size()), &out_length, SQL_DRIVER_NOPROMPT);
    };
    SQLRETURN rc = logon(text);
    if (SQL_SUCCEEDED(rc) && needs_utf8_client(dbc, completed.c_str())) {
      SQLDisconnect(dbc);
      text += std::string(text.empty() || text.back() == ';' ? "" : ";") + kUtf8ClientSettings;
      rc = logon(text);
    }
    std::vector<DiagRecord> records = diag_records(SQL_HANDLE_DBC, dbc);
    if (!SQL_SUCCEEDED(rc)) {
      map_odbc_error(records, Phase::kLogon, params.connect_timeout, diag);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      SQLFreeHandle(SQL_HANDLE_ENV, env);
      return diag.code;
    }
    // A logon with a warning succeeds; only an expiring password is reported.
    if (rc == SQL_SUCCESS_WITH_INFO) {
      Diagnostics warning;
      if (map_odbc_error(records, Phase::kLogon, params.connect_timeout, warning) == kPasswordExpiring) {
        diag = warning;
      }
    }
    // The collector commits its own work, as an embedded-SQL session does.
    SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    out = std::make_unique<OdbcConnection>(env, dbc, params.query_timeout, params.cancel_flag);
    return diag.code;
  }
};

}  // namespace

Driver& odbc_driver() {
  static OdbcDriver driver;
  return driver;
}

}  // namespace qrx::sqlrt
