// The database layer: sessions, statements, column descriptions and fetches
// into a caller's row buffer as character data with indicators, over SQLite
// or ODBC. A Connection owns its statements' backend handles: releasing or
// destroying it detaches every Statement, whose operations then fail -1012.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qrx::sqlrt {

// Column type codes handed to the fetch layer (the null-allowed bit cleared).
constexpr int kTypeVarchar = 1;    // variable-length character
constexpr int kTypeNumber = 2;     // number, delivered as its decimal text
constexpr int kTypeLong = 8;       // long character (not fetchable)
constexpr int kTypeRowid = 11;     // row address (not fetchable)
constexpr int kTypeDate = 12;      // date, delivered as DD-MON-YY
constexpr int kTypeRaw = 23;       // binary, delivered as upper-case hexadecimal
constexpr int kTypeLongRaw = 24;   // long binary (not fetchable)
constexpr int kTypeChar = 96;      // fixed-length character
constexpr int kTypeClob = 112;     // character large object (not fetchable)
constexpr int kTypeBlob = 113;     // binary large object (not fetchable)
constexpr int kTypeOtherBase = 1000;  // ODBC types without a code: 1000 + the ODBC type

// Result codes beyond 0 (success) that callers test; any other failure is a
// negative code of the backend.
constexpr int kNoData = 100;
constexpr int kInvalidLogon = -1017;
constexpr int kPasswordExpiring = 28002;  // logon succeeded with a warning
constexpr int kNotLoggedOn = -1012;
constexpr int kCancelled = -1013;         // time-out, or cancelled by the caller's flag
constexpr int kInvalidNumber = -1722;
constexpr int kValueTooLarge = -1406;     // a number does not fit its fetch length
constexpr int kNotADate = -1861;          // a date column holds something else

// Character-set flags of a column.
constexpr int kNonCharacter = 0;
constexpr int kNonUnicode = 1;  // text in the process locale's code page
constexpr int kUnicode = 2;     // UTF-16 in the platform's byte order; lengths count bytes
constexpr int kUtf8 = 3;        // text already in UTF-8

// Outcome of the last operation: its code, and the backend's text.
struct Diagnostics {
  int code = 0;
  std::string text;  // full message; empty on success
  // The message cut to at most 70 bytes.
  std::string message() const { return text.substr(0, 70); }
  // Sets code and text; returns the code.
  int set(int new_code, std::string new_text);
  // Clears to success; returns 0.
  int clear();
};

// One select-list column.
struct ColumnDesc {
  std::string name;
  int type = 0;          // one of the kType codes, null-allowed bit cleared
  bool nullable = true;  // the null-allowed bit
  int precision = 0;     // numbers: significant digits, 0 when not declared
  int scale = 0;         // numbers: digits after the point (negative: rounding left of it)
  int length = 0;        // declared length: characters, bytes for binary types
  int size_chars = 0;    // characters of the text the fetch delivers
  int size_bytes = 0;    // bytes of that text at most, once in UTF-8
  int charset = kNonCharacter;
  std::string type_name;  // the backend's name of the type, for traces
};

// Where a fetch puts one column: a place in the caller's row buffer. Text
// arrives in the form the column's charset flag names.
struct Binding {
  char* data = nullptr;          // `length` bytes; the value is written from the start, unterminated
  int length = 0;                // fetch length; 0 skips the column
  int16_t* indicator = nullptr;  // set: -1 NULL, 0 whole value, >0 full byte length when cut (-2 above 32767)
  int returned_bytes = 0;        // set: bytes written
  int returned_chars = 0;        // set: characters written
};

// One prepared query. It may outlive its Connection, detached.
class Statement {
 public:
  virtual ~Statement() = default;
  // Executes the query; 0 or a code.
  virtual int open() = 0;
  // The select list of an opened query; 0 or a code.
  virtual int describe(std::vector<ColumnDesc>& columns) = 0;
  // Puts the next row into `columns` (one Binding per described column, in
  // order) as character data; 0, kNoData after the last row, or a code.
  // kInvalidNumber leaves the cursor behind the failing row.
  virtual int fetch(std::span<Binding> columns) = 0;
  // Ends the query; 0 or a code.
  virtual int close() = 0;
  // The outcome of the last operation on this statement.
  virtual const Diagnostics& diagnostics() const = 0;
};

// One logged-on session.
class Connection {
 public:
  virtual ~Connection() = default;
  // Prepares `sql`; null on failure with the reason in diagnostics().
  virtual std::unique_ptr<Statement> prepare(std::string_view sql) = 0;
  // Commits; with `release` also logs off. 0 or a code.
  virtual int commit(bool release) = 0;
  // Rolls back; with `release` also logs off. 0 or a code.
  virtual int rollback(bool release) = 0;
  // False once released or once the backend reported the session lost.
  virtual bool connected() const = 0;
  // The outcome of the last connection-level operation.
  virtual const Diagnostics& diagnostics() const = 0;
};

// What a logon needs.
struct ConnectParams {
  std::string server_id;                // SQLite: path or name; ODBC: DSN or connection string
  std::string logon_id;                 // user; empty: none
  std::optional<std::string> password;  // none: operating-system authentication
  std::string home;                     // directory of SQLite databases named without "/"
  int connect_timeout = 15;             // seconds a logon may take
  int query_timeout = 60;               // seconds a statement may run; 0: unlimited
  // Once this flag is raised (by a signal, say), the statement call in
  // progress is cancelled and fails kCancelled; null: never.
  const volatile std::sig_atomic_t* cancel_flag = nullptr;
};

// A backend: the seam through which tests inject faults.
class Driver {
 public:
  virtual ~Driver() = default;
  // Logs on; 0 (or kPasswordExpiring) with `out` set, else a code in `diag`.
  virtual int connect(const ConnectParams& params, std::unique_ptr<Connection>& out,
                      Diagnostics& diag) = 0;
};

// The backend named `name` ("sqlite" or "odbc", any case); null when unknown.
// Returns the test override when one is installed.
Driver* driver_named(std::string_view name);

// Makes driver_named return `driver` (not owned; null restores the backends).
void set_driver_override(Driver* driver);

// Layer settings, chosen by the caller: the backend's name and the time-outs
// in seconds (0 no limit).
struct Settings {
  std::string driver = "sqlite";
  int query_timeout = 60;
  int connect_timeout = 15;
};

}  // namespace qrx::sqlrt
