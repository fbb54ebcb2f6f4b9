// Sniffing an input's first bytes: every compression and byte order mark
// gives the same UTF-8 text and the encoding the mark names; a character cut
// by the head's end is never a fault; a bomb is decompressed with a bound.
#include <gtest/gtest.h>
#include <iconv.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "compressors.h"
#include "sniff.h"
#include "utf8.h"

// Live and peak bytes of every C++ allocation in this test program, so that
// a test can see how much memory a call took at most.
namespace {
std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};
}  // namespace

void* operator new(size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  const size_t live = liveBytes += malloc_usable_size(block);
  size_t peak = peakBytes.load();
  while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
  }
  return block;
}

void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  liveBytes -= malloc_usable_size(block);
  std::free(block);
}

void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

using namespace std::string_literals;
namespace cz = compressors;

struct Compression {
  const char* name;
  std::function<std::string(std::string_view)> compress;
};

const std::vector<Compression> COMPRESSIONS = {
    {"plain", [](std::string_view text) { return std::string(text); }},
    {"gzip", [](std::string_view text) { return cz::gzipMember(text); }},
    {"zstd", [](std::string_view text) { return cz::zstdFrame(text); }},
    {"bzip2", [](std::string_view text) { return cz::bzip2(text); }},
    {"xz", [](std::string_view text) { return cz::xz(text, 1); }},
};

// UTF-8 text in another encoding, through the C library as the engine reads.
std::string encoded(const std::string& text, const char* encoding) {
  const iconv_t cd = iconv_open(encoding, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(encoding);
  std::string out(text.size() * 4 + 8, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* at = out.data();
  size_t outLeft = out.size();
  const size_t rc = iconv(cd, &in, &inLeft, &at, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) throw std::runtime_error("cannot encode");
  out.resize(out.size() - outLeft);
  return out;
}

SniffRequest asking(std::string encoding, size_t wanted = 1 << 16) {
  SniffRequest request;
  request.encoding = std::move(encoding);
  request.wanted = wanted;
  request.name = "f.csv";
  return request;
}

const std::string TABLE = "id,name\n1,caf\xC3\xA9\n2,\xE2\x82\xAC\n";

// A byte order mark before the table in the mark's encoding: the encoding
// the engine then reads by, as chosen with no encoding asked for and with
// auto, a name that agrees with the mark and one that does not.
struct MarkCase {
  const char* mark;  // the table's encoding, with the mark it writes
  std::string bom;
  std::string engine;  // "" for UTF-8 as it is
  const char* agreeing;
};

const std::vector<MarkCase> MARK_CASES = {
    {"UTF-8", "", "", "utf-8"},
    {"UTF-8", "\xEF\xBB\xBF", "", "UTF8"},
    {"UTF-16LE", "\xFF\xFE", "UTF-16", "UTF-16LE"},
    {"UTF-16BE", "\xFE\xFF", "UTF-16", "utf-16"},
    {"UTF-32LE", "\xFF\xFE\0\0"s, "UTF-32", "UTF-32"},
    {"UTF-32BE", "\0\0\xFE\xFF"s, "UTF-32", "UTF-32BE"},
};

TEST(Sniff, EveryCompressionAndMarkGivesTheTableAsUtf8) {
  for (const Compression& compression : COMPRESSIONS) {
    for (const MarkCase& c : MARK_CASES) {
      const std::string raw = compression.compress(c.bom + encoded(TABLE, c.mark));
      SCOPED_TRACE(std::string(compression.name) + " " + c.mark + " bom " +
                   std::to_string(c.bom.size()));
      for (const std::string& asked : {""s, "auto"s, std::string(c.agreeing)}) {
        const Sniff found = sniff(raw, true, asking(asked));
        EXPECT_FALSE(found.needsMore);
        EXPECT_STREQ(Decompressor::formatName(found.compression), compression.name);
        const bool named = !asked.empty() && asked != "auto";
        EXPECT_EQ(found.encoding, named && !c.engine.empty() ? asked : c.engine);
        EXPECT_EQ(found.text, TABLE);
        EXPECT_TRUE(found.complete);
        EXPECT_EQ(found.warning, "");
      }
      if (c.engine.empty()) continue;
      try {
        sniff(raw, true, asking("cp1252"));
        ADD_FAILURE() << "cp1252 contradicts the mark";
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(e.what(), "f.csv: starts with a " + std::string(c.mark).insert(6, " ") +
                                " byte order mark, but --encoding cp1252 was given (encoding= "
                                "in Python): leave it out, or give --encoding " +
                                c.engine);
      }
    }
  }
}

// Names that read the mark's bytes as something else contradict it, even
// when they are Unicode themselves.
TEST(Sniff, ANameOfAnotherWidthOrOrderContradictsTheMark) {
  const struct {
    std::string bom;
    const char* asked;
    bool agrees;
  } cases[] = {
      {"\xFF\xFE\0\0"s, "UTF-16", false},  {"\xFF\xFE\0\0"s, "UTF-16LE", false},
      {"\xFF\xFE\0\0"s, "UTF-32LE", true}, {"\xFF\xFE"s, "UTF-32", false},
      {"\xFF\xFE"s, "UTF-16BE", false},    {"\xFE\xFF"s, "UTF-16", true},
      {"\xFE\xFF"s, "utf-8", false},       {"\xEF\xBB\xBF"s, "cp1252", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    const std::string raw = c.bom + "a\0\0\0"s;
    if (c.agrees)
      EXPECT_NO_THROW(sniff(raw, true, asking(c.asked)));
    else
      EXPECT_THROW(sniff(raw, true, asking(c.asked)), std::invalid_argument);
  }
}

// Text of `size` bytes whose last character, `ch`, ends `past` bytes after
// `cut`, so that a head of `cut` bytes holds its first bytes only.
std::string straddling(const std::string& ch, size_t past, size_t cut, size_t size) {
  std::string text(cut + past - ch.size(), 'x');
  for (size_t line = 64; line < text.size(); line += 64) text[line] = '\n';
  text += ch;
  return text + std::string(size - text.size(), 'y');
}

const std::vector<std::string> UTF8_CHARACTERS = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};

TEST(Sniff, ACharacterCutByTheAutoSampleStaysUtf8) {
  for (const Compression& compression : COMPRESSIONS) {
    for (const std::string& ch : UTF8_CHARACTERS) {
      for (size_t past = 1; past < ch.size(); ++past) {
        SCOPED_TRACE(std::string(compression.name) + " " + ch + " " + std::to_string(past));
        const std::string text = straddling(ch, past, AUTO_SAMPLE_BYTES, AUTO_SAMPLE_BYTES + 100);
        const Sniff found = sniff(compression.compress(text), true, asking("auto"));
        EXPECT_EQ(found.encoding, "");
        EXPECT_EQ(found.warning, "");
        EXPECT_EQ(found.text, text.substr(0, 1 << 16));
        EXPECT_FALSE(found.complete);
      }
    }
  }
}

TEST(Sniff, ACharacterCutByTheHeadIsNoFault) {
  constexpr size_t WANTED = 1000;
  for (const Compression& compression : COMPRESSIONS) {
    for (const std::string& ch : UTF8_CHARACTERS) {
      for (size_t past = 1; past < ch.size(); ++past) {
        SCOPED_TRACE(std::string(compression.name) + " " + ch + " " + std::to_string(past));
        const std::string text = straddling(ch, past, WANTED, 2 * WANTED);
        const Sniff found = sniff(compression.compress(text), true, asking("", WANTED));
        EXPECT_EQ(found.text, text.substr(0, WANTED));
        EXPECT_EQ(found.notUtf8At, -1);
        EXPECT_FALSE(found.complete);
      }
    }
  }
}

TEST(Sniff, ACharacterCutByTheHeadInAnotherEncodingIsLeftOut) {
  const struct {
    const char* encoding;
    std::string ch;
  } cases[] = {
      {"UTF-16LE", "\xC3\xA9"},      {"UTF-16LE", "\xF0\x9F\x98\x80"}, {"UTF-16BE", "\xE2\x82\xAC"},
      {"SHIFT_JIS", "\xE8\xA1\xA8"}, {"GB18030", "\xF0\x9F\x98\x80"},  {"UTF-32LE", "\xC3\xA9"},
  };
  const std::string prefix = "id,name\n1,x";
  for (const Compression& compression : COMPRESSIONS) {
    for (const auto& c : cases) {
      const std::string before = encoded(prefix, c.encoding), ch = encoded(c.ch, c.encoding);
      const std::string raw = compression.compress(before + ch + encoded("y\n", c.encoding));
      for (size_t cut = 1; cut < ch.size(); ++cut) {
        SCOPED_TRACE(std::string(compression.name) + " " + c.encoding + " " + std::to_string(cut));
        const Sniff found = sniff(raw, true, asking(c.encoding, before.size() + cut));
        EXPECT_EQ(found.text, prefix);
        EXPECT_FALSE(found.complete);
      }
    }
  }
}

TEST(Sniff, AnInputThatEndsInsideACharacterIsNotUtf8) {
  const std::string text = "a,b\n1,caf\xC3";
  const Sniff found = sniff(text, true, asking("auto"));
  EXPECT_EQ(found.encoding, "cp1252");
  EXPECT_EQ(found.warning,
            "encoding auto: byte 9 is not UTF-8, so the file is read as cp1252; give --encoding "
            "NAME if it is another");
  EXPECT_EQ(found.text, "a,b\n1,caf\xC3\x83");
  EXPECT_TRUE(found.complete);
  EXPECT_EQ(sniff(text, true, asking("")).notUtf8At, 9);
}

TEST(Sniff, BytesThatAreNotUtf8AreFoundWherePythonFindsThem) {
  const struct {
    std::string bytes;
    bool final;
    size_t at;
  } cases[] = {
      {"plain", true, std::string::npos},
      {"ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true, std::string::npos},
      {"ab\xC0\xAF", true, 2},          // overlong
      {"ab\xE0\x80\x80", false, 2},     // overlong, seen at its second byte
      {"ab\xED\xA0\x80", true, 2},      // a surrogate
      {"ab\xF4\x90\x80\x80", true, 2},  // past U+10FFFF
      {"ab\xF5", false, 2},             // no character starts so
      {"ab\x80", false, 2},             // a lone continuation
      {"ab\xE2\x82", false, std::string::npos},
      {"ab\xE2\x82", true, 2},
      {"ab\xE2\x28\xAC", false, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(firstNotUtf8(c.bytes, c.final), c.at) << c.bytes;
    // A field is whole: what the head calls cut, a field calls invalid.
    if (c.final) {
      EXPECT_EQ(validUtf8(c.bytes), c.at == std::string::npos) << c.bytes;
    }
  }
}

TEST(Sniff, UnreadableEncodingsAreRefusedWithWhatToDo) {
  const struct {
    const char* asked;
    std::vector<std::string> spellings;
    std::string engine;  // "" with `message`: refused
    std::string message;
  } cases[] = {
      {"cp1252", {}, "cp1252", ""},
      {"u16", {"utf-16"}, "utf-16", ""},
      {"u8", {"utf-8"}, "", ""},
      {"UTF_8", {}, "", ""},
      {"no-such-code",
       {"nosuchcode"},
       "",
       "unknown encoding 'no-such-code': give a name the C library's iconv knows (iconv --list "
       "shows them), or --encoding auto"},
      {"it's", {}, "", "unknown encoding \"it's\": give a name the C library's iconv knows"},
      {"IBM037",
       {},
       "",
       "encoding 'IBM037' is not ASCII-compatible (as EBCDIC and UTF-7 are not): its delimiters "
       "and line ends are other bytes. Convert the file to UTF-8 first, for example: iconv -f "
       "IBM037 -t UTF-8 FILE > FILE.utf8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    SniffRequest request = asking(c.asked);
    request.spellings = c.spellings;
    if (c.message.empty()) {
      EXPECT_EQ(sniff("", true, request).encoding, c.engine);
      continue;
    }
    try {
      sniff("", true, request);
      ADD_FAILURE() << "refused";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message);
    }
  }
}

TEST(Sniff, TextThatDoesNotDecodeEndsTheHead) {
  // 0x81 is no cp1252 character; the pass reports it.
  const Sniff found = sniff("a;b\n1;\xE9\x81x\n", true, asking("cp1252"));
  EXPECT_EQ(found.text, "a;b\n1;\xC3\xA9");
  EXPECT_FALSE(found.complete);
}

// More is asked for until the format shows, and then the text wanted (for
// auto, its sample) is in or the input ends; then the decision holds.
TEST(Sniff, MoreIsNeededUntilTheBytesTell) {
  // Letters that compress a little only, so that a few compressed bytes hold little text.
  std::string text(3 << 20, 'a');
  uint32_t state = 1;
  for (char& ch : text) {
    state = state * 1103515245 + 12345;
    ch = static_cast<char>('a' + (state >> 16) % 26);
  }
  const std::string packed = cz::gzipMember(text);
  const struct {
    std::string raw;
    bool whole;
    const char* asked;
    bool more;
  } cases[] = {
      {"\x1f\x8b", false, "", true},
      {"\x1f\x8b", true, "", false},
      {text.substr(0, 1000), false, "", true},
      {text.substr(0, 1 << 16), false, "", false},
      {text.substr(0, 1 << 16), false, "auto", true},
      {text.substr(0, AUTO_SAMPLE_BYTES), false, "auto", false},
      {packed.substr(0, 100), false, "", true},
      {packed.substr(0, 100), true, "", false},
      {packed, false, "auto", false},
      {cz::zipArchive({{"a.csv", "a,b\n"}}), false, "auto", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.raw.size()) + " " + c.asked);
    const Sniff found = sniff(c.raw, c.whole, asking(c.asked));
    EXPECT_EQ(found.needsMore, c.more);
    if (c.more) {
      EXPECT_TRUE(found.text.empty());
    }
  }
}

TEST(Sniff, TextAlreadyDecodedIsNotDecompressed) {
  SniffRequest request = asking("");
  request.decompress = false;
  const std::string packed = cz::gzipMember("a,b\n");
  const Sniff found = sniff(packed, true, request);
  EXPECT_EQ(found.compression, Decompressor::Format::PLAIN);
  EXPECT_EQ(found.text, packed);
}

TEST(Sniff, ABombIsDecompressedWithABound) {
  const std::string lineEnds(size_t{16} << 20, '\n');
  constexpr size_t WANTED = 1 << 16;
  constexpr size_t BOUND = 4 * AUTO_SAMPLE_BYTES;
  for (const Compression& compression : COMPRESSIONS) {
    if (std::string(compression.name) == "plain") continue;
    const std::string bomb = compression.compress(lineEnds);
    for (const char* asked : {"", "auto"}) {
      SCOPED_TRACE(std::string(compression.name) + " " + asked);
      const size_t before = liveBytes.load();
      peakBytes = before;
      const Sniff found = sniff(bomb, true, asking(asked, WANTED));
      EXPECT_LT(peakBytes.load() - before, BOUND);
      EXPECT_EQ(found.text, std::string(WANTED, '\n'));
      EXPECT_FALSE(found.complete);
    }
  }
}

}  // namespace
