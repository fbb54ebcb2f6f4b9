// Throughput of the CSV tokenizer alone, over in-memory text, so that neither
// the disk nor classification is measured. Rows: the row iterator the pass
// uses; Fields: the raw token stream underneath it.
#include <benchmark/benchmark.h>

#include <istream>
#include <map>
#include <string>
#include <string_view>

#include "bench_common.h"
#include "csv/parser.h"

namespace {

constexpr size_t DATA_BYTES = 16u << 20;

const std::string& data(bench::Kind kind) {
  static const std::string mixed = bench::generate(bench::Kind::MIXED, DATA_BYTES);
  static const std::string repetitive = bench::generate(bench::Kind::REPETITIVE, DATA_BYTES);
  return kind == bench::Kind::MIXED ? mixed : repetitive;
}

// Data fields in text by the raw token stream, counted once per text.
int64_t dataFields(const std::string& text) {
  static std::map<const char*, int64_t> known;
  auto it = known.find(text.data());
  if (it != known.end()) return it->second;
  bench::MemBuf buf(text);
  std::istream in(&buf);
  csv::CsvParser parser(in);
  int64_t n = 0;
  for (csv::Field f = parser.next_field(); f.type != csv::FieldType::CSV_END;
       f = parser.next_field()) {
    if (f.type == csv::FieldType::DATA) ++n;
  }
  return known[text.data()] = n;
}

// Every way of tokenizing must hand out the same fields: a total that differs
// from the token stream's marks the run as failed rather than report a rate.
void report(benchmark::State& state, const std::string& text, int64_t fields) {
  const int64_t iterations = static_cast<int64_t>(state.iterations());
  if (fields != dataFields(text) * iterations) {
    state.SkipWithError("field count differs from the token stream's");
    return;
  }
  state.SetBytesProcessed(iterations * static_cast<int64_t>(text.size()));
  state.counters["fields/s"] =
      benchmark::Counter(static_cast<double>(fields), benchmark::Counter::kIsRate);
  state.counters["fields"] = static_cast<double>(fields / iterations);
}

void tokenizeRows(benchmark::State& state, const std::string& text) {
  int64_t rows = 0;
  int64_t fields = 0;
  for (auto _ : state) {
    bench::MemBuf buf(text);
    std::istream in(&buf);
    csv::CsvParser parser(in);
    for (const auto& row : parser) {
      ++rows;
      fields += static_cast<int64_t>(row.size());
    }
  }
  report(state, text, fields);
  state.counters["rows"] = static_cast<double>(rows / static_cast<int64_t>(state.iterations()));
}

void tokenizeFields(benchmark::State& state, const std::string& text) {
  int64_t fields = 0;
  for (auto _ : state) {
    bench::MemBuf buf(text);
    std::istream in(&buf);
    csv::CsvParser parser(in);
    for (csv::Field f = parser.next_field(); f.type != csv::FieldType::CSV_END;
         f = parser.next_field()) {
      if (f.type == csv::FieldType::DATA) ++fields;
    }
  }
  report(state, text, fields);
}

// The uncopied views the inference pass reads.
void tokenizeViews(benchmark::State& state, const std::string& text) {
  int64_t fields = 0;
  for (auto _ : state) {
    bench::MemBuf buf(text);
    std::istream in(&buf);
    csv::CsvParser parser(in);
    std::string_view view;
    for (csv::FieldType t = parser.next_view(view); t != csv::FieldType::CSV_END;
         t = parser.next_view(view)) {
      if (t == csv::FieldType::DATA) ++fields;
    }
  }
  report(state, text, fields);
}

void BM_TokenizerViews(benchmark::State& state, bench::Kind kind) {
  tokenizeViews(state, data(kind));
}
void BM_TokenizerRows(benchmark::State& state, bench::Kind kind) {
  tokenizeRows(state, data(kind));
}
void BM_TokenizerFields(benchmark::State& state, bench::Kind kind) {
  tokenizeFields(state, data(kind));
}

BENCHMARK_CAPTURE(BM_TokenizerRows, mixed, bench::Kind::MIXED)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TokenizerRows, repetitive, bench::Kind::REPETITIVE)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TokenizerFields, mixed, bench::Kind::MIXED)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TokenizerViews, mixed, bench::Kind::MIXED)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TokenizerViews, repetitive, bench::Kind::REPETITIVE)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TokenizerFields, repetitive, bench::Kind::REPETITIVE)
    ->Unit(benchmark::kMillisecond);

// A user's own file, when QUORLE_BENCH_FILE names one.
const bool fileRegistered = [] {
  static const std::string text = bench::fileFromEnv();
  if (text.empty()) return false;
  benchmark::RegisterBenchmark("BM_TokenizerRows/file", [](benchmark::State& s) {
    tokenizeRows(s, text);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_TokenizerFields/file", [](benchmark::State& s) {
    tokenizeFields(s, text);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_TokenizerViews/file", [](benchmark::State& s) {
    tokenizeViews(s, text);
  })->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
