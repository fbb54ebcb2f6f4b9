// The rows handed out for loading are the rows of the model tokenizer and as
// many as the pass counts (header first), across block edges, quoted line
// ends, blank lines and every terminator.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csv_model.h"
#include "engine_builders.h"
#include "inf.h"
#include "row_encoder.h"
#include "row_reader.h"

namespace {

using engine_test::TempDir;

std::string randomText(std::mt19937& rng, size_t bytes) {
  const std::vector<std::string> pieces = {"a",    "12",       ",",  "\n", "\r\n", "\r",      "\"",
                                           "\"\"", "\"x\ny\"", "NA", "",   "\\.",  "\xc3\xa9"};
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  std::string text = "h1,h2,h3\n";
  while (text.size() < bytes) text += pieces[pick(rng)];
  return text;
}

std::vector<std::vector<std::string>> readAll(const std::string& path, size_t batch) {
  RowReader reader(path, ',');
  std::vector<std::vector<std::string>> out;
  std::vector<RowReader::Row> rows;
  while (reader.nextBatch(batch, rows))
    for (auto& row : rows) out.push_back(std::move(row.fields));
  return out;
}

TEST(RowReader, RowsAreTheModelsRowsAndThePassCountsThem) {
  std::mt19937 rng(20);
  TempDir dir;
  for (const size_t bytes : {size_t{40}, size_t{2000}, size_t{300000}}) {
    for (int round = 0; round < 6; ++round) {
      const std::string text = randomText(rng, bytes);
      const std::string path = engine_test::writeRaw(dir.file("r.csv"), text);
      const auto rows = readAll(path, 7);
      EXPECT_EQ(rows, csv_model::rows(text));
      Inf inf = engine_test::runPass(engine_test::InfBuilder().file(path));
      ASSERT_FALSE(rows.empty());
      EXPECT_EQ(rows.size() - 1, static_cast<size_t>(inf.getNumRows()));
    }
  }
}

TEST(RowEncoder, EncodesEveryRowThePassCounts) {
  std::mt19937 rng(22);
  TempDir dir;
  for (int round = 0; round < 6; ++round) {
    const std::string text = randomText(rng, 200000);
    const std::string path = engine_test::writeRaw(dir.file("e.csv"), text);
    RowEncoder encoder(path, ',', {"NA"}, RowEncoder::Format::CANONICAL_CSV, true);
    std::string batch;
    std::vector<int64_t> offsets;
    size_t rows = 0;
    while (const size_t n = encoder.encode(1000, batch, offsets)) {
      EXPECT_EQ(offsets.size(), n);
      rows += n;
    }
    // Random bytes include invalid UTF-8 nowhere: every row is encoded.
    EXPECT_EQ(encoder.fault(), RowEncoder::Fault::NONE);
    EXPECT_EQ(rows + 1, csv_model::rows(text).size());
  }
}

}  // namespace
