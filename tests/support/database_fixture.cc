#include "database_fixture.h"

#include <sqlite3.h>

#include <cstdlib>

#include "base/trace.h"
#include "ctl/control_parse.h"
#include "session/database.h"
#include "sqlrt/sqlrt.h"

namespace qrx::testing {

void run_sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK) << path;
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

void DatabaseFixture::SetUp() {
  reset_database_state();
  collector_.distrib_name = "collector";
  collector_.type = 2;
  defs_.collector_at = &collector_;
  set_env("COLL_DB_DRIVER", std::nullopt);
  set_env("COLL_QUERY_TIMEOUT", std::nullopt);
  fetch_hooks() = FetchHooks{};
  fetch_hooks().row = [this](curs&, const fetched_row* row, const std::string&) {
    SeenRow seen;
    if (row)
      for (const fetched_column& col : *row)
        seen.push_back({std::string(col.data, static_cast<size_t>(col.fetch_length)), col.length,
                        col.indicator < 0, col.type, col.numeric});
    if (merge_result) rows.push_back(std::move(seen));
    return merge_result;
  };
}

void DatabaseFixture::TearDown() {
  reset_database_state();
  sqlrt::set_driver_override(nullptr);
  fetch_hooks() = FetchHooks{};
  reset_trace_state();
  for (const auto& [name, value] : saved_env_) {
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
  }
}

void DatabaseFixture::set_env(const char* name, std::optional<std::string> value) {
  if (!saved_env_.count(name)) {
    const char* old = std::getenv(name);
    saved_env_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  if (value) setenv(name, value->c_str(), 1);
  else unsetenv(name);
}

curs& DatabaseFixture::cursor(const std::string& name, const std::string& sql) {
  auto c = std::make_unique<curs>();
  c->name = name;
  c->sql_text = sql;
  c->collector = &collector_;
  cursors_.push_back(std::move(c));
  return *cursors_.back();
}

void DatabaseFixture::setup_sql(const std::string& sql) { run_sql(collector_.server_id, sql); }

int DatabaseFixture::run(curs& c) {
  int code = ensure_session(c, defs_.collector_at);
  if (code != 0) return code;
  return prep_l_fetch(c, "20260105090000", rows_out);
}

}  // namespace qrx::testing
