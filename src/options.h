// The settings of a session beyond its public members, grouped by stage as
// plain structs: how the bytes are read, how rows are parsed from them, and
// what a pass gathers beyond the counts. The private setters fill them.
#pragma once

#include <string>
#include <vector>

#include "input_source.h"
#include "reading_rules.h"

// Decompression, the encoding transcoded from, and the zip member read.
using ReadOptions = InputSource::Settings;
// Skipped lines, blank lines and comments, and whether a header comes first.
using ParseOptions = ReadingRules;

struct ExtrasOptions {
  // < 0: off. 0: row widths and longest fields. k > 0: also up to k
  // distinct texts per position and type.
  int examplesPerType = -1;
  // Types whose fields are checked for being exactly a double as written,
  // and for fitting a signed 64-bit integer.
  std::vector<std::string> doubleChecks, int64Checks;

  bool on() const { return examplesPerType >= 0; }
};
