// The split pass beside the sequential one on the same 64 MB files: wall
// time and the process's CPU time, so that a busy machine shows as CPU time
// close to wall time rather than as a speed-up.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_common.h"

namespace {

constexpr size_t SPLIT_BYTES = 64u << 20;

// threads 0: the sequential pass; otherwise the split pass on that many.
void BM_SplitPass(benchmark::State& state, bench::Kind kind) {
  static const bench::TempFile mixed(bench::generate(bench::Kind::MIXED, SPLIT_BYTES));
  static const bench::TempFile repetitive(bench::generate(bench::Kind::REPETITIVE, SPLIT_BYTES));
  const bench::TempFile& file = kind == bench::Kind::MIXED ? mixed : repetitive;
  const int threads = static_cast<int>(state.range(0));
  Inf inf = bench::makeInf(file.path());
  std::string reason;
  for (auto _ : state) {
    if (threads == 0)
      inf.inferTypes();
    else
      reason = inf.inferSplit(threads);
  }
  if (!reason.empty()) state.SkipWithError(("read on one core: " + reason).c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(SPLIT_BYTES));
}

}  // namespace

BENCHMARK_CAPTURE(BM_SplitPass, mixed, bench::Kind::MIXED)
    ->Arg(0)
    ->Arg(2)
    ->Arg(4)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SplitPass, repetitive, bench::Kind::REPETITIVE)
    ->Arg(0)
    ->Arg(2)
    ->Arg(4)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
