// Compressed test data made with the compression libraries themselves, in
// memory, for the input-stream tests, the fuzz seeds and the benchmarks.
#pragma once

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace compressors {

// One gzip member. With `extra` set, the header carries it as its extra
// field, as bgzip's blocks do.
inline std::string gzipMember(std::string_view text, int level = 6, std::string extra = "") {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  gz_header header{};
  if (!extra.empty()) {
    header.extra = reinterpret_cast<Bytef*>(extra.data());
    header.extra_len = static_cast<uInt>(extra.size());
    deflateSetHeader(&z, &header);
  }
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + extra.size() + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

// Splits text into pieces of at most `piece` bytes.
inline std::vector<std::string_view> pieces(std::string_view text, size_t piece) {
  std::vector<std::string_view> out;
  for (size_t at = 0; at < text.size(); at += piece) out.push_back(text.substr(at, piece));
  return out;
}

// Members of at most `piece` input bytes each, one after another.
inline std::string gzipMembers(std::string_view text, size_t piece) {
  std::string out;
  for (const std::string_view part : pieces(text, piece)) out += gzipMember(part);
  return out;
}

// bgzip's layout: members of at most 64 KiB with a "BC" extra field, and
// an empty member closing the file.
inline std::string bgzip(std::string_view text) {
  constexpr size_t BGZF_BLOCK = 65280;
  // Subfield "BC", length 2, then the block size, which readers of the
  // stream as gzip ignore.
  const std::string extra("BC\x02\x00\x00\x00", 6);
  std::string out;
  for (const std::string_view part : pieces(text, BGZF_BLOCK)) out += gzipMember(part, 6, extra);
  return out + gzipMember("", 6, extra);
}

inline std::string zstdFrame(std::string_view text, int level = 3) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const size_t n = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), level);
  if (ZSTD_isError(n)) throw std::runtime_error(ZSTD_getErrorName(n));
  out.resize(n);
  return out;
}

inline std::string zstdFrames(std::string_view text, size_t piece) {
  std::string out;
  for (const std::string_view part : pieces(text, piece)) out += zstdFrame(part);
  return out;
}

// A skippable frame (magic 0x184D2A50, 4 bytes of content).
inline std::string zstdSkippable() { return std::string("\x50\x2a\x4d\x18\x04\0\0\0abcd", 12); }

inline std::string bzip2(std::string_view text, int blockSize100k = 9) {
  std::string out(text.size() + text.size() / 100 + 600, '\0');
  auto len = static_cast<unsigned>(out.size());
  const int rc = BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(text.data()),
                                          static_cast<unsigned>(text.size()), blockSize100k, 0, 0);
  if (rc != BZ_OK) throw std::runtime_error("bzip2 compression failed");
  out.resize(len);
  return out;
}

inline std::string xz(std::string_view text, uint32_t preset = 6) {
  std::string out(lzma_stream_buffer_bound(text.size()), '\0');
  size_t len = 0;
  const lzma_ret rc = lzma_easy_buffer_encode(
      preset, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
      reinterpret_cast<uint8_t*>(out.data()), &len, out.size());
  if (rc != LZMA_OK) throw std::runtime_error("xz compression failed");
  out.resize(len);
  return out;
}

// Raw deflate, as a zip member holds it: no zlib or gzip wrapping.
inline std::string rawDeflate(std::string_view text, int level = 6) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

// A member of the archive zipArchive() writes. Method 0 stores the text, 8
// deflates it, 12 compresses it with bzip2; `flags` and `sizeSkew` (added to
// the size the entry states) make entries that a reader must refuse.
struct ZipEntry {
  std::string name;
  std::string text;
  uint16_t method = 8;
  uint16_t flags = 0;
  int64_t sizeSkew = 0;
};

inline void putLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xff));
}

// A zip archive as a writer of the format lays it out: local headers and
// data, the central directory, and the end record with `comment`. With
// zip64, every entry keeps its sizes and offset in a ZIP64 extra field and
// the directory is found through the ZIP64 end record.
inline std::string zipArchive(const std::vector<ZipEntry>& entries, bool zip64 = false,
                              const std::string& comment = "") {
  constexpr uint32_t IN_ZIP64 = 0xffffffff;
  constexpr uint16_t ZIP64_EXTRA_BYTES = 28;
  std::string out, directory;
  for (const ZipEntry& e : entries) {
    const std::string data = e.method == 8    ? rawDeflate(e.text)
                             : e.method == 12 ? bzip2(e.text)
                                              : e.text;
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.text.data()), static_cast<uInt>(e.text.size())));
    const uint64_t size = static_cast<uint64_t>(static_cast<int64_t>(e.text.size()) + e.sizeSkew);
    const uint64_t offset = out.size();
    putLe(out, 0x04034b50, 4);
    putLe(out, 45, 2);
    putLe(out, e.flags, 2);
    putLe(out, e.method, 2);
    putLe(out, 0, 4);  // time and date
    putLe(out, crc, 4);
    putLe(out, data.size(), 4);
    putLe(out, size, 4);
    putLe(out, e.name.size(), 2);
    putLe(out, 0, 2);
    out += e.name + data;

    putLe(directory, 0x02014b50, 4);
    putLe(directory, 45, 2);
    putLe(directory, 45, 2);
    putLe(directory, e.flags, 2);
    putLe(directory, e.method, 2);
    putLe(directory, 0, 4);
    putLe(directory, crc, 4);
    putLe(directory, zip64 ? IN_ZIP64 : data.size(), 4);
    putLe(directory, zip64 ? IN_ZIP64 : size, 4);
    putLe(directory, e.name.size(), 2);
    putLe(directory, zip64 ? ZIP64_EXTRA_BYTES : 0, 2);
    putLe(directory, 0, 6);  // comment length, disk, internal attributes
    putLe(directory, 0, 4);  // external attributes
    putLe(directory, zip64 ? IN_ZIP64 : offset, 4);
    directory += e.name;
    if (zip64) {
      putLe(directory, 0x0001, 2);
      putLe(directory, ZIP64_EXTRA_BYTES - 4, 2);
      putLe(directory, size, 8);
      putLe(directory, data.size(), 8);
      putLe(directory, offset, 8);
    }
  }
  const uint64_t directoryAt = out.size();
  out += directory;
  if (zip64) {
    const uint64_t recordAt = out.size();
    putLe(out, 0x06064b50, 4);
    putLe(out, 44, 8);  // the record's bytes after this field
    putLe(out, 45, 2);
    putLe(out, 45, 2);
    putLe(out, 0, 8);  // disks
    putLe(out, entries.size(), 8);
    putLe(out, entries.size(), 8);
    putLe(out, directory.size(), 8);
    putLe(out, directoryAt, 8);
    putLe(out, 0x07064b50, 4);
    putLe(out, 0, 4);
    putLe(out, recordAt, 8);
    putLe(out, 1, 4);
  }
  putLe(out, 0x06054b50, 4);
  putLe(out, 0, 4);  // disks
  putLe(out, zip64 ? 0xffff : entries.size(), 2);
  putLe(out, zip64 ? 0xffff : entries.size(), 2);
  putLe(out, zip64 ? IN_ZIP64 : directory.size(), 4);
  putLe(out, zip64 ? IN_ZIP64 : directoryAt, 4);
  putLe(out, comment.size(), 2);
  return out + comment;
}

}  // namespace compressors
