#include "row_fixture.h"

#include <gtest/gtest.h>

#include "ctl/control_parse.h"

namespace qrx::testing {

FetchedRow::FetchedRow(std::initializer_list<Item> items) {
  values_.reserve(items.size());
  for (const Item& item : items) {
    values_.emplace_back(item.value ? item.value : "");
    fetched_column f;
    f.name = item.name;
    f.data = values_.back().data();
    f.length = static_cast<int>(values_.back().size());
    f.fetch_length = item.width;
    f.indicator = item.value ? 0 : -1;
    f.type = item.numeric ? 2 : 1;
    f.numeric = item.numeric;
    columns_.push_back(f);
  }
  view_ = fetched_row(columns_);
}

void parse_cursors(const std::string& text, Definitions& defs) {
  ASSERT_EQ(parse_curs_text(defs, text + "end;\n"), 0) << text;
}

std::string cursor_text(const std::string& name, const std::vector<std::string>& cols,
                        const std::string& statements) {
  std::string names, vars;
  for (std::size_t i = 0; i < cols.size(); ++i) {
    names += (i ? ", C" : "C") + std::to_string(i);
    vars += (i ? ", :" : ":") + cols[i];
  }
  return "cursor " + name + ";\nINSERT INTO T (" + names + ") VALUES (" + vars + ");\n" +
         "interval 60;\n" + statements + "\n";
}

std::string query(const std::string& name, const std::vector<std::string>& cols, const std::string& select,
                  const std::string& statements) {
  return cursor_text(name, cols, "insert_select " + select + ";\n" + statements);
}

std::string row_text(const curs& c, const row_data* row) {
  return std::string(row->data(), c.row_length);
}

}  // namespace qrx::testing
