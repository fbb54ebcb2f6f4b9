// A file that grows or shrinks while a pass reads it: whatever the timing,
// the pass ends normally and its results are consistent with some prefix.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "engine_builders.h"
#include "inf.h"

namespace {

constexpr int ROWS = 400000;

std::string oneColumnFile(const engine_test::TempDir& dir) {
  std::string text = "a\n";
  for (int i = 0; i < ROWS; ++i) text += std::to_string(i % 1000) + "\n";
  return engine_test::writeRaw(dir.file("in.csv"), text);
}

uint64_t countedFields(const Inf& inf) {
  uint64_t total = 0;
  const auto counts = inf.getColTypeCandidates();
  for (const auto& entry : counts.at("a")) total += entry.second;
  return total;
}

}  // namespace

TEST(ChangingInput, FileGrowingDuringThePass) {
  engine_test::TempDir dir;
  const std::string path = oneColumnFile(dir);
  Inf inf(path, ',', {{"int", {"[0-9]+"}}}, {}, false, false, "", 1000);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    for (int i = 0; !stop && i < 200000; ++i) out << "x" << i << "\n" << std::flush;
  });
  inf.inferTypes();
  stop = true;
  writer.join();
  EXPECT_GE(inf.getNumRows(), static_cast<uint64_t>(ROWS));
  // A row cut in two by the writer is still one field per row.
  EXPECT_EQ(countedFields(inf), inf.getNumRows());
}

TEST(ChangingInput, FileTruncatedDuringThePass) {
  engine_test::TempDir dir;
  const std::string path = oneColumnFile(dir);
  Inf inf(path, ',', {{"int", {"[0-9]+"}}}, {}, false, false, "", 1000);
  std::thread cutter([&] { std::filesystem::resize_file(path, 1000); });
  inf.inferTypes();
  cutter.join();
  EXPECT_LE(inf.getNumRows(), static_cast<uint64_t>(ROWS));
  EXPECT_EQ(countedFields(inf), inf.getNumRows());
}
