// Cost of evaluating the condition "A > 5 AND B LIKE 'X%' OR %parm0 = 'Y'"
// over every row of a 1,000,000-row cursor, against the cost per row of a
// plain SQLite fetch of the same two columns in the same run: through
// interpreter(), through a held compiled condition, over blocks of rows at
// once as the internal select evaluates its condition, and in full every
// time (the row walk alone for scale). Prints the per-row figures and their
// ratios to the fetch (target: the condition at most 0.1 of the fetch);
// the same ratios round by round, each pass against a fetch pass timed just
// before it; the condition inside the fetch loop; and the ratios to the
// collector's own cursor run over those rows.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/cursor_run.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"
#include "expr/context.h"
#include "expr/interpreter.h"
#include "expr/lexer.h"
#include "expr/terms.h"
#include "qrx/curs.h"
#include "qrx/distributor.h"
#include "support/cursor_builder.h"
#include "session/database.h"

namespace {

constexpr int kRows = 1'000'000;
constexpr int kNumberWidth = 10;
constexpr int kTextWidth = 20;
constexpr char kCondition[] = "A > 5 AND B LIKE 'X%' OR %parm0 = 'Y'";

// Value of column A and B in row `r`.
std::string a_value(int r) { return std::to_string(r % 10); }
std::string b_value(int r) { return (r % 3 ? "XRAY " : "YANKEE ") + std::to_string(r % 9973); }

// The cursor of kRows rows and a percent cursor holding "%parm0" = "N".
struct Cursors {
  qrx::curs big, percent;
  qrx::cursor_set set;  // what the percent lookup is handed; the rows are `percent`'s
  Cursors() {
    big.name = "BIG";
    qrx::testing::append_column(big, "A", kNumberWidth, true);
    qrx::testing::append_column(big, "B", kTextWidth, false);
    for (int r = 0; r < kRows; ++r) qrx::testing::append_row(big, {a_value(r), b_value(r)});
    percent.name = "%CURSOR";
    qrx::testing::append_column(percent, "%parm0", 4, false);
    qrx::testing::append_row(percent, {"N"});
  }
};
Cursors& cursors() {
  static Cursors c;
  return c;
}

const qrx::columns* find_percent(std::string_view name) {
  for (const auto& col : cursors().percent.cols)
    if (col->name == name) return col.get();
  return nullptr;
}
const qrx::row_data* percent_row(qrx::cursor_set&, const qrx::columns&) {
  return cursors().percent.stored.last();
}

// The same two columns in an SQLite table.
class SmallTable {
 public:
  SmallTable() {
    char pattern[] = "/tmp/qrx-expr-bench-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/t.db";
    sqlite3* db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE t (a NUMBER(8), b VARCHAR2(20)); BEGIN;", nullptr, nullptr,
                 nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?,?)", -1, &insert, nullptr);
    for (int r = 0; r < kRows; ++r) {
      sqlite3_bind_int(insert, 1, r % 10);
      const std::string b = b_value(r);
      sqlite3_bind_text(insert, 2, b.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  ~SmallTable() {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

SmallTable& small_table() {
  static SmallTable table;
  return table;
}

// Processor time, not wall time: the machine the benchmark shares may be busy.
double seconds_since(std::clock_t start) {
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}
void keep_best(double& best, double seconds) { best = best == 0 ? seconds : std::min(best, seconds); }

// Best processor time of one pass, by figure.
enum Figure { kInterpreter, kCompiled, kTogether, kFull, kWalk, kFetch, kCursorRun, kFigures };
double best[kFigures] = {};

// How a pass evaluates the condition over a row.
enum class Way { kInterpreter, kCompiled, kTogether, kFull };

// The log silenced, the names installed in `cx`, the big cursor current and
// the lexer open: the condition's list, or null when it did not parse.
auto parse_condition(qrx::ExprContext& cx) {
  qrx::close_PRINT();
  qrx::stder = std::fopen("/dev/null", "w");
  qrx::ExprNames names;
  names.find_percent = find_percent;
  names.percent_row = percent_row;
  names.cursors = &cursors().set;
  qrx::set_expr_names(cx, names);
  qrx::set_current_cursor(cx, &cursors().big);
  qrx::open_lexer(cx, nullptr);
  return qrx::parse_expression(cx, kCondition);
}

// Blocks of rows taken together, as the internal select takes them.
constexpr std::size_t kBlockRows = 64;

// One pass of the condition over every row of the big cursor, `way`; the
// number of rows it held for, or -1 when an evaluation failed.
int evaluation_pass(qrx::ExprContext& cx, Way way, const qrx::LexList& rpn,
                    qrx::CompiledExpr& compiled) {
  Cursors& c = cursors();
  int true_rows = 0;
  if (way == Way::kTogether) {
    const qrx::row_data* block[kBlockRows];
    bool truths[kBlockRows];
    for (const qrx::row_data* next = c.big.stored.first(); next != nullptr;) {
      std::size_t n = 0;
      for (; next != nullptr && n < kBlockRows; next = next->next) block[n++] = next;
      if (qrx::evaluate_rows(cx, rpn, std::span(block, n), std::span(truths, n)) != 0) return -1;
      for (std::size_t i = 0; i < n; ++i) true_rows += truths[i];
    }
    return true_rows;
  }
  for (const qrx::row_data* row = c.big.stored.first(); row != nullptr; row = row->next) {
    qrx::set_current_row(cx, row);
    if (way == Way::kCompiled) {
      bool truth = false;
      if (compiled.evaluate(&truth) != 0) return -1;
      true_rows += truth;
      continue;
    }
    qrx::TERM_TABLE* r = qrx::interpreter(cx, rpn);
    if (r == nullptr) return -1;
    true_rows += r->ivalue;
    qrx::free_work_chain(cx, r, nullptr, 1);
  }
  return true_rows;
}

// Rows the condition holds for.
int expected_true_rows() {
  int expected = 0;
  for (int r = 0; r < kRows; ++r) expected += r % 10 > 5 && b_value(r)[0] == 'X';
  return expected;
}

// Compiles `rpn` for every way: interpreter() and evaluate_rows() by the
// first evaluation, as the select's first row does, `compiled` by its own.
void compile_condition(qrx::ExprContext& cx, const qrx::LexList& rpn,
                       qrx::CompiledExpr& compiled) {
  qrx::set_current_row(cx, cursors().big.stored.first());
  qrx::free_work_chain(cx, qrx::interpreter(cx, rpn), nullptr, 1);
  bool truth = false;
  compiled.evaluate(&truth);
}

// Closes the log parse_condition opened (the context frees its terms).
void close_condition() { qrx::close_PRINT(); }

// Evaluates the condition over every row of the big cursor, `way`.
void condition_pass(benchmark::State& state, Way way, Figure figure) {
  qrx::ExprContext cx;
  qrx::set_compiled_evaluation(cx, way != Way::kFull);
  auto rpn = parse_condition(cx);
  if (rpn == nullptr) {
    state.SkipWithError("condition did not parse");
    return;
  }
  qrx::CompiledExpr compiled(cx, *rpn);
  const int expected = expected_true_rows();
  if (way == Way::kTogether) compile_condition(cx, *rpn, compiled);
  for (auto _ : state) {
    const std::clock_t start = std::clock();
    const int true_rows = evaluation_pass(cx, way, *rpn, compiled);
    keep_best(best[figure], seconds_since(start));
    if (true_rows != expected) {
      state.SkipWithError(("wrong result count " + std::to_string(true_rows)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  close_condition();
}

// interpreter() as every caller uses it: the compiled form after the first row.
void BM_ConditionPerRow(benchmark::State& state) {
  condition_pass(state, Way::kInterpreter, kInterpreter);
}
BENCHMARK(BM_ConditionPerRow)->Unit(benchmark::kMillisecond)->Iterations(5);

// A caller holding the compiled condition.
void BM_CompiledConditionPerRow(benchmark::State& state) {
  condition_pass(state, Way::kCompiled, kCompiled);
}
BENCHMARK(BM_CompiledConditionPerRow)->Unit(benchmark::kMillisecond)->Iterations(5);

// Blocks of rows at once, as the internal select evaluates its condition.
void BM_ConditionOverBlocksOfRows(benchmark::State& state) {
  condition_pass(state, Way::kTogether, kTogether);
}
BENCHMARK(BM_ConditionOverBlocksOfRows)->Unit(benchmark::kMillisecond)->Iterations(5);

// The full evaluation every time (the compiled form turned off).
void BM_FullConditionPerRow(benchmark::State& state) { condition_pass(state, Way::kFull, kFull); }
BENCHMARK(BM_FullConditionPerRow)->Unit(benchmark::kMillisecond)->Iterations(5);

// The walk over the rows alone, touching the bytes the condition reads.
void BM_RowWalkPerRow(benchmark::State& state) {
  Cursors& c = cursors();
  const int32_t a = c.big.cols[0]->stored_offset, b = c.big.cols[1]->stored_offset;
  for (auto _ : state) {
    const std::clock_t start = std::clock();
    int sum = 0;
    for (const qrx::row_data* row = c.big.stored.first(); row != nullptr; row = row->next)
      sum += row->data()[a] + row->data()[b];
    benchmark::DoNotOptimize(sum);
    keep_best(best[kWalk], seconds_since(start));
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_RowWalkPerRow)->Unit(benchmark::kMillisecond)->Iterations(5);

// The condition in the fetch loop, as a collection meets it: each row is
// fetched into a row buffer and evaluated there while it is in cache. Each
// round times a fetch pass without and one with the evaluation, back to
// back, so the machine's load changes neither much; the medians of the
// rounds' differences and ratios are printed.
constexpr int kRounds = 9;
double marginal_ns[kRounds] = {}, marginal_ratio[kRounds] = {};
int rounds_done = 0;

// One fetch pass over the table into `row`; when `rpn` is given, the
// condition is evaluated over each row. Returns processor seconds, or -1.
double fetch_pass(sqlite3* db, qrx::row_data* row, qrx::CompiledExpr* compiled, int* true_rows) {
  const std::clock_t start = std::clock();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT a, b FROM t", -1, &stmt, nullptr);
  int rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    char* place = row->data();
    for (int i = 0; i < 2; ++i) {
      const int width = i ? kTextWidth : kNumberWidth;
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      const int n = std::min(sqlite3_column_bytes(stmt, i), width);
      std::memcpy(place, text, static_cast<std::size_t>(n));
      std::memset(place + n, ' ', static_cast<std::size_t>(width - n));
      place += width;
    }
    benchmark::DoNotOptimize(place);
    if (compiled != nullptr) {
      bool truth = false;
      if (compiled->evaluate(&truth) != 0) return -1;
      *true_rows += truth;
    }
    ++rows;
  }
  sqlite3_finalize(stmt);
  return rows == kRows ? seconds_since(start) : -1;
}

void BM_SqliteFetchPerRow(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(small_table().path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  qrx::owned_row row(qrx::row_chain::allocate(kNumberWidth + kTextWidth, false));
  for (auto _ : state) {
    const double seconds = fetch_pass(db, row.get(), nullptr, nullptr);
    if (seconds < 0) state.SkipWithError("short read");
    keep_best(best[kFetch], seconds);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  sqlite3_close(db);
}
// The collector's own fetch of the same rows: the cursor run that fills a
// cursor from SQLite, the rows stored as the condition then reads them.
void BM_CursorRunPerRow(benchmark::State& state) {
  qrx::close_PRINT();
  qrx::stder = std::fopen("/dev/null", "w");
  qrx::distributor collector;
  collector.distrib_name = "collector";
  collector.type = 2;
  collector.server_id = small_table().path();
  qrx::Definitions defs;
  defs.collector_at = &collector;
  if (qrx::parse_curs_text(defs, "cursor FETCHED;\nINSERT INTO T (C0, C1) VALUES (:a, :b);\ninterval 60;\n"
                           "insert_select SELECT a, b FROM t;\nempty;\nend;\n") != 0) {
    state.SkipWithError("cursor did not parse");
    return;
  }
  qrx::curs& c = *defs.find_cursor("FETCHED");
  c.limit = 0;  // keep every row
  for (auto _ : state) {
    qrx::delete_all(c);
    qrx::trim_row_blocks();  // as each collection does before it runs its cursors
    const std::clock_t start = std::clock();
    const int code = qrx::run_cursor(c, "20261211030000");
    keep_best(best[kCursorRun], seconds_since(start));
    if (code != 0 || c.stored.count() != kRows) state.SkipWithError("the run did not store every row");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  qrx::commit_collect(1);
  qrx::close_PRINT();
}
BENCHMARK(BM_CursorRunPerRow)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK(BM_SqliteFetchPerRow)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ConditionInFetchLoop(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(small_table().path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  Cursors& c = cursors();
  qrx::ExprContext cx;
  auto rpn = parse_condition(cx);
  if (rpn == nullptr) {
    state.SkipWithError("condition did not parse");
    return;
  }
  qrx::owned_row owned(qrx::row_chain::allocate(c.big.row_length, false));
  qrx::row_data* row = owned.get();
  row->data()[c.big.row_length] = '\0';
  qrx::set_current_row(cx, row);
  {
    qrx::CompiledExpr compiled(cx, *rpn);
    const int expected = expected_true_rows();
    for (auto _ : state) {
      for (rounds_done = 0; rounds_done < kRounds; ++rounds_done) {
        int true_rows = 0;
        const double alone = fetch_pass(db, row, nullptr, nullptr);
        const double with = fetch_pass(db, row, &compiled, &true_rows);
        if (alone < 0 || with < 0 || true_rows != expected) {
          state.SkipWithError("fetch or evaluation failed");
          break;
        }
        marginal_ns[rounds_done] = (with - alone) * 1e9 / kRows;
        marginal_ratio[rounds_done] = (with - alone) / alone;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kRows * kRounds);
  close_condition();
  sqlite3_close(db);
}
BENCHMARK(BM_ConditionInFetchLoop)->Unit(benchmark::kMillisecond)->Iterations(1);

// Each round times a plain fetch pass and then a pass of each way over the
// cursor, back to back, so that a change in the machine's speed moves both
// sides of a ratio alike; the medians of the rounds' ratios are printed.
constexpr Way kRatioWays[] = {Way::kInterpreter, Way::kCompiled, Way::kTogether};
double way_ratio[std::size(kRatioWays)][kRounds] = {};
int ratio_rounds = 0;

void BM_RatiosRoundByRound(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(small_table().path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  qrx::owned_row row(qrx::row_chain::allocate(kNumberWidth + kTextWidth, false));
  qrx::ExprContext cx;
  auto rpn = parse_condition(cx);
  if (rpn == nullptr) {
    state.SkipWithError("condition did not parse");
    return;
  }
  {
    qrx::CompiledExpr compiled(cx, *rpn);
    compile_condition(cx, *rpn, compiled);
    const int expected = expected_true_rows();
    bool failed = false;
    for (auto _ : state) {
      for (ratio_rounds = 0; ratio_rounds < kRounds && !failed; ++ratio_rounds) {
        const double fetch = fetch_pass(db, row.get(), nullptr, nullptr);
        for (std::size_t w = 0; w < std::size(kRatioWays) && !failed; ++w) {
          const std::clock_t start = std::clock();
          const int true_rows = evaluation_pass(cx, kRatioWays[w], *rpn, compiled);
          way_ratio[w][ratio_rounds] = seconds_since(start) / fetch;
          failed = fetch <= 0 || true_rows != expected;
        }
      }
    }
    if (failed) {
      state.SkipWithError("fetch or evaluation failed");
      ratio_rounds = 0;
    }
  }
  close_condition();
  sqlite3_close(db);
}
BENCHMARK(BM_RatiosRoundByRound)->Unit(benchmark::kMillisecond)->Iterations(1);

double median(double* v, int n) {
  std::sort(v, v + n);
  return v[n / 2];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (best[kFetch] > 0) {
    const double fetch_ns = best[kFetch] * 1e9 / kRows;
    std::printf("SQLite fetch: %.1f ns per row\n", fetch_ns);
    static const char* const kNames[] = {"interpreter()", "compiled condition", "blocks of rows",
                                         "full evaluation", "row walk alone"};
    for (int f = kInterpreter; f <= kWalk; ++f) {
      if (best[f] <= 0) continue;
      const double ns = best[f] * 1e9 / kRows;
      std::printf("%-20s %6.1f ns per evaluation; ratio to the fetch %.3f%s\n", kNames[f], ns,
                  ns / fetch_ns, f == kWalk ? "" : " (target: at most 0.100)");
    }
  }
  if (best[kCursorRun] > 0 && best[kCompiled] > 0 && best[kInterpreter] > 0 && best[kTogether] > 0) {
    const double run_ns = best[kCursorRun] * 1e9 / kRows;
    std::printf("the collector's cursor run over the same rows: %.1f ns per row; ratio to it: "
                "interpreter() %.3f, compiled condition %.3f, blocks of rows %.3f\n",
                run_ns, best[kInterpreter] * 1e9 / kRows / run_ns,
                best[kCompiled] * 1e9 / kRows / run_ns, best[kTogether] * 1e9 / kRows / run_ns);
  }
  if (ratio_rounds == kRounds)
    std::printf("round by round, to a fetch pass just before (median of %d rounds; target: at "
                "most 0.100): interpreter() %.3f, compiled condition %.3f, blocks of rows %.3f\n",
                kRounds, median(way_ratio[0], kRounds), median(way_ratio[1], kRounds),
                median(way_ratio[2], kRounds));
  if (rounds_done == kRounds)
    std::printf("in the fetch loop: %.1f ns per evaluation beyond the fetch; ratio to the fetch "
                "%.3f (median of %d rounds; target: at most 0.100)\n",
                median(marginal_ns, kRounds), median(marginal_ratio, kRounds), kRounds);
  return 0;
}
