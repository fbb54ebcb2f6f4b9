// An open-addressing table from field text to a small integer, built for the
// value cache: look-up by string_view with no allocation, keys packed in one
// arena, and clear() in constant time however large the table grew.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// The 1 to 7 bytes at p as one word, read without a byte loop.
inline uint64_t loadTail(const char* p, size_t n) {
  if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    return (static_cast<uint64_t>(a) << 32) | b;
  }
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return (static_cast<uint64_t>(u[0]) << 16) | (static_cast<uint64_t>(u[n >> 1]) << 8) | u[n - 1];
}

// Byte equality of two runs of n bytes, with word compares for short runs.
inline bool equalBytes(const char* a, const char* b, size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) {
    uint64_t a1, b1, a2, b2;
    std::memcpy(&a1, a, 8);
    std::memcpy(&b1, b, 8);
    std::memcpy(&a2, a + n - 8, 8);
    std::memcpy(&b2, b + n - 8, 8);
    return a1 == b1 && a2 == b2;
  }
  if (n == 0) return true;
  return loadTail(a, n) == loadTail(b, n);
}

// 64-bit hash of a byte string, eight bytes at a time.
inline uint64_t hashText(std::string_view text) {
  constexpr uint64_t K1 = 0x9e3779b97f4a7c15ULL;
  constexpr uint64_t K2 = 0xbf58476d1ce4e5b9ULL;
  const char* p = text.data();
  size_t n = text.size();
  uint64_t h = K1 ^ (static_cast<uint64_t>(n) * K2);
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ (w * K1)) * K2;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n > 0) h = (h ^ (loadTail(p, n) * K1)) * K2;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

// A text of at most 16 bytes is its length and two words that cover it.
struct ShortKey {
  uint64_t w1 = 0, w2 = 0;
  uint32_t length = 0;

  // Fills the key; false when the text is longer than 16 bytes.
  bool assign(std::string_view text) {
    const size_t n = text.size();
    if (n > 16) return false;
    length = static_cast<uint32_t>(n);
    if (n > 8) {
      std::memcpy(&w1, text.data(), 8);
      std::memcpy(&w2, text.data() + n - 8, 8);
    } else {
      w1 = n > 0 ? loadTail(text.data(), n) : 0;
      w2 = 0;
    }
    return true;
  }

  bool operator==(const ShortKey& o) const {
    return w1 == o.w1 && w2 == o.w2 && length == o.length;
  }
};

class TextTable {
 public:
  static constexpr int32_t EMPTY = -1;

  TextTable() : slots(16), recent(RECENT_SIZE) {}

  size_t size() const { return count; }

  // The value stored for text, or EMPTY when there is none. Short texts are
  // answered from a small direct-mapped front table without hashing; when
  // the main table is consulted, its hash is left in `hash` for set().
  int32_t lookup(std::string_view text, const ShortKey& key, bool isShort, uint64_t& hash) {
    if (isShort) {
      const Recent& r = recent[recentIndex(key)];
      if (r.generation == generation && r.w1 == key.w1 && r.w2 == key.w2 && r.length == key.length)
        return r.value;
    }
    hash = hashText(text);
    const int32_t value = static_cast<const TextTable&>(*this).find(text, hash);
    if (isShort && value != EMPTY) remember(key, value);
    return value;
  }

  // The value stored for text, or EMPTY, given the text's hashText().
  int32_t find(std::string_view text, uint64_t hash) const {
    const size_t mask = slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots[i];
      if (s.generation != generation) return EMPTY;
      if (s.tag == tagOf(hash) && keyEquals(s, text)) return s.value;
    }
  }

  // Stores value for text, adding the text if it is new.
  void set(std::string_view text, uint64_t hash, int32_t value) {
    ShortKey key;
    if (key.assign(text)) remember(key, value);
    if ((count + 1) * 4 > slots.size() * 3) grow();
    const size_t mask = slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& s = slots[i];
      if (s.generation != generation) {
        s.generation = generation;
        s.tag = tagOf(hash);
        s.offset = arena.size();
        s.length = text.size();
        s.value = value;
        arena.append(text.data(), text.size());
        ++count;
        return;
      }
      if (s.tag == tagOf(hash) && keyEquals(s, text)) {
        s.value = value;
        return;
      }
    }
  }

  // Forgets every entry. Memory stays reserved for the next window, unless
  // the last window left it far larger than anything recent needed.
  void clear() {
    if (arena.capacity() > (1u << 20) && arena.size() * 8 < arena.capacity())
      std::string().swap(arena);
    arena.clear();
    count = 0;
    if (++generation == 0) {
      for (auto& s : slots) s.generation = 0;
      for (auto& r : recent) r.generation = 0;
      generation = 1;
    }
  }

 private:
  struct Recent {
    uint64_t w1 = 0, w2 = 0;
    uint32_t length = 0;
    int32_t value = EMPTY;
    uint32_t generation = 0;
  };
  static constexpr size_t RECENT_SIZE = 4096;

  static size_t recentIndex(const ShortKey& key) {
    const uint64_t mixed = (key.w1 * 0x9e3779b97f4a7c15ULL) ^ (key.w2 * 0xc2b2ae3d27d4eb4fULL) ^ key.length;
    return static_cast<size_t>(mixed >> 52) & (RECENT_SIZE - 1);
  }

  void remember(const ShortKey& key, int32_t value) {
    Recent& r = recent[recentIndex(key)];
    r.w1 = key.w1;
    r.w2 = key.w2;
    r.length = key.length;
    r.value = value;
    r.generation = generation;
  }

  struct Slot {
    uint64_t offset = 0;
    uint64_t length = 0;
    int32_t value = EMPTY;
    uint32_t generation = 0;  // a slot is live only in the current generation
    uint32_t tag = 0;         // high half of the hash, to skip most key compares
  };

  std::vector<Slot> slots;
  std::vector<Recent> recent;
  std::string arena;
  size_t count = 0;
  uint32_t generation = 1;

  static uint32_t tagOf(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

  bool keyEquals(const Slot& s, std::string_view text) const {
    return s.length == text.size() && equalBytes(arena.data() + s.offset, text.data(), text.size());
  }

  void grow() {
    std::vector<Slot> old(slots.size() * 2);
    old.swap(slots);
    const size_t mask = slots.size() - 1;
    for (const Slot& s : old) {
      if (s.generation != generation) continue;
      size_t i = hashText(std::string_view(arena.data() + s.offset, s.length)) & mask;
      while (slots[i].generation == generation) i = (i + 1) & mask;
      slots[i] = s;
    }
  }
};
