// Transcoding to UTF-8 as a step of the input pipeline, through the C
// library's iconv, so that the tokenizer and the patterns meet UTF-8 whatever
// the source encoding.
#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>

#include "byte_filter.h"

class Transcoder : public ByteFilter {
 public:
  class NotAsciiCompatible : public std::invalid_argument {
   public:
    using std::invalid_argument::invalid_argument;
  };

  // A conversion from `encoding` (an iconv name) to UTF-8. Throws
  // std::invalid_argument when the C library does not know the encoding, or
  // when ASCII text does not read as itself in it (EBCDIC, UTF-7), UTF-16
  // and UTF-32 aside (then NotAsciiCompatible, so that callers can say why).
  explicit Transcoder(const std::string& encoding);
  ~Transcoder() override;
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // True for a name of UTF-8 itself (any case, with or without a dash), or
  // an empty name: the bytes need no transcoding.
  static bool isUtf8(const std::string& encoding);

  // A byte-order mark at the start is dropped: it tells the encoding and is
  // no text. Faults name the encoding on bytes that do not decode.
  size_t run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap,
             bool finish) override;
  bool complete() const override { return !m_partial; }
  std::string name() const override { return m_encoding; }

 private:
  std::string m_encoding;
  iconv_t m_cd;
  bool m_partial = false;  // the input so far ends inside a character
  bool m_atStart = true;   // no output yet: a byte-order mark may come
  bool m_flushed = false;  // the shift state was closed at the end

  size_t dropByteOrderMark(char* out, size_t produced);
};
