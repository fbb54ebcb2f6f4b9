// The set of missing-value texts, asked once per field: a look-up costs one
// length test, and for a length the set holds, one hash and a short probe,
// however many texts the set has. A large set is fronted by a filter of 16
// bits per text, small enough to stay in cache, that turns most texts away
// before the table (far larger than the cache) is touched.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "value_cache.h"

class NaSet {
 public:
  NaSet() = default;

  explicit NaSet(const std::unordered_set<std::string>& values) {
    size_t shortCount = 0;
    for (const auto& value : values) shortCount += value.size() <= MAX_SHORT;
    size_t capacity = 16;
    while (capacity < shortCount * 2) capacity *= 2;
    if (shortCount != 0) slots.assign(capacity, Slot{});
    if (shortCount > MIN_FILTERED) filter.assign(capacity / 8, 0);
    for (const auto& value : values) {
      ShortKey key;
      if (key.assign(value)) {
        lengths |= uint32_t{1} << key.length;
        insert(key);
      } else {
        if (!longTable) longTable = std::make_shared<TextTable>();
        longTable->set(value, hashText(value), 0);
        lengths |= LONG_TEXTS;
      }
    }
  }

  bool empty() const { return lengths == 0; }

  // Whether text is in the set. key and isShort are what ShortKey::assign
  // gave for text.
  bool contains(std::string_view text, const ShortKey& key, bool isShort) const {
    if (isShort) {
      if ((lengths & (uint32_t{1} << key.length)) == 0) return false;
      const uint64_t h = slotOf(key);
      if (!filter.empty() && !filtered(h)) return false;
      const size_t mask = slots.size() - 1;
      for (size_t i = h & mask;; i = (i + 1) & mask) {
        const Slot& s = slots[i];
        if (!s.used) return false;
        if (s.key == key) return true;
      }
    }
    return (lengths & LONG_TEXTS) != 0 && longTable->find(text, hashText(text)) != TextTable::EMPTY;
  }

  bool contains(std::string_view text) const {
    ShortKey key;
    const bool isShort = key.assign(text);
    return contains(text, key, isShort);
  }

 private:
  static constexpr size_t MAX_SHORT = 16;
  // Lengths 0 to 16 take bits 0 to 16; this bit stands for every longer text.
  static constexpr uint32_t LONG_TEXTS = uint32_t{1} << 31;
  // Below this many short texts the table itself fits in cache.
  static constexpr size_t MIN_FILTERED = 4096;

  struct Slot {
    ShortKey key;
    bool used = false;
  };

  uint32_t lengths = 0;
  std::vector<Slot> slots;  // open addressing, at most half full
  // Two bits per text in one word picked by the hash (used for large sets).
  std::vector<uint64_t> filter;
  // Texts longer than 16 bytes; none in most sets. Never changed once
  // built, so copies of the set share it.
  std::shared_ptr<TextTable> longTable;

  static uint64_t slotOf(const ShortKey& key) {
    uint64_t h = (key.w1 * 0x9e3779b97f4a7c15ULL) ^ (key.w2 * 0xc2b2ae3d27d4eb4fULL) ^ key.length;
    h ^= h >> 31;
    h *= 0xff51afd7ed558ccdULL;
    return h ^ (h >> 29);
  }

  // The filter word and its two bits come from the hash's high bits; the
  // table's slot from its low bits.
  static uint64_t filterBits(uint64_t h) {
    return (uint64_t{1} << ((h >> 52) & 63)) | (uint64_t{1} << ((h >> 58) & 63));
  }
  size_t filterWord(uint64_t h) const { return static_cast<size_t>(h >> 24) & (filter.size() - 1); }
  bool filtered(uint64_t h) const {
    const uint64_t bits = filterBits(h);
    return (filter[filterWord(h)] & bits) == bits;
  }

  void insert(const ShortKey& key) {
    const uint64_t h = slotOf(key);
    if (!filter.empty()) filter[filterWord(h)] |= filterBits(h);
    const size_t mask = slots.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& s = slots[i];
      if (!s.used) {
        s.key = key;
        s.used = true;
        return;
      }
      if (s.key == key) return;
    }
  }
};
