// Cost of an expression that reads a cursor's "%sqlcode_" variable, as a
// condition over many rows does, in a collector of 10, 100 and 1,000
// cursors: reading one percent field must not cost in proportion to the
// number of cursors. Prints the cost per evaluation for each size.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "exec/version_tuning.h"
#include "expr/context.h"
#include "expr/interpreter.h"
#include "expr/lexer.h"
#include "expr/terms.h"

namespace {

constexpr int kEvaluations = 200'000;
std::map<int, double> ns_per_evaluation;  // by number of cursors

void BM_SqlcodeConditionPerEvaluation(benchmark::State& state) {
  const int cursors = static_cast<int>(state.range(0));
  qrx::close_PRINT();
  qrx::stder = std::fopen("/dev/null", "w");
  std::string text;
  for (int i = 0; i < cursors; ++i)
    text += "cursor C" + std::to_string(i) + ";\nINSERT INTO T (C0) VALUES (:A);\ninterval 60;\n";
  qrx::Definitions defs;
  if (qrx::parse_curs_text(defs, text + "end;\n") != 0 || qrx::create_percent_cursor(defs) != 0) {
    state.SkipWithError("cursors did not parse");
    return;
  }
  qrx::ExprContext cx;
  qrx::install_expr_names(cx, defs);
  qrx::open_lexer(cx, nullptr);
  auto rpn = qrx::parse_expression(cx, "%sqlcode_C1 = 0 OR %sqlcode_C1 ^= 0");
  double best = 0;
  for (auto _ : state) {
    const std::clock_t start = std::clock();
    int true_count = 0;
    for (int i = 0; i < kEvaluations; ++i) {
      qrx::TERM_TABLE* r = rpn ? qrx::interpreter(cx, *rpn) : nullptr;
      if (r == nullptr) break;
      true_count += r->ivalue;
      qrx::free_work_chain(cx, r, nullptr, 1);
    }
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    best = best == 0 ? seconds : std::min(best, seconds);
    if (true_count != kEvaluations) state.SkipWithError("the condition did not hold on every evaluation");
  }
  ns_per_evaluation[cursors] = best * 1e9 / kEvaluations;
  qrx::close_PRINT();
}
BENCHMARK(BM_SqlcodeConditionPerEvaluation)->Arg(10)->Arg(100)->Arg(1000)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [cursors, ns] : ns_per_evaluation)
    std::printf("percent read: %5d cursors, %.1f ns per evaluation (goal: the same at every size)\n", cursors, ns);
  return 0;
}
