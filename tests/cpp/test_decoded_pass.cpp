// A pass over compressed and transcoded input: the counts of the plain UTF-8
// file, one core, and the input it read reported.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "compressors.h"
#include "engine_builders.h"
#include "inf.h"

namespace {

using namespace engine_test;
namespace cz = compressors;

// About 700 KB, past the size below which a pass is not split; latin
// letters in the names, so that a single-byte encoding differs from UTF-8.
std::string sampleText() {
  std::string text = "id,caf\xC3\xA9,value\n";
  for (int i = 0; i < 50000; ++i)
    text += std::to_string(i) + (i % 3 ? ",na\xC3\xAFve," : ",NA,") + std::to_string(i * 7) + "\n";
  return text;
}

// Latin-1 of the sample: each two-byte UTF-8 letter as its one byte.
std::string latin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out.push_back(utf8[i]);
    } else {
      out.push_back(static_cast<char>(((c & 0x1f) << 6) | (utf8[i + 1] & 0x3f)));
      ++i;
    }
  }
  return out;
}

struct DecodedCase {
  std::string name;
  std::function<std::string(const std::string&)> store;
  bool decompress;
  std::string encoding;
  std::string compression;
  std::string splitReason;
};

class DecodedPass : public EngineParamTest<DecodedCase> {};

TEST_P(DecodedPass, CountsAsThePlainFileOnOneCoreWhenDecoded) {
  const DecodedCase& tc = GetParam();
  const std::string text = sampleText();
  const Inf plain = runPass(InfBuilder().file(raw("plain.csv", text)));
  const std::string stored = tc.store(text);
  const std::string path = raw("stored.csv", stored);

  for (const bool split : {false, true}) {
    Inf inf = InfBuilder().file(path).build();
    inf.setInput(tc.decompress, tc.encoding);
    if (split)
      EXPECT_EQ(inf.inferSplit(2), tc.splitReason);
    else
      inf.inferTypes();
    EXPECT_EQ(inf.getColNames(), plain.getColNames());
    EXPECT_EQ(inf.getColTypeCandidates(), plain.getColTypeCandidates());
    EXPECT_EQ(inf.getNumRows(), plain.getNumRows());
    if (!split) {
      EXPECT_EQ(inf.getInputInfo().compression, tc.compression);
      EXPECT_EQ(inf.getInputInfo().bytesRead, stored.size());
      EXPECT_EQ(inf.getNumCols(), 3);
      EXPECT_EQ(inf.peekHeader().names, plain.getColNames());
    }
  }
}

const DecodedCase kDecoded[] = {
    {"PlainReadAsStored", [](const std::string& t) { return t; }, true, "", "plain", ""},
    {"Utf8Named", [](const std::string& t) { return t; }, false, "UTF-8", "plain", ""},
    {"Gzip", [](const std::string& t) { return cz::gzipMember(t); }, true, "", "gzip",
     "the input is compressed"},
    {"Zstd", [](const std::string& t) { return cz::zstdFrames(t, 100000); }, true, "", "zstd",
     "the input is compressed"},
    {"Bzip2", [](const std::string& t) { return cz::bzip2(t); }, true, "", "bzip2",
     "the input is compressed"},
    {"Xz", [](const std::string& t) { return cz::xz(t); }, true, "", "xz",
     "the input is compressed"},
    {"Latin1", latin1, false, "ISO-8859-1", "plain", "the input is transcoded"},
    {"Latin1UnderGzip", [](const std::string& t) { return cz::gzipMember(latin1(t)); }, true,
     "ISO-8859-1", "gzip", "the input is transcoded"},
};

INSTANTIATE_TEST_SUITE_P(Inputs, DecodedPass, ::testing::ValuesIn(kDecoded), CaseName());

// Off by default: a compressed file's bytes reach the tokenizer as stored.
TEST_F(EngineTest, ReadsACompressedFileAsItsBytesUnlessAsked) {
  const std::string text = sampleText();
  const std::string gz = raw("data.csv.gz", cz::gzipMember(text));
  Inf asStored = runPass(InfBuilder().file(gz));
  const Inf copy = runPass(InfBuilder().file(raw("copy.bin", readFile(gz))));
  const Inf plain = runPass(InfBuilder().file(raw("plain.csv", text)));
  EXPECT_EQ(asStored.getColNames(), copy.getColNames());
  EXPECT_NE(asStored.getColNames(), plain.getColNames());
  EXPECT_EQ(asStored.getInputInfo().compression, "plain");
}

// A damaged stream fails the pass with the input's own error, and a byte
// range of a decoded file cannot be read.
TEST_F(EngineTest, DecodingFaultsFailThePass) {
  const std::string text = sampleText();
  const std::string cut = cz::gzipMember(text);
  Inf inf = InfBuilder().file(raw("cut.csv.gz", cut.substr(0, cut.size() - 9))).build();
  inf.setInput(true, "");
  const CaughtError error = catchError([&] { inf.inferTypes(); });
  EXPECT_TRUE(error.thrown);
  EXPECT_NE(error.message.find("truncated gzip stream"), std::string::npos) << error.message;
  EXPECT_THROW(inf.inferRange(0, 100, {"id"}, false), std::invalid_argument);
  EXPECT_THROW(inf.setInput(false, "IBM037"), std::invalid_argument);
  EXPECT_THROW(inf.setInput(false, "NO-SUCH"), std::invalid_argument);
  EXPECT_THROW(inf.inferTypes(), InputError);
}

}  // namespace
