// Cost of classifying one field through Inf::getColType, on a value-cache hit
// and on a miss by the shape of the text, and of a whole inferTypes pass.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"

namespace {

// A session whose column tables were seeded by a pass over a header-only
// file, as a real pass would leave them before its first data row.
struct Seeded {
  bench::TempFile header{"a,b,c\n"};
  Inf inf = bench::makeInf(header.path());
  std::vector<std::string> fields = std::vector<std::string>(3);
  std::vector<std::string> types = std::vector<std::string>(3);

  Seeded() { inf.inferTypes(); }

  // The value cache can only be emptied by a pass: one over the header alone
  // with a window of 1 empties it after its only row.
  void clearCache() {
    inf.setRollingCacheWindow(1);
    inf.inferTypes();
    inf.setRollingCacheWindow(bench::WINDOW);
  }

  void classify() { inf.getColType(fields, 0, inf.colTypePatterns, types); }
};

enum class Shape { INTEGER, DECIMAL, DATETIME, CODE, MISSING, OTHER, ALTERNATING };

// The i-th distinct text of a shape; ALTERNATING cycles through four shapes so
// the column's trial order keeps changing.
std::string text(Shape shape, int i) {
  char buf[64];
  switch (shape) {
    case Shape::INTEGER:
      std::snprintf(buf, sizeof buf, "%d", 100000 + i);
      break;
    case Shape::DECIMAL:
      std::snprintf(buf, sizeof buf, "%d.%02d", i / 100, i % 100);
      break;
    case Shape::DATETIME:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", 1900 + i % 200,
                    1 + i / 200 % 12, 1 + i / 2400 % 28, i / 3600 % 24, i / 60 % 60, i % 60);
      break;
    case Shape::CODE:
      std::snprintf(buf, sizeof buf, "0%07d", i);
      break;
    case Shape::MISSING:
      return "NA";
    case Shape::OTHER:
      std::snprintf(buf, sizeof buf, "river stone %d, north", i);
      break;
    case Shape::ALTERNATING: {
      static const Shape cycle[] = {Shape::INTEGER, Shape::DATETIME, Shape::OTHER, Shape::DECIMAL};
      return text(cycle[i % 4], i / 4);
    }
  }
  return buf;
}

void BM_GetColTypeHit(benchmark::State& state, Shape shape) {
  Seeded s;
  s.fields[0] = text(shape, 7);
  s.classify();
  for (auto _ : state) {
    s.classify();
    benchmark::DoNotOptimize(s.types[0].data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(s.types[0]);
}

// Every call meets a text not in the cache. The texts are made beforehand and
// the cache is emptied, outside the timing, whenever they are used up.
void BM_GetColTypeMiss(benchmark::State& state, Shape shape) {
  constexpr int DISTINCT = 1 << 16;
  std::vector<std::string> texts;
  texts.reserve(DISTINCT);
  for (int i = 0; i < DISTINCT; ++i) texts.push_back(text(shape, i));
  Seeded s;
  s.clearCache();
  int i = 0;
  for (auto _ : state) {
    s.fields[0] = texts[i];
    s.classify();
    benchmark::DoNotOptimize(s.types[0].data());
    if (++i == DISTINCT) {
      state.PauseTiming();
      s.clearCache();
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(s.types[0]);
}

#define SHAPES(bm)                                  \
  BENCHMARK_CAPTURE(bm, integer, Shape::INTEGER);   \
  BENCHMARK_CAPTURE(bm, decimal, Shape::DECIMAL);   \
  BENCHMARK_CAPTURE(bm, datetime, Shape::DATETIME); \
  BENCHMARK_CAPTURE(bm, code, Shape::CODE);         \
  BENCHMARK_CAPTURE(bm, missing, Shape::MISSING);   \
  BENCHMARK_CAPTURE(bm, other, Shape::OTHER);       \
  BENCHMARK_CAPTURE(bm, alternating, Shape::ALTERNATING)

SHAPES(BM_GetColTypeHit);
SHAPES(BM_GetColTypeMiss);

void pass(benchmark::State& state, const std::string& path, bool parallel) {
  Inf inf = bench::makeInf(path, parallel);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::fseek(f, 0, SEEK_END);
  const long bytes = std::ftell(f);
  std::fclose(f);
  uint64_t fields = 0;
  for (auto _ : state) {
    inf.inferTypes();
    fields = 0;
    for (const auto& col : inf.getColTypeCandidates())
      for (const auto& count : col.second) fields += count.second;
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["fields/s"] =
      benchmark::Counter(static_cast<double>(fields) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

void BM_InferTypes(benchmark::State& state, bench::Kind kind, size_t bytes, bool parallel) {
  const bench::TempFile file(bench::generate(kind, bytes));
  pass(state, file.path(), parallel);
}

BENCHMARK_CAPTURE(BM_InferTypes, mixed, bench::Kind::MIXED, 16u << 20, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InferTypes, repetitive, bench::Kind::REPETITIVE, 16u << 20, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InferTypes, mixed_parallel, bench::Kind::MIXED, 1u << 20, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InferTypes, repetitive_parallel, bench::Kind::REPETITIVE, 1u << 20, true)
    ->Unit(benchmark::kMillisecond);

const bool fileRegistered = [] {
  const char* path = std::getenv("QUORLE_BENCH_FILE");
  if (path == nullptr || *path == '\0') return false;
  static const std::string file = path;
  benchmark::RegisterBenchmark("BM_InferTypes/file", [](benchmark::State& s) {
    pass(s, file, false);
  })->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
