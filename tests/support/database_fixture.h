// Test fixture for the database session and the dynamic fetch: a collector
// distributor, cursors made on the spot, a row sink that keeps every fetched
// row, a fixed clock and a captured log. Everything process-wide it touches
// (session, driver override, hooks, trace switches, COLL_*
// variables) is restored at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctl/definitions.h"
#include "exec/dynamic_fetch.h"
#include "log_capture.h"
#include "qrx/curs.h"
#include "qrx/distributor.h"

namespace qrx::testing {

// A fetched column as the row sink saw it.
struct SeenColumn {
  std::string text;  // the whole place
  int length = 0;
  bool null = false;
  int orig_type = 0;
  bool right_justified = false;
  // The value: the place cut at the returned length, for character columns.
  std::string value() const { return text.substr(0, static_cast<size_t>(length)); }
};
using SeenRow = std::vector<SeenColumn>;

// Runs `sql` on the SQLite file `path` (created when missing) outside the
// collector; fails the test when a statement fails.
void run_sql(const std::string& path, const std::string& sql);

class DatabaseFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets (or, with nothing, unsets) an environment variable until TearDown.
  void set_env(const char* name, std::optional<std::string> value);

  // A cursor named `name` running `sql` for the collector distributor.
  curs& cursor(const std::string& name, const std::string& sql);

  // Runs `sql` on the database file named by the collector's server id,
  // outside the collector (SQLite).
  void setup_sql(const std::string& sql);

  // One cursor run as the collection pass makes it: log on when needed, then
  // fetch. Returns the run's code; the rows go to `rows`.
  int run(curs& c);

  distributor collector_;
  Definitions defs_;  // names collector_ as the collector distributor
  std::vector<SeenRow> rows;
  int32_t rows_out = 0;
  int merge_result = 1;  // what the row sink answers
  FixedClock clock_{1767603600};  // 2026-01-05 09:00:00 UTC
  LogCapture log_;

 private:
  std::vector<std::unique_ptr<curs>> cursors_;
  std::map<std::string, std::optional<std::string>> saved_env_;
};

}  // namespace qrx::testing
