// The SQLite backend: a database file per server id, declared column types
// mapped onto the layer's type codes, and a progress handler that cancels a
// step running longer than the query time-out.
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/text.h"
#include "sqlrt/backend_support.h"

namespace qrx::sqlrt {

namespace {

// How a column's values are turned into character data.
enum class Kind { kText, kNumber, kDate, kRaw, kUnfetchable };

struct TypeRule {
  const char* name;    // declared type name, upper case, without its arguments
  int code;            // layer type code
  Kind kind;
  int default_length;  // when the declaration gives none
  int fixed_width;     // text width of date-time types (0: not one)
};

// Declared types by name. Names not listed fall back to SQLite's own affinity
// rules (see map_declared_type).
constexpr TypeRule kTypeRules[] = {
    {"VARCHAR2", kTypeVarchar, Kind::kText, 4000, 0},
    {"NVARCHAR2", kTypeVarchar, Kind::kText, 4000, 0},
    {"VARCHAR", kTypeVarchar, Kind::kText, 4000, 0},
    {"NVARCHAR", kTypeVarchar, Kind::kText, 4000, 0},
    {"CHARACTER VARYING", kTypeVarchar, Kind::kText, 4000, 0},
    {"TEXT", kTypeVarchar, Kind::kText, 4000, 0},
    {"STRING", kTypeVarchar, Kind::kText, 4000, 0},
    {"CHAR", kTypeChar, Kind::kText, 1, 0},
    {"NCHAR", kTypeChar, Kind::kText, 1, 0},
    {"CHARACTER", kTypeChar, Kind::kText, 1, 0},
    {"NUMBER", kTypeNumber, Kind::kNumber, 0, 0},
    {"NUMERIC", kTypeNumber, Kind::kNumber, 0, 0},
    {"DECIMAL", kTypeNumber, Kind::kNumber, 0, 0},
    {"DEC", kTypeNumber, Kind::kNumber, 0, 0},
    {"INTEGER", kTypeNumber, Kind::kNumber, 0, 0},
    {"INT", kTypeNumber, Kind::kNumber, 0, 0},
    {"BIGINT", kTypeNumber, Kind::kNumber, 0, 0},
    {"SMALLINT", kTypeNumber, Kind::kNumber, 0, 0},
    {"TINYINT", kTypeNumber, Kind::kNumber, 0, 0},
    {"REAL", kTypeNumber, Kind::kNumber, 0, 0},
    {"FLOAT", kTypeNumber, Kind::kNumber, 0, 0},
    {"DOUBLE", kTypeNumber, Kind::kNumber, 0, 0},
    {"DOUBLE PRECISION", kTypeNumber, Kind::kNumber, 0, 0},
    {"BINARY_FLOAT", kTypeNumber, Kind::kNumber, 0, 0},
    {"BINARY_DOUBLE", kTypeNumber, Kind::kNumber, 0, 0},
    {"BOOLEAN", kTypeNumber, Kind::kNumber, 1, 0},
    {"DATE", kTypeDate, Kind::kDate, 9, 0},
    {"DATETIME", kTypeVarchar, Kind::kText, 0, 19},
    {"TIMESTAMP", kTypeVarchar, Kind::kText, 0, 19},
    {"TIME", kTypeVarchar, Kind::kText, 0, 8},
    {"RAW", kTypeRaw, Kind::kRaw, 2000, 0},
    {"VARBINARY", kTypeRaw, Kind::kRaw, 2000, 0},
    {"BINARY", kTypeRaw, Kind::kRaw, 2000, 0},
    {"LONG", kTypeLong, Kind::kUnfetchable, 0, 0},
    {"LONG RAW", kTypeLongRaw, Kind::kUnfetchable, 0, 0},
    {"ROWID", kTypeRowid, Kind::kUnfetchable, 0, 0},
    {"UROWID", kTypeRowid, Kind::kUnfetchable, 0, 0},
    {"CLOB", kTypeClob, Kind::kUnfetchable, 0, 0},
    {"NCLOB", kTypeClob, Kind::kUnfetchable, 0, 0},
    {"BLOB", kTypeBlob, Kind::kUnfetchable, 0, 0},
};

// Text length of untyped blob values: their hexadecimal fills 384 characters.
constexpr int kUntypedRawLength = 192;

struct Column {
  ColumnDesc desc;
  Kind kind = Kind::kText;
};

// Fills the sizes of `column` from its code, length, precision and scale.
void set_sizes(Column& column) {
  ColumnDesc& d = column.desc;
  switch (column.kind) {
    case Kind::kText:
      d.size_chars = d.length;
      d.size_bytes = d.length * 4;  // UTF-8
      d.charset = kUtf8;
      break;
    case Kind::kNumber:
      d.size_chars = d.size_bytes = (d.precision ? d.precision : 19) + 2 + std::max(0, -d.scale);
      break;
    case Kind::kDate:
      d.size_chars = d.size_bytes = 9;
      break;
    case Kind::kRaw:
      d.size_chars = d.size_bytes = d.length * 2;
      break;
    case Kind::kUnfetchable:
      break;
  }
}

// The integers inside the parentheses of a declaration ("NUMBER(5,-2)").
std::vector<int> type_arguments(std::string_view decl) {
  std::vector<int> args;
  size_t open = decl.find('(');
  if (open == std::string_view::npos) return args;
  std::string_view inside = decl.substr(open + 1);
  inside = inside.substr(0, inside.find(')'));
  while (!inside.empty()) {
    size_t comma = inside.find(',');
    std::string part(inside.substr(0, comma));
    try {
      args.push_back(std::stoi(part));
    } catch (...) {
      args.push_back(0);
    }
    if (comma == std::string_view::npos) break;
    inside.remove_prefix(comma + 1);
  }
  return args;
}

const TypeRule* find_rule(std::string_view name) {
  for (const TypeRule& rule : kTypeRules) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

// Column from a declared type; false when there is none (an expression).
bool map_declared_type(const char* declared, Column& column) {
  if (!declared || !*declared) return false;
  std::string decl = u_strupper(declared);
  std::string base = decl.substr(0, decl.find('('));
  base.erase(base.find_last_not_of(' ') + 1);
  std::vector<int> args = type_arguments(decl);
  const TypeRule* rule = find_rule(base);
  if (!rule && base.rfind("TIMESTAMP", 0) == 0) rule = find_rule("TIMESTAMP");
  if (!rule) {
    // SQLite's affinity rules, in SQLite's order.
    const char* fallback = base.find("INT") != std::string::npos ? "INTEGER"
                           : base.find("CHAR") != std::string::npos || base.find("TEXT") != std::string::npos
                               ? "VARCHAR"
                           : base.find("BLOB") != std::string::npos ? "BLOB"
                           : base.find("REAL") != std::string::npos || base.find("FLOA") != std::string::npos ||
                                   base.find("DOUB") != std::string::npos
                               ? "REAL"
                               : "NUMERIC";
    rule = find_rule(fallback);
  }
  ColumnDesc& d = column.desc;
  d.type = rule->code;
  d.type_name = decl;
  column.kind = rule->kind;
  if (rule->fixed_width) {
    // Date-times keep their full text: fractions and a zone widen it.
    d.length = rule->fixed_width;
    if (!args.empty() && args[0] > 0) d.length += 1 + args[0];
    if (decl.find("ZONE") != std::string::npos) d.length += 6;
  } else if (rule->kind == Kind::kNumber) {
    d.precision = args.empty() ? rule->default_length : args[0];
    d.scale = args.size() > 1 ? args[1] : 0;
    d.length = d.precision;
  } else {
    d.length = args.empty() || args[0] <= 0 ? rule->default_length : args[0];
  }
  return true;
}

// Column of an expression, typed by its first value (`type` SQLITE_*, or
// SQLITE_NULL when there is no row).
void map_value_type(int type, Column& column) {
  ColumnDesc& d = column.desc;
  switch (type) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
      d.type = kTypeNumber;
      d.type_name = type == SQLITE_INTEGER ? "INTEGER" : "REAL";
      column.kind = Kind::kNumber;
      break;
    case SQLITE_BLOB:
      d.type = kTypeRaw;
      d.type_name = "BLOB";
      d.length = kUntypedRawLength;
      column.kind = Kind::kRaw;
      break;
    default:
      d.type = kTypeVarchar;
      d.type_name = "TEXT";
      d.length = 4000;
      column.kind = Kind::kText;
      break;
  }
}

// Why an interrupted statement was interrupted.
enum class Interrupt { kTimeOut, kFlag };

// Maps an SQLite result onto the layer's codes.
int map_error(int rc, sqlite3* db, Diagnostics& diag, int query_timeout, Interrupt why) {
  if (rc == SQLITE_INTERRUPT && why == Interrupt::kFlag)
    return diag.set(kCancelled, "statement cancelled: the collector is shutting down");
  if (rc == SQLITE_INTERRUPT) {
    return diag.set(kCancelled, "statement cancelled: it ran longer than the query time-out of " +
                                    std::to_string(query_timeout) + " s");
  }
  return diag.set(-(rc & 0xff), db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

class SqliteStatement;

class SqliteConnection final : public Connection {
 public:
  SqliteConnection(sqlite3* db, int query_timeout, const volatile std::sig_atomic_t* cancel_flag)
      : db_(db), query_timeout_(query_timeout), cancel_flag_(cancel_flag) {
    sqlite3_busy_timeout(db_, (query_timeout_ > 0 ? query_timeout_ : 60) * 1000);
    sqlite3_progress_handler(db_, 1000, &SqliteConnection::progress, this);
  }
  ~SqliteConnection() override { release(); }

  std::unique_ptr<Statement> prepare(std::string_view sql) override;
  int commit(bool release_session) override { return end_transaction("COMMIT", release_session); }
  int rollback(bool release_session) override { return end_transaction("ROLLBACK", release_session); }
  bool connected() const override { return db_ != nullptr; }
  const Diagnostics& diagnostics() const override { return diag_; }

  // Runs one step of `stmt` under the query time-out.
  int step(sqlite3_stmt* stmt) {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(query_timeout_);
    interrupt_ = Interrupt::kTimeOut;
    stepping_ = true;
    const int rc = sqlite3_step(stmt);
    stepping_ = false;
    return rc;
  }
  sqlite3* db() const { return db_; }
  // Maps `rc` of this connection's last call.
  int map(int rc, Diagnostics& diag) const { return map_error(rc, db_, diag, query_timeout_, interrupt_); }
  StatementRegistry& registry() { return registry_; }

 private:
  // Steps are timed on the monotonic clock: a wall-clock change must not
  // cancel or prolong them.
  static int progress(void* self) {
    auto* c = static_cast<SqliteConnection*>(self);
    // Only a query is cancelled: the commit that ends a shutdown must run.
    if (c->stepping_ && c->cancel_flag_ && *c->cancel_flag_) {
      c->interrupt_ = Interrupt::kFlag;
      return 1;
    }
    return c->query_timeout_ > 0 && std::chrono::steady_clock::now() > c->deadline_;
  }

  int end_transaction(const char* verb, bool release_session) {
    if (!db_) return not_logged_on(diag_);
    diag_.clear();
    if (!sqlite3_get_autocommit(db_)) {
      int rc = sqlite3_exec(db_, verb, nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) map(rc, diag_);
    }
    if (release_session) release();
    return diag_.code;
  }

  void release() {
    registry_.detach_all();
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  sqlite3* db_;
  int query_timeout_;
  const volatile std::sig_atomic_t* cancel_flag_;
  Interrupt interrupt_ = Interrupt::kTimeOut;
  bool stepping_ = false;
  std::chrono::steady_clock::time_point deadline_{};
  Diagnostics diag_;
  StatementRegistry registry_;
};

class SqliteStatement final : public Statement, public Detachable {
 public:
  SqliteStatement(SqliteConnection* connection, sqlite3_stmt* stmt) : connection_(connection), stmt_(stmt) {
    connection_->registry().add(this);
  }
  ~SqliteStatement() override {
    if (stmt_) {
      connection_->registry().remove(this);
      sqlite3_finalize(stmt_);
    }
  }

  void detach() override {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }

  int open() override {
    if (!stmt_) return not_logged_on(diag_);
    diag_.clear();
    sqlite3_reset(stmt_);
    columns_.clear();
    row_pending_ = done_ = false;
    // The first row is stepped now: errors surface at open, and expression
    // columns take their type from it.
    int rc = connection_->step(stmt_);
    if (rc == SQLITE_ROW) {
      row_pending_ = true;
    } else if (rc == SQLITE_DONE) {
      done_ = true;
    } else {
      done_ = true;
      return fail(rc);
    }
    opened_ = true;
    return 0;
  }

  int describe(std::vector<ColumnDesc>& columns) override {
    if (!stmt_) return not_logged_on(diag_);
    if (!opened_) return diag_.set(-1, "describe before open");
    diag_.clear();
    ensure_columns();
    columns.clear();
    for (const Column& c : columns_) columns.push_back(c.desc);
    return 0;
  }

  int fetch(std::span<Binding> bindings) override {
    if (!stmt_) return not_logged_on(diag_);
    if (!opened_) return diag_.set(-1, "fetch before open");
    diag_.clear();
    ensure_columns();
    if (!row_pending_) {
      if (done_) return diag_.set(kNoData, "no data found");
      int rc = connection_->step(stmt_);
      if (rc == SQLITE_DONE) {
        done_ = true;
        return diag_.set(kNoData, "no data found");
      }
      if (rc != SQLITE_ROW) {
        done_ = true;
        return fail(rc);
      }
    }
    row_pending_ = false;
    size_t n = std::min(bindings.size(), columns_.size());
    for (size_t i = 0; i < n; ++i) {
      if (bindings[i].length <= 0) continue;
      if (int code = convert(static_cast<int>(i), bindings[i])) return code;
    }
    return 0;
  }

  int close() override {
    if (!stmt_) return not_logged_on(diag_);
    sqlite3_reset(stmt_);
    opened_ = row_pending_ = done_ = false;
    return diag_.clear();
  }

  const Diagnostics& diagnostics() const override { return diag_; }

 private:
  int fail(int rc) { return connection_->map(rc, diag_); }

  void ensure_columns() {
    if (!columns_.empty()) return;
    int count = sqlite3_column_count(stmt_);
    for (int i = 0; i < count; ++i) {
      Column column;
      column.desc.name = sqlite3_column_name(stmt_, i);
      if (!map_declared_type(sqlite3_column_decltype(stmt_, i), column)) {
        map_value_type(row_pending_ ? sqlite3_column_type(stmt_, i) : SQLITE_NULL, column);
      }
      set_sizes(column);
      columns_.push_back(std::move(column));
    }
  }

  std::string_view text_of(int i) {
    const unsigned char* text = sqlite3_column_text(stmt_, i);
    return {reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt_, i))};
  }

  // Puts column i of the current row into `out`; 0 or a code.
  int convert(int i, Binding& out) {
    const Column& column = columns_[static_cast<size_t>(i)];
    if (column.kind == Kind::kText) {
      // Text comes as text whatever its storage class; only a null has none
      // (or a failed conversion, which the type then tells apart).
      if (const unsigned char* text = sqlite3_column_text(stmt_, i)) {
        put_text(out, {reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt_, i))});
        return 0;
      }
    }
    int type = sqlite3_column_type(stmt_, i);
    if (type == SQLITE_NULL) {
      put_null(out);
      return 0;
    }
    if (out.indicator) *out.indicator = 0;
    switch (column.kind) {
      case Kind::kText:
        put_text(out, text_of(i));
        return 0;
      case Kind::kNumber: {
        std::optional<std::string> number;
        if (type == SQLITE_INTEGER) {
          // Integers are already canonical: placed without a string when they fit.
          char digits[24];
          const auto end =
              std::to_chars(digits, digits + sizeof digits, sqlite3_column_int64(stmt_, i)).ptr;
          const std::string_view text(digits, static_cast<size_t>(end - digits));
          if (text.size() <= static_cast<size_t>(std::max(out.length, 0))) {
            put_text(out, text);
            return 0;
          }
          number = std::string(text);
        } else if (type == SQLITE_FLOAT) {
          number = double_text(sqlite3_column_double(stmt_, i));
        } else if (type == SQLITE_TEXT) {
          number = canonical_number(text_of(i));
        }
        // The value's text only serves the message about a bad number:
        // asking SQLite for it converts every number a second time.
        return place_number(column.desc.name, number, number ? std::string_view{} : text_of(i), out, diag_);
      }
      case Kind::kDate:
        return convert_date(i, type, out);
      case Kind::kRaw: {
        const void* blob = sqlite3_column_blob(stmt_, i);
        put_text(out, hex_text({static_cast<const char*>(blob), static_cast<size_t>(sqlite3_column_bytes(stmt_, i))}));
        return 0;
      }
      case Kind::kUnfetchable:
        break;
    }
    return diag_.set(-1, "column " + column.desc.name + " of type " + column.desc.type_name +
                             " cannot be fetched as text");
  }

  // Dates are ISO texts, Julian day numbers (REAL) or Unix times (INTEGER),
  // as SQLite's date functions take them.
  int convert_date(int i, int type, Binding& out) {
    std::string iso;
    if (type == SQLITE_TEXT) {
      iso = std::string(text_of(i));
    } else {
      double seconds = type == SQLITE_INTEGER ? static_cast<double>(sqlite3_column_int64(stmt_, i))
                                              : (sqlite3_column_double(stmt_, i) - 2440587.5) * 86400.0;
      std::tm tm{};
      if (std::isfinite(seconds) && std::fabs(seconds) < 1e14) {
        auto when = static_cast<std::time_t>(std::floor(seconds));
        if (gmtime_r(&when, &tm)) {
          char text[32];
          std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
          iso = text;
        }
      }
    }
    std::optional<CivilDate> date = parse_iso_date(iso);
    if (!date) {
      return diag_.set(kNotADate, "value of DATE column " + columns_[static_cast<size_t>(i)].desc.name +
                                  " is not a date: '" + std::string(text_of(i).substr(0, 40)) + "'");
    }
    put_text(out, date_text(date->year, date->month, date->day));
    return 0;
  }

  SqliteConnection* connection_;
  sqlite3_stmt* stmt_;
  Diagnostics diag_;
  std::vector<Column> columns_;
  bool opened_ = false;
  bool row_pending_ = false;  // open stepped onto a row that no fetch has taken yet
  bool done_ = false;
};

std::unique_ptr<Statement> SqliteConnection::prepare(std::string_view sql) {
  if (!db_) {
    not_logged_on(diag_);
    return nullptr;
  }
  diag_.clear();
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, &tail);
  if (rc != SQLITE_OK) {
    map(rc, diag_);
    return nullptr;
  }
  if (!stmt) {
    diag_.set(-1, "empty statement");
    return nullptr;
  }
  return std::make_unique<SqliteStatement>(this, stmt);
}

class SqliteDriver final : public Driver {
 public:
  int connect(const ConnectParams& params, std::unique_ptr<Connection>& out, Diagnostics& diag) override {
    out.reset();
    diag.clear();
    std::string path = params.server_id;
    if (path.find('/') == std::string::npos) {
      path = (params.home.empty() ? std::string(".") : params.home) + "/" + path + ".db";
    }
    // No create flag: a mistyped server id must not yield a new, empty database.
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      diag.set(-(rc & 0xff), std::string(sqlite3_errstr(rc)) + ": " + path);
      sqlite3_close_v2(db);
      return diag.code;
    }
    sqlite3_extended_result_codes(db, 0);
    // SQLite reads the file only at the first statement: a file that is no
    // database, or a damaged one, fails the logon instead of every query.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
      diag.set(-rc, std::string(sqlite3_errmsg(db)) + ": " + path);
      sqlite3_close_v2(db);
      return diag.code;
    }
    out = std::make_unique<SqliteConnection>(db, params.query_timeout, params.cancel_flag);
    return 0;
  }
};

}  // namespace

Driver& sqlite_driver() {
  static SqliteDriver driver;
  return driver;
}

}  // namespace qrx::sqlrt
