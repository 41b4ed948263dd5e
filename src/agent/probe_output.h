// Tables that qrxprobe prints: named columns of text values, rendered as an
// aligned table, CSV or one JSON object per table. Everything is owned by the
// caller; rendering returns a new string.
#pragma once

#include <string>
#include <vector>

namespace qrx {

enum class OutputFormat { kTable, kCsv, kJson };

// One column of a probe table; numeric columns align right and go to JSON unquoted.
struct ProbeColumn {
  std::string name;
  bool numeric = false;
};

// A reply as a table: `title` names it (the cursor or request), `summary` is
// the line the aligned form prints above it.
struct ProbeTable {
  std::string title;
  std::string summary;
  std::vector<ProbeColumn> columns;
  std::vector<std::vector<std::string>> rows;  // one value per column
  // When the rows are stale (kept while the latest runs fail): the end of the
  // last successful run; empty for fresh rows.
  std::string stale_since = {};
};

// `table` in `format`, ending with a newline.
std::string render_table(const ProbeTable& table, OutputFormat format);

}  // namespace qrx
