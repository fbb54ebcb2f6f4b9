// libFuzzer target for the decoding input stream fed through the tokenizer.
// The body is stored compressed, or as the one member of a zip archive (or as
// it is, so that the fuzzer mutates compressed streams and archives
// themselves), cut short on request, and read back through an InputSource
// with an encoding; stored bytes that open as a zip archive are read as its
// member. A stream the harness compressed whole must
// give the tokens of its body decoded in one go; any other stream must give
// tokens or an InputError, never a crash, a hang or another error. The row
// reader, with reading settings from byte 1, gives the rows those settings
// keep of the decoded body, or an InputError alike.
//
// The fuzz build gives the pipeline blocks of a few dozen bytes, so that
// characters and compressed blocks straddle every buffer edge.
//
// Input layout: byte 0 chooses the storage (bits 0-2) and the encoding
// (bits 3-5); bit 6 of byte 0: byte 1 says where to cut the stored bytes;
// bit 7: decompression off. Byte 1 also sets the row reader's reading:
// bit 0 skips blank lines, bit 1 skips `#` comments, bits 2-3 the preamble
// lines. Then the body. The stored bytes are also sniffed, for a head of up to
// byte 1 times 8 bytes of decompressed text: as UTF-8 it is at most
// MAX_UTF8_GROWTH times that, and when the asked encoding is the one read by
// and the body decodes, it begins the decoded body.
#include <iconv.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "compressors.h"
#include "csv/parser.h"
#include "csv_model.h"
#include "input_source.h"
#include "reading_rules.h"
#include "row_reader.h"
#include "sniff.h"

namespace harness {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

enum Storage { RAW, GZIP, GZIP_MEMBERS, ZSTD_FRAMES, BZIP2, XZ, ZIP, STORAGES };

const std::string MEMBER = "body.csv";

std::string store(Storage how, const std::string& body) {
  namespace cz = compressors;
  switch (how) {
    case GZIP:
      return cz::gzipMember(body, 1);
    case GZIP_MEMBERS:
      return cz::gzipMembers(body, 37);
    case ZSTD_FRAMES:
      return cz::zstdFrames(body, 53);
    case BZIP2:
      return cz::bzip2(body, 1);
    case XZ:
      return cz::xz(body, 0);
    case ZIP:
      return cz::zipArchive({{MEMBER, body}});
    default:
      return body;
  }
}

const char* const ENCODINGS[8] = {"",          "CP1252", "UTF-16", "UTF-16LE",
                                  "SHIFT_JIS", "GBK",    "UTF-32", "ISO-2022-JP"};

// The body decoded in one go, a leading byte-order mark dropped; false
// when it does not decode.
bool decodeWhole(const std::string& body, const std::string& encoding, std::string& out) {
  if (encoding.empty()) {
    out = body;
    return true;
  }
  iconv_t cd = iconv_open("UTF-8", encoding.c_str());
  check(cd != reinterpret_cast<iconv_t>(-1));
  std::string buffer(body.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(body.data());
  size_t inLeft = body.size();
  char* at = buffer.data();
  size_t outLeft = buffer.size();
  const bool ok = iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &at, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  out.assign(buffer.data(), static_cast<size_t>(at - buffer.data()));
  if (out.compare(0, 3, "\xEF\xBB\xBF") == 0) out.erase(0, 3);
  return ok;
}

// The tokens of the file through the input source; false on an InputError.
bool readTokens(const std::string& path, const InputSource::Settings& settings,
                std::vector<csv_model::Token>& tokens) {
  try {
    InputSource source(path, settings);
    csv::CsvParser parser(source.stream());
    for (;;) {
      const csv::Field f = parser.next_field();
      if (f.type == csv::FieldType::DATA) {
        tokens.push_back({csv_model::Kind::DATA, *f.data});
      } else {
        tokens.push_back({f.type == csv::FieldType::ROW_END ? csv_model::Kind::ROW_END
                                                            : csv_model::Kind::CSV_END,
                          ""});
        if (f.type == csv::FieldType::CSV_END) return true;
      }
    }
  } catch (const InputError&) {
    return false;
  }
}

csv_model::Reading readingOf(uint8_t bits) {
  return {(bits & 1) != 0, true, static_cast<uint64_t>((bits >> 2) & 3), (bits & 2) ? '#' : '\0'};
}

// The rows the row reader hands out; false on an InputError.
bool readRows(const std::string& path, const InputSource::Settings& settings,
              const csv_model::Reading& reading, std::vector<csv_model::Row>& rows) {
  try {
    const ReadingRules rules =
        ReadingRules::make(reading.skipBlankLines, reading.header, reading.skipLines,
                           reading.comment ? std::string(1, reading.comment) : std::string());
    RowReader reader(path, ',', settings, rules);
    std::vector<RowReader::Row> batch;
    while (reader.nextBatch(3, batch))
      for (auto& row : batch) rows.push_back(std::move(row.fields));
    return true;
  } catch (const InputError&) {
    return false;
  }
}

std::string scratchFile() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/fuzz_input." + std::to_string(getpid());
}

// UTF-8 bytes per byte of any of ENCODINGS, at most.
constexpr size_t MAX_UTF8_GROWTH = 3;

// Sniffs the stored bytes; checks the head against the body decoded whole
// (`text`, when `decodes`).
void checkSniff(const std::string& stored, const std::string& encoding, size_t wanted, bool decodes,
                const std::string& text) {
  Sniff found;
  try {
    found = sniff(stored, true, SniffRequest{encoding, {}, wanted, true, "fuzz"});
  } catch (const std::invalid_argument&) {
    return;  // a byte order mark that contradicts the encoding asked for
  }
  check(found.text.size() <= wanted * MAX_UTF8_GROWTH);
  const bool asAsked = found.encoding == encoding && !found.needsMore;
  // Read as UTF-8, a byte order mark is dropped from the head but kept in `text`.
  const size_t bom = encoding.empty() && text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  if (asAsked && decodes) check(text.compare(bom, found.text.size(), found.text) == 0);
}

}  // namespace harness

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace harness;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const auto how = static_cast<Storage>((flags & 7) % STORAGES);
  const std::string encoding = ENCODINGS[(flags >> 3) & 7];
  const bool cut = flags & 0x40;
  const bool decompress = !(flags & 0x80);
  const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);

  std::string stored = store(how, body);
  if (cut && !stored.empty()) stored.resize(data[1] % stored.size());
  static const std::string path = scratchFile();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(stored.data(), static_cast<std::streamsize>(stored.size()));
  }
  const bool zipped = Decompressor::detect(stored) == Decompressor::Format::ZIP;
  const InputSource::Settings settings{decompress, encoding, zipped ? MEMBER : ""};
  std::vector<csv_model::Token> tokens;
  const bool read = readTokens(path, settings, tokens);
  const csv_model::Reading reading = readingOf(data[1]);
  std::vector<csv_model::Row> rows;
  const bool readAsRows = readRows(path, settings, reading, rows);
  if (how == RAW || cut || !decompress) return 0;
  std::string text;
  const bool decodes = decodeWhole(body, encoding, text);
  if (how != ZIP) checkSniff(stored, encoding, size_t{data[1]} * 8, decodes, text);
  check(read == decodes);
  check(readAsRows == decodes);
  if (read) check(tokens == csv_model::tokenize(text));
  uint64_t blanks = 0, comments = 0;
  if (readAsRows) check(rows == csv_model::keptRows(text, {}, reading, blanks, comments));
  return 0;
}
