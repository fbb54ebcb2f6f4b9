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

}  // namespace
