// Test helpers for the row builder: cursors from COLLECT.CTL texts and
// fetched rows built from plain values.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "ctl/definitions.h"
#include "exec/fetched_row.h"
#include "qrx/curs.h"

namespace qrx::testing {

// One select-list item: name, value (null pointer: a database NULL), fetch
// width and whether it is a number.
struct Item {
  const char* name;
  const char* value;
  int width;
  bool numeric = false;
};

// A fetched row that owns the values its view points to.
class FetchedRow {
 public:
  FetchedRow(std::initializer_list<Item> items);
  FetchedRow(const FetchedRow&) = delete;
  FetchedRow& operator=(const FetchedRow&) = delete;
  const fetched_row* view() const { return &view_; }

 private:
  std::vector<std::string> values_;
  std::vector<fetched_column> columns_;
  fetched_row view_;
};

// Parses `text` and a closing "end" as COLLECT.CTL into `defs`; fails the
// test when the parse fails.
void parse_cursors(const std::string& text, Definitions& defs);

// A one-cursor COLLECT.CTL text: cursor `name` reading columns `cols` (host
// variable words without ":") from table T, with extra statements.
std::string cursor_text(const std::string& name, const std::vector<std::string>& cols,
                        const std::string& statements = "");

// cursor_text for a cursor whose rows come from the complete SELECT `select`.
std::string query(const std::string& name, const std::vector<std::string>& cols, const std::string& select,
                  const std::string& statements = "");

// The stored data of `row` (row length bytes) as a string.
std::string row_text(const curs& c, const row_data* row);

}  // namespace qrx::testing
