// An open-addressing table from field text to a small integer, built for the
// value cache: look-up by string_view with no allocation, keys packed in one
// arena, and clear() in constant time however large the table grew.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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
  if (n > 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ (w * K1)) * K2;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

class TextTable {
 public:
  static constexpr int32_t EMPTY = -1;

  TextTable() { slots.resize(16); }

  size_t size() const { return count; }

  // The value stored for text, or EMPTY when there is none.
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
      generation = 1;
    }
  }

 private:
  struct Slot {
    uint64_t offset = 0;
    uint64_t length = 0;
    int32_t value = EMPTY;
    uint32_t generation = 0;  // a slot is live only in the current generation
    uint32_t tag = 0;         // high half of the hash, to skip most key compares
  };

  std::vector<Slot> slots;
  std::string arena;
  size_t count = 0;
  uint32_t generation = 1;

  static uint32_t tagOf(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

  bool keyEquals(const Slot& s, std::string_view text) const {
    return s.length == text.size() &&
           (text.empty() || std::memcmp(arena.data() + s.offset, text.data(), text.size()) == 0);
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
