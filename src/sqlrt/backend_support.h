// Pieces both database backends share: turning values into the character
// data a fetch delivers, and the list of a connection's live statements.
// Everything here works on caller-owned buffers and objects.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sqlrt/sqlrt.h"

namespace qrx::sqlrt {

// Marks `column` NULL.
void put_null(Binding& column);

// Copies `text` into `column`, cut at a UTF-8 character boundary when it is
// longer than the fetch length (the indicator then holds the full length).
void put_text(Binding& column, std::string_view text);

// Copies the decimal text `number` into `column`, rounding away fraction
// digits when it is too long; kValueTooLarge when even the integer part does
// not fit, else 0.
int put_number(Binding& column, std::string number);

// Puts column `name`'s number into `column`: kInvalidNumber in `diag` when
// `number` is none (`raw` shows the value), kValueTooLarge when it does not
// fit; else 0.
int place_number(const std::string& name, const std::optional<std::string>& number, std::string_view raw,
                 Binding& column, Diagnostics& diag);

// `text` as a plain decimal ("-12.5", "0.25", "300"): sign, digits, point and
// fraction without trailing zeros; exponents are worked out. Nothing when it
// is not a number.
std::optional<std::string> canonical_number(std::string_view text);

// `value` as a plain decimal text of 15 significant digits; nothing for
// infinities and NaN.
std::optional<std::string> double_text(double value);

// A calendar date as DD-MON-YY ("05-JAN-26").
std::string date_text(int year, int month, int day);

// Year, month and day from a text beginning YYYY-MM-DD; nothing otherwise.
struct CivilDate {
  int year;
  int month;
  int day;
};
std::optional<CivilDate> parse_iso_date(std::string_view text);

// `bytes` as upper-case hexadecimal.
std::string hex_text(std::string_view bytes);

// A statement that its connection can cut off from the backend.
class Detachable {
 public:
  virtual ~Detachable() = default;
  // Frees the backend handle; later operations fail kNotLoggedOn.
  virtual void detach() = 0;
};

// The live statements of one connection.
class StatementRegistry {
 public:
  void add(Detachable* statement) { live_.push_back(statement); }
  void remove(Detachable* statement);
  // Detaches and forgets every live statement.
  void detach_all();

 private:
  std::vector<Detachable*> live_;
};

// The two backends (owned by their modules).
Driver& sqlite_driver();
Driver& odbc_driver();

// Fails an operation on a detached statement or a released connection.
int not_logged_on(Diagnostics& diag);

}  // namespace qrx::sqlrt
