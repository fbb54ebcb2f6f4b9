// The decoding input stream under the tokenizer: every compression and
// encoding must give the rows of the plain UTF-8 bytes, and a damaged
// stream an error naming the file, the format and the offset.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <future>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "compressors.h"
#include "csv/parser.h"
#include "csv_model.h"
#include "engine_builders.h"
#include "input_source.h"
#include "transcoder.h"

namespace {

using namespace std::string_literals;
using engine_test::TempDir;
using engine_test::writeRaw;
using Format = Decompressor::Format;
using Rows = std::vector<csv_model::Row>;
namespace cz = compressors;

// Rows of every shape the tokenizer meets: quoted fields holding line ends
// and delimiters, CRLF, empty fields, multi-byte text, a long field.
std::string sampleCsv(size_t rows, unsigned seed = 7) {
  std::mt19937 gen(seed);
  const char* const cells[] = {"42",         "-7.5",        "2024-01-31", "",
                               "NA",         "caf\xC3\xA9", "\"a,b\"",    "\"line\nbreak\"",
                               "\"q\"\"q\"", "\xE8\xA1\xA8"};
  std::string text = "id,name,value,when\n";
  for (size_t r = 0; r < rows; ++r) {
    const size_t width = 1 + gen() % 5;
    for (size_t c = 0; c < width; ++c) {
      if (c) text.push_back(',');
      text += cells[gen() % std::size(cells)];
    }
    if (r % 997 == 0) text += std::string(3000, 'x');
    text += r % 7 == 0 ? "\r\n" : "\n";
  }
  return text;
}

// The text as the tokenizer reads it through an input source.
Rows readRows(const std::string& path, const InputSource::Settings& settings, char delim = ',') {
  InputSource source(path, settings);
  csv::CsvParser parser(source.stream());
  parser.delimiter(delim);
  Rows rows;
  for (const auto& row : parser) rows.push_back(row);
  return rows;
}

csv_model::Settings withDelimiter(char delim) {
  csv_model::Settings s;
  s.delimiter = delim;
  return s;
}

InputSource::Settings decompressing(std::string encoding = "") { return {true, encoding}; }

// The offset a message gives after "at byte ".
uint64_t offsetIn(const std::string& message) {
  const size_t at = message.find("at byte ");
  if (at == std::string::npos) throw std::runtime_error("no offset in: " + message);
  return std::stoull(message.substr(at + 8));
}

std::string message(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(InputSourceDetect, TellsFormatsByTheirFirstBytes) {
  const struct {
    std::string head;
    Format format;
  } cases[] = {
      {"\x1f\x8b\x08\0\0\0\0\0\0\x03"s, Format::GZIP},
      {"\x1f\x8b"s, Format::PLAIN},  // too short for a member
      {"\x28\xb5\x2f\xfd\x24\0"s, Format::ZSTD},
      {"\x5e\x2a\x4d\x18\0\0\0\0"s, Format::ZSTD},  // a skippable frame first
      {"\x60\x2a\x4d\x18\0\0\0\0"s, Format::PLAIN},
      {"\xfd\x37\x7a\x58\x5a\0\0\x04"s, Format::XZ},
      {"BZh91AY&SY"s, Format::BZIP2},
      {"BZh1\x17\x72\x45\x38\x50\x90"s, Format::BZIP2},  // a stream without blocks
      {"BZh1,BZh2\n"s, Format::PLAIN},                   // ASCII that starts alike
      {"BZh01AY&SY"s, Format::PLAIN},
      {"BZh9"s, Format::PLAIN},
      {"id,name\n"s, Format::PLAIN},
      {""s, Format::PLAIN},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Decompressor::detect(c.head), c.format)
        << "head " << ::testing::PrintToString(c.head);
}

struct RoundTrip {
  const char* name;
  std::function<std::string(const std::string&)> encode;
  Format format;
};

class InputSourceRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// About 3 MB: more than the ring of blocks, many tokenizer blocks, and
// many members or frames where the encoder splits.
TEST_P(InputSourceRoundTrip, GivesTheRowsOfThePlainBytes) {
  const RoundTrip& p = GetParam();
  TempDir dir;
  const std::string text = sampleCsv(120000);
  const std::string stored = p.encode(text);
  const std::string path = writeRaw(dir.file("input"), stored);
  InputSource source(path, decompressing());
  csv::CsvParser parser(source.stream());
  Rows rows;
  for (const auto& row : parser) rows.push_back(row);
  EXPECT_EQ(rows, csv_model::rows(text));
  EXPECT_EQ(source.compression(), p.format);
  EXPECT_EQ(source.bytesRead(), stored.size());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, InputSourceRoundTrip,
    ::testing::Values(
        RoundTrip{"plain", [](const std::string& t) { return t; }, Format::PLAIN},
        RoundTrip{"gzip", [](const std::string& t) { return cz::gzipMember(t); }, Format::GZIP},
        RoundTrip{"gzip_members", [](const std::string& t) { return cz::gzipMembers(t, 10007); },
                  Format::GZIP},
        RoundTrip{"bgzip", [](const std::string& t) { return cz::bgzip(t); }, Format::GZIP},
        RoundTrip{"zstd", [](const std::string& t) { return cz::zstdFrame(t); }, Format::ZSTD},
        RoundTrip{"zstd_frames",
                  [](const std::string& t) {
                    return cz::zstdSkippable() + cz::zstdFrames(t, 50021) + cz::zstdSkippable();
                  },
                  Format::ZSTD},
        RoundTrip{"bzip2_blocks", [](const std::string& t) { return cz::bzip2(t, 1); },
                  Format::BZIP2},
        RoundTrip{"bzip2_streams",
                  [](const std::string& t) {
                    return cz::bzip2(t.substr(0, 1000001)) + cz::bzip2(t.substr(1000001));
                  },
                  Format::BZIP2},
        RoundTrip{"xz", [](const std::string& t) { return cz::xz(t, 1); }, Format::XZ},
        RoundTrip{"xz_streams",
                  [](const std::string& t) {
                    return cz::xz(t.substr(0, 777777), 1) + cz::xz(t.substr(777777), 1);
                  },
                  Format::XZ}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

// Without decompression a compressed file is read as the bytes it holds,
// and with it, a plain file is plain whatever its name or first letters.
TEST(InputSourcePlain, ReadsBytesAsStoredUnlessAskedAndCompressed) {
  TempDir dir;
  const std::string text = sampleCsv(2000);
  const std::string gz = writeRaw(dir.file("data.csv"), cz::gzipMember(text));
  const std::string stored = engine_test::readFile(gz);
  InputSource raw(gz, InputSource::Settings{});
  std::string got(std::istreambuf_iterator<char>(raw.stream()), {});
  EXPECT_EQ(got, stored);
  EXPECT_EQ(raw.compression(), Format::PLAIN);

  for (const std::string& plain : {std::string("BZh9,a\n1,2\n"), "\x1f\n2\n"s, text}) {
    const std::string path = writeRaw(dir.file("plain.csv.gz"), plain);
    EXPECT_EQ(readRows(path, decompressing()), csv_model::rows(plain));
  }
}

struct Damage {
  const char* name;
  std::function<std::string(const std::string&)> make;
  const char* expected;  // the start of the message after the path
  bool truncated;        // the offset is then the stored size
};

class InputSourceDamage : public ::testing::TestWithParam<Damage> {};

std::string cutHalf(const std::string& s) { return s.substr(0, s.size() / 2); }
std::string flipMiddle(std::string s) {
  for (size_t i = s.size() / 2; i < s.size() / 2 + 8; ++i) s[i] = static_cast<char>(~s[i]);
  return s;
}

// Every damaged stream is an error after the rows before it, never a short
// count; its offset lies in the stored file.
TEST_P(InputSourceDamage, IsAnErrorNamingFileFormatAndOffset) {
  const Damage& p = GetParam();
  TempDir dir;
  const std::string text = sampleCsv(40000, 3);
  const std::string stored = p.make(text);
  const std::string path = writeRaw(dir.file("broken.csv"), stored);
  const std::string what = message([&] { readRows(path, decompressing()); });
  EXPECT_EQ(what.rfind(path + ": " + p.expected, 0), 0u) << what;
  const uint64_t offset = offsetIn(what);
  if (p.truncated)
    EXPECT_EQ(offset, stored.size()) << what;
  else
    EXPECT_LE(offset, stored.size()) << what;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, InputSourceDamage,
    ::testing::Values(
        Damage{"gzip_truncated", [](const std::string& t) { return cutHalf(cz::gzipMember(t)); },
               "truncated gzip stream: it ends at byte", true},
        Damage{"gzip_corrupt", [](const std::string& t) { return flipMiddle(cz::gzipMember(t)); },
               "corrupt gzip stream at byte", false},
        Damage{"gzip_trailing_garbage",
               [](const std::string& t) { return cz::gzipMember(t) + "not gzip"; },
               "corrupt gzip stream at byte", false},
        Damage{"gzip_second_member_truncated",
               [](const std::string& t) {
                 return cz::gzipMember(t) + cz::gzipMember(t).substr(0, 100);
               },
               "truncated gzip stream", true},
        Damage{"zstd_truncated", [](const std::string& t) { return cutHalf(cz::zstdFrame(t)); },
               "truncated zstd stream", true},
        Damage{"zstd_corrupt", [](const std::string& t) { return flipMiddle(cz::zstdFrame(t)); },
               "corrupt zstd stream at byte", false},
        Damage{"bzip2_truncated", [](const std::string& t) { return cutHalf(cz::bzip2(t)); },
               "truncated bzip2 stream", true},
        Damage{"bzip2_corrupt", [](const std::string& t) { return flipMiddle(cz::bzip2(t)); },
               "corrupt bzip2 stream at byte", false},
        Damage{"xz_truncated", [](const std::string& t) { return cutHalf(cz::xz(t)); },
               "truncated xz stream", true},
        Damage{"xz_corrupt", [](const std::string& t) { return flipMiddle(cz::xz(t)); },
               "corrupt xz stream at byte", false}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// Code points as UTF-16 with a byte-order mark first.
std::string utf16(const std::u32string& text, bool bigEndian) {
  std::string out;
  auto unit = [&](uint32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xff);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  unit(0xFEFF);
  for (const char32_t cp : text) {
    if (cp < 0x10000) {
      unit(cp);
    } else {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3ff));
    }
  }
  return out;
}

struct Encoded {
  const char* name;
  std::string encoding;
  std::string stored;
  std::string utf8;
  char delimiter;
};

class InputSourceTranscoding : public ::testing::TestWithParam<Encoded> {};

// The rows equal those of the UTF-8 file, also when the text spans many
// blocks (characters then straddle every buffer edge) and lies under gzip.
TEST_P(InputSourceTranscoding, GivesTheRowsOfTheUtf8File) {
  const Encoded& p = GetParam();
  TempDir dir;
  const auto expected = [&](size_t copies) {
    std::string text;
    for (size_t i = 0; i < copies; ++i) text += p.utf8;
    return csv_model::rows(text, withDelimiter(p.delimiter));
  };
  const std::string once = writeRaw(dir.file("once.csv"), p.stored);
  EXPECT_EQ(readRows(once, {false, p.encoding}, p.delimiter), expected(1));

  // A mark opens the file once: the copies after the first go without it.
  const bool marked = p.encoding.rfind("UTF-16", 0) == 0;
  const std::string body = marked ? p.stored.substr(2) : p.stored;
  std::string many = p.stored;
  const size_t copies = 1 + (3u << 20) / p.stored.size();
  for (size_t i = 1; i < copies; ++i) many += body;
  const std::string gz = writeRaw(dir.file("many.csv.gz"), cz::gzipMember(many));
  EXPECT_EQ(readRows(gz, decompressing(p.encoding), p.delimiter), expected(copies));
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, InputSourceTranscoding,
    ::testing::Values(Encoded{"cp1252", "CP1252",
                              "caf\xE9,\x80"
                              "5,\x93q\x94\nna\xEFve,x,\x85\n",
                              "caf\xC3\xA9,\xE2\x82\xAC"
                              "5,\xE2\x80\x9Cq\xE2\x80\x9D\nna\xC3\xAFve,x,\xE2\x80\xA6\n",
                              ','},
                      Encoded{"latin1", "ISO-8859-1", "\xA9;\xFF\n\"a;\xE9\";b\n",
                              "\xC2\xA9;\xC3\xBF\n\"a;\xC3\xA9\";b\n", ';'},
                      Encoded{"utf16le", "UTF-16", utf16(U"n\u00e9,\u8868\n1,\U0001F600\n", false),
                              "n\xC3\xA9,\xE8\xA1\xA8\n1,\xF0\x9F\x98\x80\n", ','},
                      Encoded{"utf16be", "UTF-16", utf16(U"n\u00e9,\u8868\n1,\U0001F600\n", true),
                              "n\xC3\xA9,\xE8\xA1\xA8\n1,\xF0\x9F\x98\x80\n", ','},
                      // The mark of an explicit byte order is dropped all the same.
                      Encoded{"utf16le_explicit", "UTF-16LE", utf16(U"a,b\n\u00e9,2\n", false),
                              "a,b\n\xC3\xA9,2\n", ','},
                      // ポ is 83 7C and 表 is 95 5C: second bytes that read as "|" and "\".
                      Encoded{"shift_jis_pipe", "SHIFT_JIS",
                              "\x83\x7C|\x95\x5C\n\x83\x7C\x83\x7C|x\n",
                              "\xE3\x83\x9D|\xE8\xA1\xA8\n\xE3\x83\x9D\xE3\x83\x9D|x\n", '|'}),
    [](const ::testing::TestParamInfo<Encoded>& info) { return std::string(info.param.name); });

struct BadText {
  const char* name;
  std::string encoding;
  std::string stored;
  bool gzipped;
  std::string expected;  // the message after the path
};

class InputSourceBadText : public ::testing::TestWithParam<BadText> {};

TEST_P(InputSourceBadText, IsAnErrorNamingTheEncodingAndOffset) {
  const BadText& p = GetParam();
  TempDir dir;
  const std::string stored = p.gzipped ? cz::gzipMember(p.stored) : p.stored;
  const std::string path = writeRaw(dir.file("text.csv"), stored);
  EXPECT_EQ(message([&] { readRows(path, decompressing(p.encoding)); }), path + ": " + p.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, InputSourceBadText,
    ::testing::Values(
        // 0x81 is unassigned in cp1252.
        BadText{"cp1252_unassigned", "CP1252", "a,b\nx,\x81\n", false,
                "bytes that are not valid CP1252 at byte 6"},
        BadText{"sjis_cut", "SHIFT_JIS", "a\n\x83\x7C\x83", false,
                "the input ends inside a SHIFT_JIS character at byte 4"},
        BadText{"utf16_odd", "UTF-16LE", std::string("a\0,\0b\0\n\0c", 9), false,
                "the input ends inside a UTF-16LE character at byte 8"},
        BadText{"gzipped_cp1252", "CP1252", "a,b\n\x81\n", true,
                "bytes that are not valid CP1252 at byte 4 of the decompressed stream"}),
    [](const ::testing::TestParamInfo<BadText>& info) { return std::string(info.param.name); });

TEST(InputSourceEncodings, RefusesWhatIsNotAsciiCompatibleOrUnknown) {
  TempDir dir;
  const std::string path = writeRaw(dir.file("a.csv"), "a,b\n");
  for (const std::string refused : {"IBM037", "UTF-7"}) {
    const std::string what = message([&] {
      InputSource source(path, InputSource::Settings{false, refused});
    });
    EXPECT_NE(what.find("encoding " + refused + " is not ASCII-compatible"), std::string::npos)
        << what;
  }
  EXPECT_NE(message([&] {
              InputSource source(path, InputSource::Settings{false, "NO-SUCH"});
            }).find("unknown encoding: NO-SUCH"),
            std::string::npos);
  for (const std::string accepted : {"UTF-16", "UTF-32BE", "SHIFT_JIS", "GBK", "BIG5", "CP1252"})
    EXPECT_EQ(message([&] {
                InputSource source(path, InputSource::Settings{false, accepted});
              }),
              "(no error)")
        << accepted;
  for (const std::string utf8 : {"", "utf-8", "UTF8", "Utf_8"})
    EXPECT_TRUE(Transcoder::isUtf8(utf8));
  EXPECT_FALSE(Transcoder::isUtf8("UTF-16"));
}

// A named pipe is read as it comes, and its compression told all the same.
TEST(InputSourcePipe, DecompressesWhatAPipeDelivers) {
  TempDir dir;
  const std::string text = sampleCsv(30000, 11);
  const std::string path = dir.file("fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::thread writer([&] { writeRaw(path, cz::zstdFrames(text, 4099)); });
  const Rows rows = readRows(path, decompressing());
  writer.join();
  EXPECT_EQ(rows, csv_model::rows(text));
}

// A reader that stops early leaves a thread that stops too, whether it was
// waiting for room in the ring or for a pipe that has nothing to say.
TEST(InputSourceStop, EndsTheThreadWhereverItWaits) {
  TempDir dir;
  const std::string lines = cz::gzipMember(std::string(64u << 20, '\n'));
  const std::string path = writeRaw(dir.file("lines.gz"), lines);
  {
    InputSource source(path, decompressing());
    char some[10];
    source.stream().read(some, sizeof some);
    EXPECT_EQ(std::string(some, sizeof some), std::string(10, '\n'));
  }
  const std::string fifo = dir.file("silent");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::promise<void> readerGone;
  std::thread writer([&] {
    std::ofstream out(fifo, std::ios::binary);
    out << "id,x,y,z,u,v,w\n" << std::flush;
    // Holds the pipe open, silent, until the reader is gone.
    readerGone.get_future().wait();
  });
  {
    InputSource source(fifo, InputSource::Settings{});
    char some[3];
    source.stream().read(some, sizeof some);
    EXPECT_EQ(std::string(some, 3), "id,");
  }
  readerGone.set_value();
  writer.join();
}

}  // namespace
