#include "row_starts.h"

void RowStarts::reserve(size_t capacity) {
  this->capacity = capacity;
  ring.clear();
  seen = 0;
}

void RowStarts::add(uint64_t offset) {
  if (capacity == 0) return;
  if (ring.size() < capacity)
    ring.push_back(offset);
  else
    ring[seen % capacity] = offset;
  ++seen;
}

bool RowStarts::find(uint64_t row, uint64_t& offset) const {
  if (row >= seen || seen - row > ring.size()) return false;
  offset = ring[row % capacity];
  return true;
}
