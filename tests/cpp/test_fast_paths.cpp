// The engine's fast paths (uncopied field views, the value cache table)
// checked against the plain paths they stand in for.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "csv/parser.h"
#include "csv_model.h"
#include "value_cache.h"

namespace {

struct Token {
  csv::FieldType type;
  std::string text;
  bool operator==(const Token& o) const { return type == o.type && text == o.text; }
};

struct Settings {
  char delimiter;
  int terminator;  // -1 for CR/LF
  char quote;
};

void apply(csv::CsvParser& p, const Settings& s) {
  p.delimiter(s.delimiter).quote(s.quote);
  if (s.terminator >= 0) p.terminator(static_cast<char>(s.terminator));
}

std::vector<Token> viaFields(const std::string& input, const Settings& s) {
  std::istringstream in(input);
  csv::CsvParser p(in);
  apply(p, s);
  std::vector<Token> out;
  for (;;) {
    const csv::Field f = p.next_field();
    out.push_back({f.type, f.type == csv::FieldType::DATA ? *f.data : std::string()});
    if (f.type == csv::FieldType::CSV_END) return out;
  }
}

// The view token stream; with `take` set, each text is taken with take_text.
std::vector<Token> drainViews(csv::CsvParser& p, std::streamoff* end, bool take = false) {
  std::vector<Token> out;
  std::string_view text;
  for (;;) {
    const csv::FieldType type = p.next_view(text);
    std::string copy;
    if (type == csv::FieldType::DATA) copy = take ? p.take_text(text) : std::string(text);
    out.push_back({type, copy});
    if (type == csv::FieldType::CSV_END) break;
  }
  *end = p.position();
  return out;
}

std::vector<Token> viaViews(const std::string& input, const Settings& s, std::streamoff* end) {
  std::istringstream in(input);
  csv::CsvParser p(in);
  apply(p, s);
  return drainViews(p, end);
}

std::string randomInput(std::mt19937& rng, size_t length, const std::string& alphabet) {
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s;
  for (size_t i = 0; i < length; ++i) s.push_back(alphabet[pick(rng)]);
  return s;
}

const Settings SETTINGS[] = {{',', -1, '"'},  {';', -1, '\''}, {'\t', '\n', '"'},
                             {',', ';', '"'}, {'\n', -1, '"'}, {'"', -1, '"'}};

}  // namespace

TEST(FastPathViews, AgreeWithFieldTokensOnRandomInputs) {
  std::mt19937 rng(11);
  for (const Settings& s : SETTINGS) {
    for (int i = 0; i < 1500; ++i) {
      const size_t length = std::uniform_int_distribution<size_t>(0, 400)(rng);
      const std::string input = randomInput(rng, length, "ab,;\t\"'\r\n\xe9 x");
      std::streamoff end = 0;
      ASSERT_EQ(viaViews(input, s, &end), viaFields(input, s)) << "input #" << i;
      EXPECT_EQ(end, static_cast<std::streamoff>(input.size()));
    }
  }
}

constexpr size_t BLOCK = csv::CsvParser::INPUTBUF_CAP;

// The input buffer is not cleared at construction: a parser built over
// storage full of stop bytes reads exactly like the plain token stream, at
// every length around the 64-byte masks and the block ends.
TEST(FastPathViews, StaleBufferBytesChangeNothing) {
  std::mt19937 rng(5);
  alignas(csv::CsvParser) static unsigned char storage[sizeof(csv::CsvParser)];
  const size_t lengths[] = {0, 1, 63, 64, 65, 200, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK + 70};
  for (const char fill : {'\0', ',', '\n', '\r', '"', 'x'}) {
    for (const size_t length : lengths) {
      const Settings& s = SETTINGS[length % 4];
      const std::string input = randomInput(rng, length, "ab,;\t\"'\r\n x");
      std::memset(storage, fill, sizeof storage);
      std::istringstream in(input);
      csv::CsvParser* p = new (storage) csv::CsvParser(in);
      apply(*p, s);
      std::streamoff end = 0;
      const std::vector<Token> got = drainViews(*p, &end);
      p->~CsvParser();
      ASSERT_EQ(got, viaFields(input, s)) << "fill " << int(fill) << ", length " << length;
      EXPECT_EQ(end, static_cast<std::streamoff>(input.size()));
    }
  }
}

// take_text gives the token's text whether it was a view or the field
// buffer moved out, and the buffer keeps working after a move.
TEST(FastPathViews, TakenTextsAreTheTokens) {
  const std::string big(3000, 'q');
  const std::vector<std::string> inputs = {
      "a,\"" + big + "\",b\n\"" + big + "x\"\nshort,\"q\"\n",
      std::string(BLOCK - 5, 'z') + ",tail\n" + big + "," + big + "\n",
      "\"" + std::string(2 * BLOCK, ',') + "\"\"\",x\n1,\"" + big,
      "\"1024" + std::string(1020, 'w') + "\",\"1025" + std::string(1021, 'w') + "\"\n"};
  for (const auto& input : inputs) {
    for (const Settings& s : SETTINGS) {
      std::istringstream in(input);
      csv::CsvParser p(in);
      apply(p, s);
      std::streamoff end = 0;
      ASSERT_EQ(drainViews(p, &end, true), viaFields(input, s)) << input.substr(0, 40);
      EXPECT_EQ(end, static_cast<std::streamoff>(input.size()));
    }
  }
}

// Views must never outlive a block refill: fields and line ends placed on
// every offset around the block boundary.
TEST(FastPathViews, AgreeAcrossTheBlockBoundary) {
  const size_t block = BLOCK;
  const std::vector<std::string> pieces = {"abc,def\r\nghi", "x\r\ny", "long,field\n",
                                           "\"q,\"\"\"\r", ",,\r\r\n"};
  for (const auto& piece : pieces) {
    for (size_t offset = block - 70; offset <= block + 3; ++offset) {
      std::string input(offset, 'z');
      for (size_t k = 40; k < offset; k += 41) input[k] = ',';
      input += piece;
      input += "tail,end";
      std::streamoff end = 0;
      ASSERT_EQ(viaViews(input, SETTINGS[0], &end), viaFields(input, SETTINGS[0]))
          << "offset " << offset;
      EXPECT_EQ(end, static_cast<std::streamoff>(input.size()));
    }
  }
}

TEST(FastPathViews, LongFieldsAndWideRowsMatchTheModel) {
  std::mt19937 rng(5);
  std::string input;
  for (int row = 0; row < 3000; ++row) {
    for (int c = 0; c < 20; ++c) {
      if (c) input += ',';
      input += randomInput(rng, std::uniform_int_distribution<size_t>(0, 150)(rng), "abcdef0123 ");
    }
    input += row % 3 ? "\n" : "\r\n";
  }
  std::vector<Token> expected;
  for (const auto& t : csv_model::tokenize(input)) {
    const auto type = t.kind == csv_model::Kind::DATA      ? csv::FieldType::DATA
                      : t.kind == csv_model::Kind::ROW_END ? csv::FieldType::ROW_END
                                                           : csv::FieldType::CSV_END;
    expected.push_back({type, t.text});
  }
  std::streamoff end = 0;
  EXPECT_EQ(viaViews(input, SETTINGS[0], &end), expected);
}

TEST(FastPathTable, StoresFindsAndForgets) {
  TextTable table;
  std::vector<std::string> keys = {"",
                                   "a",
                                   "ab",
                                   "abc",
                                   "abcd",
                                   "abcdefg",
                                   "abcdefgh",
                                   "abcdefghi",
                                   "0123456789abcdef",
                                   "0123456789abcdefg",
                                   std::string(1000, 'k'),
                                   std::string("\0\0", 2),
                                   "abce"};
  for (int i = 0; i < 5000; ++i) keys.push_back("key-" + std::to_string(i * 7919));
  for (size_t i = 0; i < keys.size(); ++i)
    table.set(keys[i], hashText(keys[i]), static_cast<int32_t>(i));
  EXPECT_EQ(table.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    ShortKey key;
    const bool isShort = key.assign(keys[i]);
    uint64_t hash = 0;
    ASSERT_EQ(table.lookup(keys[i], key, isShort, hash), static_cast<int32_t>(i)) << keys[i];
    ASSERT_EQ(table.find(keys[i], hashText(keys[i])), static_cast<int32_t>(i));
  }
  // Texts that differ from stored ones in one byte, or in length only.
  for (const std::string& probe : std::vector<std::string>{"abcf", "abcdefgi", "0123456789abcdeg",
                                                           "b", std::string(999, 'k')}) {
    ShortKey key;
    const bool isShort = key.assign(probe);
    uint64_t hash = 0;
    EXPECT_EQ(table.lookup(probe, key, isShort, hash), TextTable::EMPTY) << probe;
  }
  table.set("abc", hashText("abc"), 77);
  EXPECT_EQ(table.find("abc", hashText("abc")), 77);
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  for (const auto& k : keys) {
    ShortKey key;
    const bool isShort = key.assign(k);
    uint64_t hash = 0;
    ASSERT_EQ(table.lookup(k, key, isShort, hash), TextTable::EMPTY) << k;
  }
  table.set("again", hashText("again"), 3);
  EXPECT_EQ(table.find("again", hashText("again")), 3);
}

TEST(FastPathTable, ShortKeysIdentifyTextsExactly) {
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    const std::string a = randomInput(rng, std::uniform_int_distribution<size_t>(0, 16)(rng),
                                      std::string("ab\0c", 4));
    std::string b = a;
    if (!b.empty() && i % 2) b[std::uniform_int_distribution<size_t>(0, b.size() - 1)(rng)] ^= 1;
    ShortKey ka, kb;
    ASSERT_TRUE(ka.assign(a));
    ASSERT_TRUE(kb.assign(b));
    ASSERT_EQ(ka == kb, a == b);
    ASSERT_EQ(equalBytes(a.data(), b.data(), a.size()), a == b);
  }
}

// Keys past 16 MiB keep their length outside the slot.
TEST(FastPathTable, HugeKeys) {
  TextTable table;
  std::string huge(17u << 20, 'h');
  table.set(huge, hashText(huge), 5);
  std::string other = huge;
  other.back() = 'i';
  table.set(other, hashText(other), 6);
  for (int i = 0; i < 100; ++i) {
    const std::string k = std::to_string(i);
    table.set(k, hashText(k), i);
  }
  EXPECT_EQ(table.find(huge, hashText(huge)), 5);
  EXPECT_EQ(table.find(other, hashText(other)), 6);
  huge.pop_back();
  EXPECT_EQ(table.find(huge, hashText(huge)), TextTable::EMPTY);
  EXPECT_EQ(table.find("42", hashText("42")), 42);
}

// A setting changed between tokens applies to the bytes after it, on the
// view path as on the copying one (the stop masks must be recomputed).
TEST(FastPathViews, SettingsChangedMidStream) {
  const std::string input = "a,b;c\td,e;f\ng;h,i\n" + std::string(300, 'x') + ";y,z\n";
  for (int switchAt = 0; switchAt < 8; ++switchAt) {
    std::vector<Token> expected, got;
    for (int pass = 0; pass < 2; ++pass) {
      std::istringstream in(input);
      csv::CsvParser p(in);
      std::vector<Token>& out = pass == 0 ? expected : got;
      for (int k = 0;; ++k) {
        if (k == switchAt) p.delimiter(';');
        if (k == switchAt + 3) p.terminator(',');
        csv::FieldType type;
        std::string text;
        if (pass == 0) {
          const csv::Field f = p.next_field();
          type = f.type;
          if (type == csv::FieldType::DATA) text = *f.data;
        } else {
          std::string_view view;
          type = p.next_view(view);
          if (type == csv::FieldType::DATA) text = std::string(view);
        }
        out.push_back({type, text});
        if (type == csv::FieldType::CSV_END) break;
      }
    }
    EXPECT_EQ(got, expected) << "switch at token " << switchAt;
  }
}

// The log gives back, in order, every text appended since it was last
// emptied, at least once each, and nothing from before, also when its
// entries fill several blocks.
// Blocks grow from small to large, and after clear() the kept blocks are
// reused: a round of short texts followed by one whose texts outgrow every
// kept block must still give back exactly what it appended.
TEST(FastPathLog, ReusedBlocksTakeTextsLargerThanThemselves) {
  const std::vector<std::vector<size_t>> rounds = {
      {3, 3, 3}, {65535, 1, 65535}, {5000, 70, 9000, 65535}, {}, {1}};
  TextLog log;
  ShortKey key;
  int32_t tag = 0;
  EXPECT_FALSE(log.recentTag(key, tag));
  for (size_t r = 0; r < rounds.size(); ++r) {
    std::vector<std::pair<std::string, int32_t>> appended;
    for (size_t length : rounds[r]) {
      const std::string text(length, static_cast<char>('a' + appended.size()));
      const bool isShort = key.assign(text);
      log.append(text, key, isShort, static_cast<int32_t>(appended.size()), 0);
      appended.emplace_back(text, static_cast<int32_t>(appended.size()));
    }
    std::vector<std::pair<std::string, int32_t>> back;
    log.forEach([&](std::string_view t, int32_t v) { back.emplace_back(std::string(t), v); });
    EXPECT_EQ(back, appended) << "round " << r;
    log.clear();
  }
}

// A table or log that never held an entry answers nothing, and a copy of it
// works on its own.
TEST(FastPathTable, UnusedTablesAndTheirCopiesStartEmpty) {
  const TextTable unused;
  TextTable table(unused);
  ShortKey key;
  ASSERT_TRUE(key.assign("abc"));
  uint64_t hash = 0;
  EXPECT_EQ(table.lookup("abc", key, true, hash), TextTable::EMPTY);
  table.set("abc", hashText("abc"), 4);
  EXPECT_EQ(table.lookup("abc", key, true, hash), 4);
  EXPECT_EQ(TextTable(unused).lookup("abc", key, true, hash), TextTable::EMPTY);
  table.clear();
  EXPECT_EQ(table.lookup("abc", key, true, hash), TextTable::EMPTY);
}

TEST(FastPathLog, KeepsEveryTextSinceItWasEmptied) {
  std::mt19937 rng(17);
  const std::vector<std::string> pool = {"",
                                         "a",
                                         "abc",
                                         "0123456789abcdef",
                                         "0123456789abcdefg",
                                         std::string(300, 'x'),
                                         std::string(60000, 'y'),
                                         "NA",
                                         std::string("\0z", 2)};
  TextLog log;
  for (int round = 0; round < 3; ++round) {
    std::vector<std::pair<std::string, int32_t>> appended;
    for (int i = 0; i < 2000; ++i) {
      std::string text = pool[rng() % pool.size()];
      if (rng() % 3 == 0) text += std::to_string(rng() % 500);
      const int32_t value = static_cast<int32_t>(text.size() % 7);
      ShortKey key;
      const bool isShort = key.assign(text);
      int32_t tag = -1;
      if (isShort && log.recentTag(key, tag)) {
        EXPECT_EQ(tag, value + 100) << text;
      }
      log.append(text, key, isShort, value, value + 100);
      appended.emplace_back(text, value);
    }
    std::vector<std::pair<std::string, int32_t>> back;
    log.forEach([&](std::string_view t, int32_t v) { back.emplace_back(std::string(t), v); });
    // Every entry given back was appended, in order, and every appended
    // text is given back.
    size_t at = 0;
    for (const auto& entry : back) {
      while (at < appended.size() && appended[at] != entry) ++at;
      ASSERT_LT(at, appended.size()) << "entry out of order or unknown: " << entry.first;
    }
    std::set<std::pair<std::string, int32_t>> want(appended.begin(), appended.end());
    std::set<std::pair<std::string, int32_t>> got(back.begin(), back.end());
    EXPECT_EQ(got, want) << "round " << round;
    EXPECT_LE(back.size(), appended.size());
    log.clear();
    EXPECT_TRUE(log.empty());
  }
}
