// Cost of a cursor run that stores a million fetched rows, against a plain
// SQLite loop over the same query that copies each column's text into a row
// buffer, and the memory a stored row takes beyond its data. Prints the
// ratio collector/plain (target: at most 1.2) and the overhead per row
// (target: at most 40 bytes). Then a cursor of ten text columns full of
// letters beyond ASCII, run with its text passing through as UTF-8, and run
// through the conversion to UTF-8 from a code page and from UTF-16; prints
// what the conversion adds to the run (target: at most 15%).
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/cursor_run.h"
#include "exec/dynamic_fetch.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"
#include "qrx/curs.h"
#include "qrx/distributor.h"
#include "session/database.h"
#include "sqlrt/sqlrt.h"
#include "support/wrapping_driver.h"

namespace {

constexpr int kColumns = 10;
constexpr int kRows = 1'000'000;
constexpr int kNumberWidth = 10;
constexpr int kTextWidth = 20;

std::string select_list() {
  std::string list;
  for (int i = 0; i < kColumns; ++i) list += (i ? ", c" : "c") + std::to_string(i);
  return list;
}

std::string query() { return "SELECT " + select_list() + " FROM big"; }

// A database file `name` in a temporary directory of its own, removed with it.
class TempDatabase {
 public:
  explicit TempDatabase(const char* name) {
    char pattern[] = "/tmp/qrx-bench-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/" + name;
  }
  ~TempDatabase() {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  TempDatabase(const TempDatabase&) = delete;
  TempDatabase& operator=(const TempDatabase&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

// A temporary database with kRows rows of five numbers and five texts.
class BigTable : public TempDatabase {
 public:
  BigTable() : TempDatabase("big.db") {
    sqlite3* db = nullptr;
    sqlite3_open(path().c_str(), &db);
    std::string create = "CREATE TABLE big (";
    for (int i = 0; i < kColumns; ++i)
      create += (i ? ", c" : "c") + std::to_string(i) +
                (i % 2 ? " VARCHAR2(" + std::to_string(kTextWidth) + ")" : " NUMBER(" + std::to_string(kNumberWidth - 2) + ")");
    sqlite3_exec(db, (create + ");").c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO big VALUES (?,?,?,?,?,?,?,?,?,?)", -1, &insert, nullptr);
    for (int r = 0; r < kRows; ++r) {
      for (int i = 0; i < kColumns; ++i) {
        if (i % 2) {
          const std::string text = "text value " + std::to_string(r % 9973);
          sqlite3_bind_text(insert, i + 1, text.c_str(), -1, SQLITE_TRANSIENT);
        } else {
          sqlite3_bind_int(insert, i + 1, r * (i + 1) % 99999999);
        }
      }
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
};

BigTable& table() {
  static BigTable t;
  return t;
}

void open_null_log() {
  setenv("COLL_WRAPLINES", "0", 1);
  qrx::close_PRINT();
  qrx::stder = std::fopen("/dev/null", "w");
}

double best_collector = 0, best_plain = 0, overhead_per_row = 0;

// Processor time, not wall time: the machine the benchmark shares may be busy.
using Start = std::clock_t;
Start now() { return std::clock(); }
double seconds_since(Start start) { return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC; }

void keep_best(double& best, double seconds) { best = best == 0 ? seconds : std::min(best, seconds); }

double best_fetch_only = 0;

// Bytes held for stored rows: on the heap, and in the row blocks that are
// mappings of their own.
std::size_t heap_bytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd + qrx::mapped_row_block_bytes();
}

// The cursor BIG over the table in `defs`, keeping every row, run by
// `collector` (both held by the caller); null, with `state` skipped, when it
// did not parse.
qrx::curs* big_cursor(benchmark::State& state, qrx::distributor& collector, qrx::Definitions& defs) {
  open_null_log();
  collector.distrib_name = "collector";
  collector.type = 2;
  collector.server_id = table().path();
  defs.collector_at = &collector;
  std::string names, vars;
  for (int i = 0; i < kColumns; ++i) {
    names += (i ? ", C" : "C") + std::to_string(i);
    vars += (i ? ", :c" : ":c") + std::to_string(i);
  }
  const std::string text = "cursor BIG;\nINSERT INTO T (" + names + ") VALUES (" + vars + ");\ninterval 60;\n" +
                           "insert_select " + query() + ";\nempty;\nend;\n";
  if (qrx::parse_curs_text(defs, text) != 0) {
    state.SkipWithError("cursor did not parse");
    return nullptr;
  }
  qrx::curs* c = defs.find_cursor("BIG");
  c->limit = 0;  // keep every row
  return c;
}

// Runs BIG once per iteration; `store` false hands the rows to a sink that
// keeps nothing (the fetch's share of the cost).
void cursor_run(benchmark::State& state, bool store) {
  qrx::distributor collector;
  qrx::Definitions defs;
  qrx::curs* big = big_cursor(state, collector, defs);
  if (big == nullptr) return;
  qrx::curs& c = *big;
  if (!store) qrx::fetch_hooks().row = [](qrx::curs&, const qrx::fetched_row*, const std::string&) { return 1; };
  double& best = store ? best_collector : best_fetch_only;
  for (auto _ : state) {
    state.PauseTiming();
    qrx::delete_all(c);
    qrx::trim_row_blocks();  // as each collection does before it runs its cursors
    malloc_trim(0);
    const std::size_t before = heap_bytes();
    state.ResumeTiming();
    const Start start = now();
    const int code = qrx::run_cursor(c, "20261210030000");
    keep_best(best, seconds_since(start));
    if (code != 0 || c.stored.count() != (store ? kRows : 0)) {
      state.SkipWithError("the run did not store every row");
      break;
    }
    if (store) {
      state.PauseTiming();
      overhead_per_row = (static_cast<double>(heap_bytes()) - static_cast<double>(before)) / kRows -
                         c.row_length;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  if (store) {
    state.counters["row_length"] = c.row_length;
    state.counters["overhead_per_row"] = overhead_per_row;
  }
  qrx::commit_collect(1);
  qrx::fetch_hooks() = qrx::FetchHooks{};
  qrx::close_PRINT();
}
void BM_CursorRunMillionRows(benchmark::State& state) { cursor_run(state, true); }
BENCHMARK(BM_CursorRunMillionRows)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_FetchOnlyMillionRows(benchmark::State& state) { cursor_run(state, false); }
BENCHMARK(BM_FetchOnlyMillionRows)->Unit(benchmark::kMillisecond)->Iterations(3);

// The anchor: the same query, each column's text copied into a row buffer
// at fixed widths, blank-padded. Returns processor seconds, or -1 on a short read.
double plain_pass(sqlite3* db, std::vector<char>& row) {
  const Start start = now();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, query().c_str(), -1, &stmt, nullptr);
  int rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    char* place = row.data();
    for (int i = 0; i < kColumns; ++i) {
      const int width = i % 2 ? kTextWidth * 3 : kNumberWidth;
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      const int n = std::min(sqlite3_column_bytes(stmt, i), width);
      std::memcpy(place, text, static_cast<std::size_t>(n));
      std::memset(place + n, ' ', static_cast<std::size_t>(width - n));
      place += width;
    }
    benchmark::DoNotOptimize(row.data());
    ++rows;
  }
  sqlite3_finalize(stmt);
  return rows == kRows ? seconds_since(start) : -1;
}

void BM_PlainSqliteLoop(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(table().path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::vector<char> row(static_cast<std::size_t>(kColumns) * kTextWidth * 3 + 1);
  for (auto _ : state) {
    const double seconds = plain_pass(db, row);
    if (seconds < 0) state.SkipWithError("short read");
    keep_best(best_plain, seconds);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  sqlite3_close(db);
}
BENCHMARK(BM_PlainSqliteLoop)->Unit(benchmark::kMillisecond)->Iterations(5);

// The ratio again, load-proof: each round runs the plain loop and the cursor
// run back to back, so a change in the machine's load touches both; the
// median of the rounds' ratios is printed.
constexpr int kRounds = 7;
double round_ratio[kRounds] = {};
int rounds_done = 0;

void BM_InterleavedRounds(benchmark::State& state) {
  qrx::distributor collector;
  qrx::Definitions defs;
  qrx::curs* big = big_cursor(state, collector, defs);
  if (big == nullptr) return;
  qrx::curs& c = *big;
  sqlite3* db = nullptr;
  sqlite3_open_v2(table().path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::vector<char> row(static_cast<std::size_t>(kColumns) * kTextWidth * 3 + 1);
  for (auto _ : state) {
    for (rounds_done = 0; rounds_done < kRounds; ++rounds_done) {
      qrx::delete_all(c);
      qrx::trim_row_blocks();  // as each collection does before it runs its cursors
      malloc_trim(0);
      const double plain = plain_pass(db, row);
      const Start start = now();
      const int code = qrx::run_cursor(c, "20261210030000");
      const double run = seconds_since(start);
      if (plain < 0 || code != 0 || c.stored.count() != kRows) {
        state.SkipWithError("a pass did not read every row");
        break;
      }
      round_ratio[rounds_done] = run / plain;
    }
  }
  sqlite3_close(db);
  qrx::commit_collect(1);
  qrx::close_PRINT();
}
BENCHMARK(BM_InterleavedRounds)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- A character-heavy cursor through the conversion ----

constexpr int kCharRows = 300'000;
constexpr int kCharColumns = 10;
constexpr int kCharWidth = 20;

// A temporary database of kCharRows rows of kCharColumns names.
class CharTable : public TempDatabase {
 public:
  CharTable() : TempDatabase("chars.db") {
    sqlite3* db = nullptr;
    sqlite3_open(path().c_str(), &db);
    std::string create = "CREATE TABLE chars (", select = "SELECT ";
    for (int i = 0; i < kCharColumns; ++i) {
      create += (i ? ", c" : "c") + std::to_string(i) + " VARCHAR2(" + std::to_string(kCharWidth) + ")";
      select += (i ? ", " : "") + std::string("(SELECT name FROM names WHERE id = (n + ") + std::to_string(i) +
                ") % 8)";
    }
    const std::string sql =
        create + ");" +
        "CREATE TABLE names (id INTEGER, name TEXT);"
        "INSERT INTO names VALUES (0, 'Müller-Lüdenscheidt'), (1, 'Øresund Brücke'), (2, 'Jürgen Größe'),"
        " (3, 'Ærø Sønderby'), (4, '5 € für Käse'), (5, 'Zoë Åström'), (6, 'Françoise Gaël'),"
        " (7, 'Ödön Várhegyi');"
        "WITH RECURSIVE r(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM r WHERE n < " + std::to_string(kCharRows - 1) +
        ") INSERT INTO chars " + select + " FROM r;";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
};

CharTable& char_table() {
  static CharTable t;
  return t;
}

// How the text reaches the fetch.
enum class CharPath {
  kPassThrough,     // UTF-8, as SQLite has it
  kCodePage,        // labelled as the locale's code page (C.UTF-8 here): checked as UTF-8
  kUtf16,           // turned into UTF-16 by the statement, converted back by the fetch
  kUtf16Control,    // turned into UTF-16 by the statement, then dropped: the statement's own cost
};

// Relabels the text columns and, for the UTF-16 paths, makes UTF-16 of
// every fetched text, as a driver fetching wide characters does.
class CharsetStatement : public qrx::testing::ForwardingStatement {
 public:
  CharsetStatement(std::unique_ptr<qrx::sqlrt::Statement> inner, CharPath path)
      : ForwardingStatement(std::move(inner)), path_(path), cd_(iconv_open("UTF-16LE", "UTF-8")) {}
  ~CharsetStatement() override { iconv_close(cd_); }
  int describe(std::vector<qrx::sqlrt::ColumnDesc>& columns) override {
    const int code = ForwardingStatement::describe(columns);
    for (qrx::sqlrt::ColumnDesc& d : columns) {
      if (d.charset != qrx::sqlrt::kUtf8) continue;
      if (path_ == CharPath::kCodePage) d.charset = qrx::sqlrt::kNonUnicode;
      if (path_ == CharPath::kUtf16) d.charset = qrx::sqlrt::kUnicode;
    }
    return code;
  }
  int fetch(std::span<qrx::sqlrt::Binding> columns) override {
    const int code = ForwardingStatement::fetch(columns);
    if (code != 0 || path_ == CharPath::kPassThrough || path_ == CharPath::kCodePage) return code;
    for (qrx::sqlrt::Binding& b : columns) {
      char* in = b.data;
      size_t in_left = static_cast<size_t>(b.returned_bytes);
      char* out = wide_;
      size_t out_left = sizeof wide_;
      iconv(cd_, &in, &in_left, &out, &out_left);
      const auto n = static_cast<size_t>(out - wide_);
      benchmark::DoNotOptimize(wide_);
      if (path_ == CharPath::kUtf16) {
        std::memcpy(b.data, wide_, n);
        b.returned_bytes = static_cast<int>(n);
      }
    }
    return code;
  }

 private:
  CharPath path_;
  iconv_t cd_;
  char wide_[4 * kCharWidth * 3];
};

double best_char[4] = {};

void char_run(benchmark::State& state, CharPath path) {
  open_null_log();
  setenv("LC_ALL", "C.UTF-8", 1);
  qrx::systm.reset();
  qrx::testing::WrappingDriver driver([path](std::unique_ptr<qrx::sqlrt::Statement> inner) {
    return std::make_unique<CharsetStatement>(std::move(inner), path);
  });
  qrx::sqlrt::set_driver_override(&driver);
  qrx::distributor collector;
  collector.distrib_name = "collector";
  collector.type = 2;
  collector.server_id = char_table().path();
  qrx::Definitions defs;
  defs.collector_at = &collector;
  std::string names, vars, list;
  for (int i = 0; i < kCharColumns; ++i) {
    names += (i ? ", C" : "C") + std::to_string(i);
    vars += (i ? ", :c" : ":c") + std::to_string(i);
    list += (i ? ", c" : "c") + std::to_string(i);
  }
  const std::string text = "cursor CHARS;\nINSERT INTO T (" + names + ") VALUES (" + vars +
                           ");\ninterval 60;\ninsert_select SELECT " + list + " FROM chars;\nempty;\nend;\n";
  if (qrx::parse_curs_text(defs, text) != 0) {
    state.SkipWithError("cursor did not parse");
    return;
  }
  qrx::curs& c = *defs.find_cursor("CHARS");
  c.limit = 0;
  double& best = best_char[static_cast<int>(path)];
  for (auto _ : state) {
    state.PauseTiming();
    qrx::delete_all(c);
    qrx::trim_row_blocks();  // as each collection does before it runs its cursors
    malloc_trim(0);
    state.ResumeTiming();
    const Start start = now();
    const int code = qrx::run_cursor(c, "20261210030000");
    keep_best(best, seconds_since(start));
    if (code != 0 || c.stored.count() != kCharRows) {
      state.SkipWithError("the run did not store every row");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kCharRows);
  qrx::commit_collect(1);
  qrx::sqlrt::set_driver_override(nullptr);
  qrx::close_PRINT();
}
void BM_CharRunPassThrough(benchmark::State& state) { char_run(state, CharPath::kPassThrough); }
BENCHMARK(BM_CharRunPassThrough)->Unit(benchmark::kMillisecond)->Iterations(5);
void BM_CharRunCodePage(benchmark::State& state) { char_run(state, CharPath::kCodePage); }
BENCHMARK(BM_CharRunCodePage)->Unit(benchmark::kMillisecond)->Iterations(5);
void BM_CharRunUtf16(benchmark::State& state) { char_run(state, CharPath::kUtf16); }
BENCHMARK(BM_CharRunUtf16)->Unit(benchmark::kMillisecond)->Iterations(5);
void BM_CharRunUtf16Control(benchmark::State& state) { char_run(state, CharPath::kUtf16Control); }
BENCHMARK(BM_CharRunUtf16Control)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (best_collector > 0 && best_plain > 0)
    std::printf("cursor run: collector %.3f s, plain %.3f s, ratio collector/plain %.2f (target <= 1.20)\n",
                best_collector, best_plain, best_collector / best_plain);
  if (rounds_done == kRounds) {
    std::sort(round_ratio, round_ratio + kRounds);
    std::printf("cursor run: ratio collector/plain in rounds run back to back, median of %d: %.2f "
                "(from %.2f to %.2f; target <= 1.20)\n",
                kRounds, round_ratio[kRounds / 2], round_ratio[0], round_ratio[kRounds - 1]);
  }
  if (best_fetch_only > 0 && best_plain > 0)
    std::printf("cursor run: fetch without storing %.3f s, ratio fetch/plain %.2f\n", best_fetch_only,
                best_fetch_only / best_plain);
  if (overhead_per_row > 0)
    std::printf("cursor run: memory per stored row = row length + %.1f bytes (target <= 40)\n", overhead_per_row);
  const double plain = best_char[static_cast<int>(CharPath::kPassThrough)];
  const double code_page = best_char[static_cast<int>(CharPath::kCodePage)];
  const double utf16 = best_char[static_cast<int>(CharPath::kUtf16)];
  const double control = best_char[static_cast<int>(CharPath::kUtf16Control)];
  if (plain > 0 && code_page > 0)
    std::printf("character run: UTF-8 through %.3f s, converted from the code page %.3f s: +%.1f%% (target <= 15%%)\n",
                plain, code_page, (code_page - plain) / plain * 100);
  if (plain > 0 && utf16 > 0 && control > 0)
    std::printf("character run: converted from UTF-16 %.3f s against %.3f s handing out UTF-8 after the same "
                "statement work: +%.1f%% of the UTF-8 run (target <= 15%%)\n",
                utf16, control, (utf16 - control) / plain * 100);
  return 0;
}
