// An open-addressing table from field text to a small integer, built for the
// value cache: look-up by string_view with no allocation, keys packed in one
// arena, and clear() in constant time however large the table grew.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Sizes of the fixed look-aside tables. The fuzz build shrinks them, so that
// short inputs meet their collisions and block changes, and a fresh table
// per input stays cheap.
#ifdef QUORLE_SMALL_TABLES
inline constexpr size_t RECENT_TABLE_SIZE = 64;
inline constexpr size_t LOG_FILTER_SIZE = 64;
inline constexpr size_t LOG_FIRST_BLOCK = size_t{1} << 8;
#else
inline constexpr size_t RECENT_TABLE_SIZE = 4096;
inline constexpr size_t LOG_FILTER_SIZE = 1024;
inline constexpr size_t LOG_FIRST_BLOCK = size_t{1} << 12;
#endif

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

  TextTable() : slots(16) {}

  size_t size() const { return count; }

  // The value stored for text, or EMPTY when there is none. Short texts are
  // answered from a small direct-mapped front table without hashing; when
  // the main table is consulted, its hash is left in `hash` for set().
  int32_t lookup(std::string_view text, const ShortKey& key, bool isShort, uint64_t& hash) {
    if (isShort) {
      const int32_t value = recentValue(key);
      if (value != EMPTY) return value;
    }
    hash = hashText(text);
    return findAndRemember(text, key, isShort, hash);
  }

  // The front table's answer for a short text, or EMPTY when it has none
  // (the main table may still hold the text).
  int32_t recentValue(const ShortKey& key) const {
    if (recent.empty()) return EMPTY;
    const Recent& r = recent[recentIndex(key)];
    if (r.generation == generation && r.w1 == key.w1 && r.w2 == key.w2 && r.length == key.length)
      return r.value;
    return EMPTY;
  }

  // The main table's answer given the hash, remembered in the front table.
  int32_t findAndRemember(std::string_view text, const ShortKey& key, bool isShort, uint64_t hash) {
    const int32_t value = static_cast<const TextTable&>(*this).find(text, hash);
    if (isShort && value != EMPTY) remember(key, value);
    return value;
  }

  // Starts loading the slot where a look-up of this hash begins.
  void prefetch(uint64_t hash) const { __builtin_prefetch(&slots[hash & (slots.size() - 1)]); }

  // The value stored for text, or EMPTY, given the text's hashText().
  int32_t find(std::string_view text, uint64_t hash) const {
    const size_t mask = slots.size() - 1;
    const uint32_t tag = tagOf(hash);
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots[i];
      if (s.value == FREE) return EMPTY;
      if (s.tag == tag && keyEquals(s, text)) return s.value;
    }
  }

  // Stores value (not EMPTY) for text, adding the text if it is new.
  void set(std::string_view text, uint64_t hash, int32_t value) {
    ShortKey key;
    if (key.assign(text)) remember(key, value);
    if ((count + 1) * 4 > slots.size() * 3) rehash(slots.size() * 2);
    const size_t mask = slots.size() - 1;
    const uint32_t tag = tagOf(hash);
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& s = slots[i];
      if (s.value == FREE) {
        s.tag = tag;
        s.ref = store(text);
        s.value = value;
        ++count;
        return;
      }
      if (s.tag == tag && keyEquals(s, text)) {
        s.value = value;
        return;
      }
    }
  }

  // Calls f(text, value) for each entry, in no particular order.
  template <class F>
  void forEach(F&& f) const {
    for (const Slot& s : slots)
      if (s.value != FREE) f(keyOf(s), s.value);
  }

  // Forgets every entry, in time proportional to what the last window held:
  // the slot array is cut back to fit it, since the next window is likely alike.
  void clear() {
    if (arena.capacity() > (1u << 20) && arena.size() * 8 < arena.capacity())
      std::string().swap(arena);
    arena.clear();
    // Cut back only a table far larger than the last window needed, so
    // that a steady window neither regrows nor pays for idle slots.
    size_t fit = 16;
    while (fit * 3 < count * 4) fit *= 2;
    if (fit * 4 <= slots.size())
      std::vector<Slot>(fit * 2).swap(slots);
    else
      std::fill(slots.begin(), slots.end(), Slot{});
    count = 0;
    if (++generation == 0) {
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
  static constexpr size_t RECENT_SIZE = RECENT_TABLE_SIZE;

  static size_t recentIndex(const ShortKey& key) {
    const uint64_t mixed =
        (key.w1 * 0x9e3779b97f4a7c15ULL) ^ (key.w2 * 0xc2b2ae3d27d4eb4fULL) ^ key.length;
    return static_cast<size_t>(mixed >> 52) & (RECENT_SIZE - 1);
  }

  void remember(const ShortKey& key, int32_t value) {
    if (recent.empty()) recent.resize(RECENT_SIZE);
    Recent& r = recent[recentIndex(key)];
    r.w1 = key.w1;
    r.w2 = key.w2;
    r.length = key.length;
    r.value = value;
    r.generation = generation;
  }

  // 16 bytes, so that a large window's table stays in cache longer. `ref`
  // packs the key's arena offset (high 40 bits) and length (low 24 bits; the
  // maximum means the real length sits in the 8 bytes before the key).
  static constexpr int32_t FREE = INT32_MIN;
  static constexpr uint64_t LONG_KEY = (uint64_t{1} << 24) - 1;
  struct Slot {
    uint32_t tag = 0;  // high half of the hash, to skip most key compares
    int32_t value = FREE;
    uint64_t ref = 0;
  };

  std::vector<Slot> slots;
  // Allocated on the first entry, so that an unused table (a session's
  // copy before its pass) costs neither the allocation nor the copy.
  std::vector<Recent> recent;
  std::string arena;
  size_t count = 0;
  uint32_t generation = 1;

  static uint32_t tagOf(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

  std::string_view keyOf(const Slot& s) const {
    const uint64_t offset = s.ref >> 24;
    uint64_t length = s.ref & LONG_KEY;
    if (length == LONG_KEY) std::memcpy(&length, arena.data() + offset - 8, 8);
    return std::string_view(arena.data() + offset, length);
  }

  bool keyEquals(const Slot& s, std::string_view text) const {
    const uint64_t short_length = s.ref & LONG_KEY;
    if (short_length != LONG_KEY && short_length != text.size()) return false;
    const std::string_view key = keyOf(s);
    return key.size() == text.size() && equalBytes(key.data(), text.data(), text.size());
  }

  // Appends the key to the arena and returns its packed reference.
  uint64_t store(std::string_view text) {
    uint64_t length = text.size();
    if (length >= LONG_KEY) {
      arena.append(reinterpret_cast<const char*>(&length), 8);
      length = LONG_KEY;
    }
    const uint64_t offset = arena.size();
    if (offset >= (uint64_t{1} << 40)) throw std::length_error("value cache is full");
    arena.append(text.data(), text.size());
    return (offset << 24) | length;
  }

  void rehash(size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots);
    const size_t mask = slots.size() - 1;
    for (const Slot& s : old) {
      if (s.value == FREE) continue;
      size_t i = hashText(keyOf(s)) & mask;
      while (slots[i].value != FREE) i = (i + 1) & mask;
      slots[i] = s;
    }
  }
};

// The entries a value cache would gain, in the order they were met, in a
// form that costs an append instead of a look-up: each text with its value.
// A short text already appended since it was last seen under the same
// filter slot is skipped, so repeated texts cost little room.
class TextLog {
 public:
  bool empty() const { return count == 0; }

  // Requires text.size() <= MAX_TEXT; key and isShort as ShortKey::assign
  // gave them for text. A short text's tag is kept for recentTag.
  void append(std::string_view text, const ShortKey& key, bool isShort, int32_t value,
              int32_t tag) {
    if (isShort) {
      if (filter.empty()) filter.resize(FILTER_SIZE);
      Seen& s = filter[slotOf(key)];
      if (s.generation == generation && s.key == key) return;
      s.key = key;
      s.generation = generation;
      s.tag = tag;
    }
    const Header h{value, static_cast<uint16_t>(text.size())};
    const size_t need = sizeof h + text.size();
    if (blocks.empty() || fill + need > blocks[current].size()) nextBlock(need);
    char* at = blocks[current].data() + fill;
    std::memcpy(at, &h, sizeof h);
    std::memcpy(at + sizeof h, text.data(), text.size());
    fill += need;
    ++count;
  }

  // Number of entries.
  size_t size() const { return count; }

  // Whether text is an entry; walks the whole log.
  bool contains(std::string_view text) const {
    bool found = false;
    forEach([&](std::string_view entry, int32_t) {
      found = found ||
              (entry.size() == text.size() && equalBytes(entry.data(), text.data(), text.size()));
    });
    return found;
  }

  // Whether this short text was appended since the log was last emptied and
  // is still known to the filter; if so, its tag goes to tag.
  bool recentTag(const ShortKey& key, int32_t& tag) const {
    if (filter.empty()) return false;
    const Seen& s = filter[slotOf(key)];
    if (s.generation != generation || !(s.key == key)) return false;
    tag = s.tag;
    return true;
  }

  // Calls f(text, value) for each entry, oldest first.
  template <class F>
  void forEach(F&& f) const {
    for (size_t b = 0; b < blocks.size() && b <= current; ++b) {
      const char* data = blocks[b].data();
      const size_t end = b == current ? fill : used[b];
      for (size_t at = 0; at < end;) {
        Header h;
        std::memcpy(&h, data + at, sizeof h);
        at += sizeof h;
        f(std::string_view(data + at, h.length), h.value);
        at += h.length;
      }
    }
  }

  // Forgets every entry; keeps the blocks the last window filled, since the
  // next window is likely alike, and frees the rest.
  void clear() {
    if (!blocks.empty()) {
      blocks.resize(current + 1);
      used.resize(current + 1);
    }
    current = 0;
    fill = 0;
    count = 0;
    forgetRecent();
  }

  // Keeps the entries but forgets which texts were appended lately: from
  // here on recentTag knows only texts appended from now on.
  void forgetRecent() {
    if (++generation == 0) {
      for (auto& s : filter) s.generation = 0;
      generation = 1;
    }
  }

  static constexpr size_t MAX_TEXT = UINT16_MAX;

 private:
  struct Header {
    int32_t value;
    uint16_t length;
  } __attribute__((packed));
  struct Seen {
    ShortKey key;
    uint32_t generation = 0;
    int32_t tag = 0;
  };
  static constexpr size_t FILTER_SIZE = LOG_FILTER_SIZE;
  // Entries go to blocks that double from FIRST_BLOCK up to BLOCK, so that
  // the log never holds much more room than its entries take, a short pass
  // does not pay for a large block, and entries are never copied to grow.
  static constexpr size_t FIRST_BLOCK = LOG_FIRST_BLOCK;
  static constexpr size_t BLOCK = size_t{1} << 20;
  static_assert(sizeof(Header) + MAX_TEXT <= BLOCK, "an entry fits a block");

  static size_t slotOf(const ShortKey& key) {
    const uint64_t mixed =
        (key.w1 * 0x9e3779b97f4a7c15ULL) ^ (key.w2 * 0xc2b2ae3d27d4eb4fULL) ^ key.length;
    return static_cast<size_t>(mixed >> 54) & (FILTER_SIZE - 1);
  }

  // Moves to the next block, one that holds at least need bytes.
  void nextBlock(size_t need) {
    if (!blocks.empty()) {
      used[current] = fill;
      ++current;
    }
    const size_t size =
        std::max(need, std::min(BLOCK, FIRST_BLOCK << std::min<size_t>(current, 8)));
    if (current == blocks.size()) {
      blocks.emplace_back(size);
      used.push_back(0);
    } else if (blocks[current].size() < size) {
      blocks[current].resize(size);
    }
    fill = 0;
  }

  std::vector<std::vector<char>> blocks;
  std::vector<size_t> used;  // bytes filled, per block before the current one
  size_t current = 0;        // the block being filled
  size_t fill = 0;           // bytes filled in it
  size_t count = 0;
  std::vector<Seen> filter;  // allocated on the first short text
  uint32_t generation = 1;
};

// A field on its way to the value cache, with what its look-up needs; a
// look-ahead fills it early, so that the loads of several fields overlap.
struct FieldProbe {
  std::string_view text;
  ShortKey key;
  bool isShort = false;
  bool hashed = false;
  int32_t early = TextTable::EMPTY;  // the cache's answer, when known early
  uint64_t hash = 0;

  FieldProbe() = default;
  explicit FieldProbe(std::string_view t) : text(t), isShort(key.assign(t)) {}

  uint64_t textHash() {
    if (!hashed) {
      hash = hashText(text);
      hashed = true;
    }
    return hash;
  }
};

// The value cache of a session or of one range of a split pass: the table,
// the log of the entries it would have gained, and whether it holds entries
// made under an earlier pattern table.
struct ValueCache {
  TextTable table;
  TextLog log;
  bool foreign = false;

  // Turns the log into table entries.
  void materialise() {
    log.forEach([this](std::string_view text, int32_t id) { table.set(text, hashText(text), id); });
    log.clear();
  }

  void clear() {
    table.clear();
    log.clear();
    foreign = false;
  }

  // Adds every entry of other, table and log, to this table.
  void absorb(const ValueCache& other) {
    auto add = [this](std::string_view text, int32_t id) { table.set(text, hashText(text), id); };
    other.table.forEach(add);
    other.log.forEach(add);
  }
};
