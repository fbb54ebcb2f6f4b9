// The missing-value set against std::unordered_set: members of every length
// class, and near misses that share a length, a prefix or most bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "na_set.h"

namespace {

std::string randomText(std::mt19937& rng, size_t length) {
  std::string text(length, '\0');
  for (char& ch : text) ch = static_cast<char>(rng() % 4);  // few bytes: many near misses
  return text;
}

// Texts that differ from `text` in one byte, one length, or both.
std::vector<std::string> nearMisses(const std::string& text) {
  std::vector<std::string> out = {text + '\0', text + 'x'};
  if (!text.empty()) {
    out.push_back(text.substr(1));
    out.push_back(text.substr(0, text.size() - 1));
    for (size_t i = 0; i < text.size(); ++i) {
      std::string changed = text;
      changed[i] = static_cast<char>(changed[i] ^ 0x40);
      out.push_back(changed);
    }
  }
  return out;
}

struct SetCase {
  const char* name;
  std::vector<size_t> lengths;  // one member of each length...
  size_t randomMembers;         // ...and this many of random lengths 0 to 40
};

class NaSetTest : public testing::TestWithParam<SetCase> {};

TEST_P(NaSetTest, AgreesWithAPlainSet) {
  std::mt19937 rng(7);
  std::unordered_set<std::string> values;
  for (size_t length : GetParam().lengths) values.insert(randomText(rng, length));
  for (size_t i = 0; i < GetParam().randomMembers; ++i) values.insert(randomText(rng, rng() % 41));
  const NaSet set(values);
  EXPECT_EQ(set.empty(), values.empty());
  size_t probes = 0;
  for (const auto& value : values) {
    ASSERT_TRUE(set.contains(value)) << value.size();
    for (const auto& miss : nearMisses(value)) {
      ASSERT_EQ(set.contains(miss), values.count(miss) != 0) << miss.size();
      ++probes;
    }
  }
  for (int i = 0; i < 2000; ++i) {
    const std::string text = randomText(rng, rng() % 41);
    ASSERT_EQ(set.contains(text), values.count(text) != 0) << text.size();
  }
  EXPECT_GE(probes, values.size());
}

INSTANTIATE_TEST_SUITE_P(
    Sets, NaSetTest,
    testing::Values(SetCase{"none", {}, 0}, SetCase{"empty_text", {0}, 0},
                    SetCase{"every_short_length", {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16}, 0},
                    SetCase{"only_long", {17, 40, 1000}, 0},
                    SetCase{"across_the_short_limit", {15, 16, 17}, 0}, SetCase{"many", {}, 50000}),
    [](const testing::TestParamInfo<SetCase>& info) { return std::string(info.param.name); });

// Sets whose members all share their length and first eight bytes, so that
// they differ only in the second word of their key, filled to the table's
// limit of one half: most look-ups walk a chain of such members, and a
// compare of the first word alone would take a near miss for a member.
TEST(NaSetCollisions, KeysThatDifferOnlyAfterTheFirstWord) {
  constexpr size_t WORD = 8;
  constexpr size_t MAX_SHORT = 16;
  const std::string prefix = "NA-value";
  const char flips[] = {0x01, 0x20, static_cast<char>(0x80)};
  for (size_t length = WORD + 1; length <= MAX_SHORT; ++length) {
    for (size_t members : {size_t{8}, size_t{64}}) {  // a table of 16 and of 128 slots
      SCOPED_TRACE("length " + std::to_string(length) + ", " + std::to_string(members) +
                   " members");
      std::mt19937 rng(static_cast<unsigned>(length * 1000 + members));
      std::unordered_set<std::string> values;
      while (values.size() < members) {
        std::string text = prefix;
        while (text.size() < length) text += static_cast<char>(rng() % 256);
        values.insert(text);
      }
      const NaSet set(values);
      size_t absent = 0;
      for (const auto& value : values) {
        ASSERT_TRUE(set.contains(value));
        for (size_t at = WORD; at < length; ++at) {
          for (char flip : flips) {
            std::string miss = value;
            miss[at] = static_cast<char>(miss[at] ^ flip);
            ASSERT_EQ(set.contains(miss), values.count(miss) != 0) << "byte " << at;
            absent += values.count(miss) == 0;
          }
        }
      }
      EXPECT_GE(absent, members);  // the near misses are mostly not members
    }
  }
}

}  // namespace
