// How the ranges of one file, classified at once, become the sequential
// pass's rows: a range after the first guesses where its first row starts,
// and the range before it reports the true start. The split pass and the
// package's ranges on an executor both chain their ranges here.
#pragma once

#include <cstddef>
#include <cstdint>

// Makes each range start where the one before ended, in file order: a range
// whose guessed start is not the true one is read again from there.
// startOf(i) and nextOf(i) give range i's first row start and the start of
// the row after its last; reread(i, start) replaces range i.
template <class StartOf, class NextOf, class Reread>
void chainRanges(size_t count, StartOf startOf, NextOf nextOf, Reread reread) {
  for (size_t i = 1; i < count; ++i) {
    const uint64_t trueStart = nextOf(i - 1);
    if (startOf(i) != trueStart) reread(i, trueStart);
  }
}
