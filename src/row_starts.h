// The byte offsets of the last row starts a pass met, up to a capacity: a
// range's tail can be read again from one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class RowStarts {
 public:
  void reserve(size_t capacity);
  void add(uint64_t offset);
  // The offset where row `row` (counted from the range's first) starts, when
  // it is still held; false otherwise.
  bool find(uint64_t row, uint64_t& offset) const;

 private:
  std::vector<uint64_t> ring;
  size_t capacity = 0;
  uint64_t seen = 0;
};
