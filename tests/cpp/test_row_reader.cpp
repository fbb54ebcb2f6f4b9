// The rows handed out for loading are the rows of the model tokenizer and as
// many as the pass counts (header first), across block edges, quoted line
// ends, blank lines and every terminator; compressed and transcoded files
// and the reading settings give the rows and line numbers of the plain file.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "compressors.h"
#include "csv_model.h"
#include "engine_builders.h"
#include "inf.h"
#include "reference_pass.h"
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

// The encodings as documented, field by field: the oracle for the encoder.
const std::unordered_set<std::string> ENCODER_NA = {"", "NA", "null", std::string(70, 'n')};
constexpr size_t ENCODER_WIDTH = 3;

std::string quotedCsv(const std::string& field) {
  std::string quoted = "\"";
  for (const char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string modelCanonical(const std::string& field) {
  if (ENCODER_NA.count(field)) return "";
  if (!field.empty() && field.find_first_of(",\"\r\n") == std::string::npos) return field;
  return quotedCsv(field);
}

std::string modelCopy(const std::string& field) {
  if (ENCODER_NA.count(field)) return "\\N";
  std::string escaped;
  for (const char c : field) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string modelRow(const std::vector<std::string>& fields, int64_t number, bool canonical) {
  std::string row = canonical ? std::to_string(number) + "," : "";
  for (size_t c = 0; c < ENCODER_WIDTH; ++c) {
    if (c > 0) row += canonical ? ',' : '\t';
    const std::string field = c < fields.size() ? fields[c] : "NA";
    row += canonical ? modelCanonical(field) : modelCopy(field);
  }
  return row + "\n";
}

std::string csvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t c = 0; c < fields.size(); ++c) {
    if (c > 0) line += ',';
    line += quotedCsv(fields[c]);
  }
  return line + "\n";
}

TEST(RowEncoder, EncodesEveryFieldAsDocumentedAndStopsBeforeAFaultyRow) {
  const std::vector<std::string> pieces = {
      "a",  "12", ",",    "\n",   "\r",       "\t",           "\\",  "\\N",
      "\"", "NA", "null", "\x01", "\xc3\xa9", "\xe2\x82\xac", "\\.", std::string(70, 'n'),
      "x y"};
  std::mt19937 rng(23);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  TempDir dir;
  for (int round = 0; round < 40; ++round) {
    std::vector<std::vector<std::string>> rows(1 + rng() % 300);
    std::string text = csvLine({"h1", "h2", "h3"});
    for (auto& row : rows) {
      row.resize(1 + rng() % (ENCODER_WIDTH + 1));
      for (auto& field : row)
        for (size_t k = rng() % 3; k > 0; --k) field += pieces[pick(rng)];
    }
    // Every other round, one field that cannot be stored.
    size_t bad = rows.size();
    size_t badColumn = 0;
    const bool nul = rng() % 2 == 0;
    if (round % 2 == 1) {
      bad = rng() % rows.size();
      badColumn = rng() % std::min(rows[bad].size(), ENCODER_WIDTH);
      rows[bad][badColumn] += nul ? std::string(1, '\0') : std::string("\xff");
    }
    for (const auto& row : rows) text += csvLine(row);
    const std::string path = engine_test::writeRaw(dir.file("m.csv"), text);
    for (const bool ignoreExtra : {true, false}) {
      // The encoding ends before the first faulty row: the bad field, or a long row when
      // extra fields are not dropped (a bad field comes first within its row).
      size_t faulty = 0;
      while (faulty < rows.size() && faulty != bad &&
             (ignoreExtra || rows[faulty].size() <= ENCODER_WIDTH))
        ++faulty;
      for (const bool canonical : {true, false}) {
        const auto format =
            canonical ? RowEncoder::Format::CANONICAL_CSV : RowEncoder::Format::POSTGRES_TEXT;
        RowEncoder encoder(path, ',', ENCODER_NA, format, ignoreExtra);
        std::string all, batch;
        std::vector<int64_t> offsets;
        size_t done = 0;
        for (size_t n; (n = encoder.encode(5, batch, offsets)) > 0; done += n) {
          all += batch;
          size_t longest = 0;
          for (size_t r = done; r < done + n; ++r)
            longest =
                std::max(longest, modelRow(rows[r], static_cast<int64_t>(r) + 1, canonical).size());
          EXPECT_EQ(encoder.longestRow(), longest) << "round " << round;
        }
        std::string want;
        for (size_t r = 0; r < faulty; ++r)
          want += modelRow(rows[r], static_cast<int64_t>(r) + 1, canonical);
        EXPECT_EQ(all, want) << "round " << round;
        if (faulty == rows.size()) {
          EXPECT_EQ(encoder.fault(), RowEncoder::Fault::NONE);
          continue;
        }
        const bool longRow = faulty != bad;
        const auto kind = longRow ? RowEncoder::Fault::LONG_ROW
                          : nul   ? RowEncoder::Fault::NUL_BYTE
                                  : RowEncoder::Fault::NOT_UTF8;
        EXPECT_EQ(encoder.fault(), kind) << "round " << round;
        EXPECT_EQ(encoder.faultRow(), static_cast<int64_t>(faulty) + 1);
        EXPECT_EQ(encoder.faultColumn(), longRow ? ENCODER_WIDTH : badColumn);
      }
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

// UTF-8 text in another encoding, as a spreadsheet would save it.
std::string encodeAs(const std::string& utf8, const std::string& encoding) {
  iconv_t cd = iconv_open(encoding.c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no iconv for " + encoding);
  std::string out(utf8.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* at = out.data();
  size_t outLeft = out.size();
  const bool ok = iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) throw std::runtime_error("not encodable in " + encoding);
  out.resize(static_cast<size_t>(at - out.data()));
  return out;
}

// How a file is stored, and the encoding that reads it back.
struct Storage {
  std::string name;
  std::function<std::string(const std::string&)> store;
  std::string encoding;
};

namespace cz = compressors;

const Storage kStorages[] = {
    {"Plain", [](const std::string& t) { return t; }, ""},
    {"Gzip", [](const std::string& t) { return cz::gzipMember(t); }, ""},
    {"GzipMembers", [](const std::string& t) { return cz::gzipMembers(t, 97); }, ""},
    {"ZstdFrames", [](const std::string& t) { return cz::zstdFrames(t, 131); }, ""},
    {"Bzip2", [](const std::string& t) { return cz::bzip2(t, 1); }, ""},
    {"Xz", [](const std::string& t) { return cz::xz(t); }, ""},
    {"Cp1252", [](const std::string& t) { return encodeAs(t, "CP1252"); }, "CP1252"},
    {"Utf16LeBom", [](const std::string& t) { return "\xFF\xFE" + encodeAs(t, "UTF-16LE"); },
     "UTF-16"},
    {"Cp1252Gzip", [](const std::string& t) { return cz::gzipMember(encodeAs(t, "CP1252")); },
     "CP1252"},
};

struct RowsCase {
  std::string name;
  std::string text;  // UTF-8, characters cp1252 holds too
  reference::Reading reading;
};

reference::Reading reading(bool blank, bool header, uint64_t skip, char comment) {
  return {blank, header, skip, comment};
}

// A text long enough to cross many of the pipeline's blocks and the
// parser's buffers, with every reading setting at work.
std::string longText() {
  std::string text = "Report \"Q3\r\n#note\ncaf\xC3\xA9,\"na\xC3\xAFve\",n\n";
  for (int i = 0; i < 40000; ++i) {
    text += std::to_string(i) + (i % 7 ? ",\xC3\xA9t\xC3\xA9," : ",\"a\r\nb\",") + "x\n";
    if (i % 1000 == 0) text += "\n#c,1\r\n\r\n";
  }
  return text;
}

const RowsCase kRowsCases[] = {
    {"Defaults", "a,b\n1,\xC3\xA9\n\n2,\"x\ny\"\r\n", {}},
    {"BlankLines", "\n\r\na,b\n1,x\n\n\r\n2,y\r\r", reading(true, true, 0, 0)},
    {"Preamble", "Report \"Q3\r\ntitle\na,b\n1,\"x\"\n", reading(false, true, 2, 0)},
    {"Comments", "#c1\na,b\n1,2\n#x,\"y\",z\n\"#q\",3\n # not\n", reading(false, true, 0, '#')},
    {"NoHeader", "1,1\n2,x,\xC3\xA9\n1\n", reading(false, false, 0, 0)},
    {"NoHeaderAfterSkippedRows", "title\n#c\n\n7,a\n\n8,b\r\n#9,z\n", reading(true, false, 1, '#')},
    {"Long", longText(), reading(true, true, 1, '#')},
};

void PrintTo(const RowsCase& tc, std::ostream* os) { *os << tc.name; }
void PrintTo(const Storage& storage, std::ostream* os) { *os << storage.name; }

using RowsParam = std::tuple<RowsCase, Storage>;
class ReadingRows : public engine_test::EngineParamTest<RowsParam> {};

InputSource::Settings decoding(const Storage& storage) { return {true, storage.encoding}; }

ReadingRules rulesOf(const reference::Reading& r) {
  return ReadingRules::make(r.skipBlankLines, r.header, r.skipLines,
                            r.comment ? std::string(1, r.comment) : std::string());
}

// The line an offset of the UTF-8 text is on.
uint64_t lineOf(const std::string& text, uint64_t offset) {
  uint64_t line = 1;
  for (uint64_t i = 0; i < offset; ++i)
    if (text[i] == '\n' || (text[i] == '\r' && text[i + 1] != '\n')) ++line;
  return line;
}

// The reader's rows are the reference's, the encoder encodes as many as the
// pass counts with the same widths, and each row's offset is where the row
// starts in the decoded text, on the line the decoded stream says.
TEST_P(ReadingRows, RowsAreThePassRowsAsStored) {
  const auto& [tc, storage] = GetParam();
  const std::string path = raw("in.csv", storage.store(tc.text));
  uint64_t blanks = 0, comments = 0;
  const auto want = reference::keptRows(tc.text, {}, tc.reading, blanks, comments);

  RowReader reader(path, ',', decoding(storage), rulesOf(tc.reading));
  std::vector<RowReader::Row> batch;
  std::vector<csv_model::Row> got;
  std::vector<int64_t> offsets;
  while (reader.nextBatch(97, batch))
    for (auto& row : batch) {
      got.push_back(std::move(row.fields));
      offsets.push_back(row.offset);
    }
  EXPECT_EQ(got, want);

  Inf inf = engine_test::InfBuilder().file(path).build();
  inf.setInput(true, storage.encoding);
  inf.setReading(tc.reading.skipBlankLines, tc.reading.header, tc.reading.skipLines,
                 tc.reading.comment ? std::string(1, tc.reading.comment) : std::string());
  inf.setExtras(0);
  inf.inferTypes();

  RowEncoder encoder(path, ',', {"NA"}, RowEncoder::Format::POSTGRES_TEXT, true, decoding(storage),
                     rulesOf(tc.reading));
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(encoder.width(), want[0].size());
  EXPECT_EQ(encoder.header(), tc.reading.header ? want[0] : csv_model::Row{});
  std::string encoded;
  std::vector<int64_t> starts;
  std::vector<uint64_t> widths(encoder.width() + 2, 0);
  uint64_t rows = 0;
  while (const size_t n = encoder.encode(1000, encoded, starts)) {
    rows += n;
    size_t at = 0;
    for (size_t r = 0; r < n; ++r) {
      const size_t end = encoded.find('\n', at);
      ++widths[std::count(encoded.begin() + at, encoded.begin() + end, '\t') + 1];
      at = end + 1;
    }
  }
  EXPECT_EQ(encoder.fault(), RowEncoder::Fault::NONE);
  EXPECT_EQ(rows, inf.getNumRows());
  // Padded to the width: every encoded row is as wide as the table.
  EXPECT_EQ(widths[encoder.width()], rows);

  // Row widths as the pass saw them, from the reader's rows.
  std::vector<uint64_t> seen(want[0].size() + 2, 0);
  for (size_t r = tc.reading.header ? 1 : 0; r < got.size(); ++r)
    ++seen[std::min(got[r].size(), want[0].size() + 1)];
  EXPECT_EQ(seen, inf.getExtras().rowWidths);

  for (size_t r = 0; r < offsets.size(); r += 1 + offsets.size() / 50) {
    const uint64_t at = static_cast<uint64_t>(offsets[r]);
    EXPECT_EQ(RowReader::lineAt(path, decoding(storage), at), lineOf(tc.text, at)) << r;
    ASSERT_LE(at, tc.text.size());
    EXPECT_EQ(csv_model::rows(tc.text.substr(at)).front(), got[r]) << "row " << r;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadingRows,
                         ::testing::Combine(::testing::ValuesIn(kRowsCases),
                                            ::testing::ValuesIn(kStorages)),
                         [](const auto& info) {
                           return std::get<0>(info.param).name + std::get<1>(info.param).name;
                         });

struct BrokenCase {
  std::string name;
  std::function<std::string(const std::string&)> store;
  std::string says;
};

const BrokenCase kBroken[] = {
    {"TruncatedGzip",
     [](const std::string& t) {
       const std::string z = cz::gzipMember(t);
       return z.substr(0, z.size() / 2);
     },
     "truncated gzip"},
    {"CorruptZstd",
     [](const std::string& t) {
       std::string z = cz::zstdFrame(t);
       for (size_t i = z.size() / 2; i < z.size() / 2 + 8; ++i) z[i] = static_cast<char>(~z[i]);
       return z;
     },
     "zstd"},
    {"TruncatedXz",
     [](const std::string& t) {
       const std::string z = cz::xz(t);
       return z.substr(0, z.size() - 20);
     },
     "xz"},
};

class BrokenInput : public engine_test::EngineParamTest<BrokenCase> {};

// A broken stream is an InputError naming the file, from the reader and the
// encoder alike, never a short count.
TEST_P(BrokenInput, FailsNamingTheFile) {
  const BrokenCase& tc = GetParam();
  const std::string path = raw("broken.csv.z", tc.store(longText()));
  auto readAll = [&] {
    RowReader reader(path, ',', {true, ""});
    std::vector<RowReader::Row> rows;
    while (reader.nextBatch(1000, rows)) {
    }
  };
  auto encodeAll = [&] {
    RowEncoder encoder(path, ',', {}, RowEncoder::Format::CANONICAL_CSV, true, {true, ""});
    std::string out;
    std::vector<int64_t> starts;
    while (encoder.encode(1000, out, starts) > 0) {
    }
  };
  for (const auto& read : {std::function<void()>(readAll), std::function<void()>(encodeAll)}) {
    try {
      read();
      ADD_FAILURE() << "no error";
    } catch (const InputError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(path), std::string::npos) << message;
      EXPECT_NE(message.find(tc.says), std::string::npos) << message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, BrokenInput, ::testing::ValuesIn(kBroken), engine_test::CaseName());

}  // namespace
