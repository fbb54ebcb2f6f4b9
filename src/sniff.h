// What the first bytes of an input decide before its pass: the compression,
// the encoding to read it by, and its first text as UTF-8, from which the
// package sniffs the delimiter and the layout. The rules live here alone, so
// the package never decompresses or decodes input itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decompressor.h"

struct SniffRequest {
  // The encoding asked for: an iconv name, AUTO_ENCODING, or empty for none
  // (UTF-8, unless a UTF-16 or UTF-32 byte order mark names another).
  std::string encoding;
  // Other spellings of that name, tried in order when the C library does not
  // know it as given; messages name it as given.
  std::vector<std::string> spellings;
  // Bytes of decompressed text wanted in the head.
  size_t wanted = 0;
  // Undo the compression the first bytes show; off for text already decoded
  // (a zip member's).
  bool decompress = true;
  // The input as messages name it.
  std::string name;
};

struct Sniff {
  Decompressor::Format compression = Decompressor::Format::PLAIN;
  // The bytes given do not tell yet: more of the input is needed. Nothing
  // below is set then, nor for a zip archive, whose members are sniffed.
  bool needsMore = false;
  // The iconv name to read by; empty: the bytes are UTF-8 as they are.
  std::string encoding;
  // Why `--encoding auto` chose what it chose, when that needs saying.
  std::string warning;
  // At most `wanted` bytes of decompressed text, as UTF-8, without a byte
  // order mark. Read as UTF-8, bytes that are not stay as they are; decoded,
  // the text stops before the first byte that does not decode.
  std::string text;
  // The text is all the input holds.
  bool complete = false;
  // Read as UTF-8: the offset in the decompressed text of the first byte that
  // is not UTF-8 (a character cut by the head's end is none); -1: none.
  int64_t notUtf8At = -1;
};

constexpr const char* AUTO_ENCODING = "auto";
// `--encoding auto` decides from at most this much decompressed text.
constexpr size_t AUTO_SAMPLE_BYTES = size_t{1} << 20;

// Sniffs `raw`, the first bytes of an input (`whole`: all of it). Throws
// std::invalid_argument, with the message users see, for an encoding that
// cannot be read or that contradicts the input's byte order mark.
Sniff sniff(std::string_view raw, bool whole, const SniffRequest& request);
