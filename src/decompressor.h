// Decompression as a step of the input pipeline: the format is told by the
// first bytes of the input, never by a file name. A zip archive's members
// are decoded by ZipArchive (zip_archive.h), which finds them.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "byte_filter.h"

class Decompressor : public ByteFilter {
 public:
  enum class Format { PLAIN, GZIP, ZSTD, BZIP2, XZ, ZIP };

  // Bytes that detect() needs to tell every format apart; fewer will do
  // when the input is shorter.
  static constexpr size_t MAGIC_BYTES = 10;

  // The format whose magic bytes start `head`; PLAIN when none does.
  static Format detect(std::string_view head);
  // The format's name as messages and settings spell it: "gzip", "plain".
  static const char* formatName(Format format);
  // A fresh decompressor for a compressed format (not PLAIN or ZIP). Every format
  // takes several members or frames one after another as one stream.
  static std::unique_ptr<Decompressor> make(Format format);

  Format format() const { return m_format; }
  std::string name() const final { return formatName(m_format); }

 protected:
  explicit Decompressor(Format format) : m_format(format) {}

 private:
  Format m_format;
};
