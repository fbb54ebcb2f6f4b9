// Formatted columns converted on load: the reader's values and the encoder's
// bytes for a file written in formats are those of the same file written in
// canonical text, missing values and unformatted columns untouched; a field
// that does not fit stops both classes before its row, named by offset,
// position and text.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine_builders.h"
#include "field_formats.h"
#include "formats.h"
#include "row_encoder.h"
#include "row_reader.h"

namespace {

using engine_test::Row;
using engine_test::TempDir;
using Formats = std::vector<std::optional<formats::Format>>;

const std::unordered_set<std::string> NA = {"", "NA", "-"};
const std::vector<RowEncoder::Format> ENCODINGS = {RowEncoder::Format::POSTGRES_TEXT,
                                                   RowEncoder::Format::CANONICAL_CSV};
constexpr size_t BATCH = 3;

// A written field, and the text it loads as (the field itself when missing).
struct Written {
  std::string text;
  std::string canonical;
};

struct FormatCase {
  std::string name;
  formats::Format format;
  std::vector<Written> fields;
};

void PrintTo(const FormatCase& tc, std::ostream* os) { *os << tc.name; }

// Fields that take no format, written around the formatted one: quoting,
// escapes and texts that would fit the format are passed on as they are.
const std::vector<std::string> PLAIN = {"\"a,b\"",   "x\\y",    "31/12/2024",       "NA",
                                        "\"q\"\"\"", "\"1,5\"", "\xc3\xa9t\xc3\xa9"};

std::vector<FormatCase> formatCases() {
  using formats::Format;
  return {
      {"DayFirstDates",
       Format::temporal("%d/%m/%Y"),
       {{"31/12/2024", "2024-12-31"}, {"1/2/2024", "2024-02-01"}, {"NA", "NA"}, {"", ""}}},
      {"DateTimes",
       Format::temporal("%d.%m.%y %H:%M", 1970),
       {{"05.03.99 07:30", "1999-03-05 07:30:00"}, {"05.03.01 23:59", "2001-03-05 23:59:00"}}},
      {"DecimalCommaWithGroups",
       Format::number(',', "."),
       {{"\"1.234,50\"", "1234.50"}, {"\"-1.234.567,5\"", "-1234567.5"}, {"12", "12"}, {"-", "-"}}},
      {"Currency",
       Format::number('.', ",", "$"),
       {{"$-5.00", "-5.00"}, {"\"$1,234.5\"", "1234.5"}, {"NA", "NA"}}},
      {"Percent",
       Format::number('.', "", "", false, false, true),
       {{"45%", "0.45"}, {"12.5%", "0.125"}, {"", ""}}},
      {"Booleans",
       Format::boolean({"oui"}, {"non"}),
       {{"Oui", "true"}, {"NON", "false"}, {"-", "-"}}},
  };
}

// The file: a plain column, the formatted one, and a plain column after it;
// `canonical` writes the formatted column as it loads.
std::string fileText(const FormatCase& tc, bool canonical) {
  std::vector<Row> rows = {{"plain", "value", "tail"}};
  for (size_t r = 0; r < tc.fields.size() * 2; ++r) {
    const Written& field = tc.fields[r % tc.fields.size()];
    rows.push_back({PLAIN[r % PLAIN.size()], canonical ? field.canonical : field.text,
                    PLAIN[(r + 3) % PLAIN.size()]});
  }
  // A short row: the missing fields are padded, not converted.
  rows.push_back({"short"});
  return engine_test::csvText(rows);
}

std::vector<std::vector<std::string>> readAll(const std::string& path, const Formats& byPosition) {
  RowReader reader(path, ',');
  if (!byPosition.empty()) reader.setFormats(byPosition, NA);
  std::vector<std::vector<std::string>> out;
  std::vector<RowReader::Row> rows;
  while (reader.nextBatch(BATCH, rows))
    for (auto& row : rows) out.push_back(std::move(row.fields));
  EXPECT_FALSE(reader.misfit());
  return out;
}

std::string encodeAll(const std::string& path, RowEncoder::Format encoding,
                      const Formats& byPosition) {
  RowEncoder encoder(path, ',', NA, encoding, false);
  encoder.setFormats(byPosition);
  std::string all, batch;
  std::vector<int64_t> offsets;
  while (encoder.encode(BATCH, batch, offsets) > 0) all += batch;
  EXPECT_EQ(encoder.fault(), RowEncoder::Fault::NONE);
  return all;
}

class FormattedColumns : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormattedColumns, LoadAsTheFileWrittenInCanonicalText) {
  const FormatCase& tc = GetParam();
  TempDir dir;
  const std::string written = engine_test::writeRaw(dir.file("w.csv"), fileText(tc, false));
  const std::string canonical = engine_test::writeRaw(dir.file("c.csv"), fileText(tc, true));
  // A format past the header's width too: it is never reached.
  const Formats byPosition = {std::nullopt, tc.format, std::nullopt, std::nullopt, tc.format};

  const auto rows = readAll(written, byPosition);
  EXPECT_EQ(rows, readAll(canonical, {}));
  ASSERT_EQ(rows.size(), tc.fields.size() * 2 + 2);
  for (size_t r = 0; r < tc.fields.size(); ++r)
    EXPECT_EQ(rows[r + 1][1], tc.fields[r].canonical) << "row " << r + 1;
  for (const auto encoding : ENCODINGS)
    EXPECT_EQ(encodeAll(written, encoding, byPosition), encodeAll(canonical, encoding, {}));
}

INSTANTIATE_TEST_SUITE_P(Formats, FormattedColumns, ::testing::ValuesIn(formatCases()),
                         engine_test::CaseName());

// A file whose field at (row, column) of the data does not fit.
struct MisfitCase {
  std::string name;
  bool header;
  std::vector<Row> data;
  size_t row;
  size_t column;
  std::string shown;  // the misfit's text as reported
};

void PrintTo(const MisfitCase& tc, std::ostream* os) { *os << tc.name; }

const Formats MISFIT_FORMATS = {formats::Format::temporal("%d/%m/%Y"), std::nullopt,
                                formats::Format::number(',', ".")};

std::vector<MisfitCase> misfitCases() {
  // Past the cut a two-byte character starts one byte before it: it is left out whole.
  const std::string longField = std::string(199, '9') + "\xc3\xa9" + std::string(100, '9');
  const std::vector<Row> good = {{"1/1/2024", "x", "1,5"}, {"NA", "y", "-"}, {"", "", ""}};
  auto with = [&](size_t at, Row bad) {
    std::vector<Row> rows = good;
    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(bad));
    rows.push_back({"2/2/2024", "after", "2"});
    return rows;
  };
  return {
      {"FirstDataRow", true, with(0, {"2024-01-01", "x", "1"}), 0, 0, "2024-01-01"},
      {"FirstRowWithoutHeader", false, with(0, {"1/1/2024", "x", "1.5"}), 0, 2, "1.5"},
      {"AfterABatch", true, with(3, {"1/1/2024", "x", "1,5,"}), 3, 2, "1,5,"},
      {"FirstMisfitOfTheRow", true, with(2, {"32/1/2024", "x", "no"}), 2, 0, "32/1/2024"},
      {"NotUtf8", true, with(1, {"\xff", "x", "1"}), 1, 0, "\xff"},
      {"CutLong", true, with(1, {"1/1/2024", "x", longField}), 1, 2, std::string(199, '9')},
  };
}

std::string csvField(const std::string& text) {
  return text.find(',') == std::string::npos ? text : "\"" + text + "\"";
}

class Misfits : public ::testing::TestWithParam<MisfitCase> {};

TEST_P(Misfits, StopBothClassesBeforeTheRowNamingTheField) {
  const MisfitCase& tc = GetParam();
  std::vector<Row> rows;
  if (tc.header) rows.push_back({"when", "what", "amount"});
  for (const auto& row : tc.data) {
    rows.emplace_back();
    for (const auto& field : row) rows.back().push_back(csvField(field));
  }
  const std::string text = engine_test::csvText(rows);
  TempDir dir;
  const std::string path = engine_test::writeRaw(dir.file("m.csv"), text);
  const size_t before = tc.row + (tc.header ? 1 : 0);  // rows ahead of the faulty one
  size_t offset = 0;
  for (size_t r = 0; r < before; ++r) offset = text.find('\n', offset) + 1;
  const ReadingRules rules = ReadingRules::make(false, tc.header, 0, "");

  RowReader reader(path, ',', {}, rules);
  reader.setFormats(MISFIT_FORMATS, NA);
  std::vector<RowReader::Row> batch;
  size_t read = 0;
  while (reader.nextBatch(BATCH, batch)) read += batch.size();
  EXPECT_EQ(read, before);
  ASSERT_TRUE(reader.misfit());
  EXPECT_EQ(reader.misfit()->offset, static_cast<int64_t>(offset));
  EXPECT_EQ(reader.misfit()->column, tc.column);
  EXPECT_EQ(reader.misfit()->text, tc.shown);
  EXPECT_FALSE(reader.nextBatch(BATCH, batch));

  for (const auto encoding : ENCODINGS) {
    RowEncoder encoder(path, ',', NA, encoding, false, {}, rules);
    encoder.setFormats(MISFIT_FORMATS);
    std::string out;
    std::vector<int64_t> offsets;
    size_t encoded = 0;
    while (const size_t n = encoder.encode(BATCH, out, offsets)) encoded += n;
    EXPECT_EQ(encoded, tc.row);
    EXPECT_EQ(encoder.fault(), RowEncoder::Fault::MISFIT);
    EXPECT_EQ(encoder.faultRow(), static_cast<int64_t>(tc.row) + 1);
    EXPECT_EQ(encoder.faultColumn(), tc.column);
    ASSERT_TRUE(encoder.misfit());
    EXPECT_EQ(encoder.misfit()->offset, static_cast<int64_t>(offset));
    EXPECT_EQ(encoder.misfit()->column, tc.column);
    EXPECT_EQ(encoder.misfit()->text, tc.shown);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Misfits, ::testing::ValuesIn(misfitCases()),
                         engine_test::CaseName());

}  // namespace
