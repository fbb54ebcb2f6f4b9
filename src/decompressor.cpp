#include "decompressor.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace {

constexpr unsigned char GZIP_MAGIC[] = {0x1f, 0x8b, 0x08};
constexpr unsigned char ZSTD_MAGIC[] = {0x28, 0xb5, 0x2f, 0xfd};
// A zstd file may open with a skippable frame (magic 0x184D2A50 to 0x184D2A5F).
constexpr unsigned char ZSTD_SKIPPABLE_TAIL[] = {0x2a, 0x4d, 0x18};
constexpr unsigned char XZ_MAGIC[] = {0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00};
// "BZh" and a block size digit, then the magic of the first block, or that
// of the stream's end when it holds no block.
constexpr unsigned char BZIP2_BLOCK[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr unsigned char BZIP2_END[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
// A zip archive opens with its first member's local header, or, when it has
// no member, with its end record.
constexpr unsigned char ZIP_MEMBER_MAGIC[] = {'P', 'K', 0x03, 0x04};
constexpr unsigned char ZIP_EMPTY_MAGIC[] = {'P', 'K', 0x05, 0x06};
// What an xz stream may claim for its dictionary: xz -9 needs 65 MiB.
constexpr uint64_t XZ_MEMORY_LIMIT = uint64_t{512} << 20;
// gzip wrapping only, with the largest window.
constexpr int GZIP_WINDOW_BITS = 15 + 16;

template <size_t N>
bool startsWith(std::string_view head, const unsigned char (&magic)[N], size_t at = 0) {
  return head.size() >= at + N && std::memcmp(head.data() + at, magic, N) == 0;
}

bool isBzip2(std::string_view head) {
  constexpr size_t BLOCK_MAGIC_AT = 4;
  if (head.size() < BLOCK_MAGIC_AT || head.compare(0, 3, "BZh") != 0) return false;
  if (head[3] < '1' || head[3] > '9') return false;
  return startsWith(head, BZIP2_BLOCK, BLOCK_MAGIC_AT) ||
         startsWith(head, BZIP2_END, BLOCK_MAGIC_AT);
}

bool isZstd(std::string_view head) {
  if (startsWith(head, ZSTD_MAGIC)) return true;
  return head.size() >= 4 && (static_cast<unsigned char>(head[0]) & 0xf0) == 0x50 &&
         startsWith(head, ZSTD_SKIPPABLE_TAIL, 1);
}

// Several gzip members (bgzip's blocks among them) read as one stream.
class GzipDecompressor : public Decompressor {
 public:
  GzipDecompressor() : Decompressor(Format::GZIP) {
    if (inflateInit2(&m_z, GZIP_WINDOW_BITS) != Z_OK) throw std::bad_alloc();
  }
  ~GzipDecompressor() override { inflateEnd(&m_z); }

  size_t run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap, bool) override {
    m_z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    m_z.avail_in = static_cast<uInt>(inLen);
    m_z.next_out = reinterpret_cast<Bytef*>(out);
    m_z.avail_out = static_cast<uInt>(outCap);
    while (m_z.avail_out > 0 && (m_z.avail_in > 0 || m_open)) {
      m_open = true;
      const int rc = inflate(&m_z, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        m_open = false;
        inflateReset(&m_z);
      } else if (rc == Z_BUF_ERROR) {
        break;  // no progress without more input
      } else if (rc == Z_MEM_ERROR) {
        throw std::bad_alloc();
      } else if (rc != Z_OK) {
        throw Fault(m_z.msg ? m_z.msg : "invalid data", inLen - m_z.avail_in);
      }
    }
    used = inLen - m_z.avail_in;
    return outCap - m_z.avail_out;
  }

  bool complete() const override { return !m_open; }

 private:
  z_stream m_z{};
  bool m_open = false;  // a member has begun and not ended
};

// Frames one after another, skippable frames among them.
class ZstdDecompressor : public Decompressor {
 public:
  ZstdDecompressor() : Decompressor(Format::ZSTD), m_d(ZSTD_createDStream()) {
    if (m_d == nullptr) throw std::bad_alloc();
  }
  ~ZstdDecompressor() override { ZSTD_freeDStream(m_d); }

  size_t run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap, bool) override {
    ZSTD_inBuffer input{in, inLen, 0};
    ZSTD_outBuffer output{out, outCap, 0};
    while (output.pos < output.size && (input.pos < input.size || m_open)) {
      const size_t inBefore = input.pos, outBefore = output.pos;
      const size_t rc = ZSTD_decompressStream(m_d, &output, &input);
      if (ZSTD_isError(rc)) throw Fault(ZSTD_getErrorName(rc), input.pos);
      m_open = rc != 0;
      if (input.pos == inBefore && output.pos == outBefore) break;
    }
    used = input.pos;
    return output.pos;
  }

  bool complete() const override { return !m_open; }

 private:
  ZSTD_DStream* m_d;
  bool m_open = false;  // a frame has begun and is not fully handed out
};

// Streams one after another, as parallel compressors write them.
class Bzip2Decompressor : public Decompressor {
 public:
  Bzip2Decompressor() : Decompressor(Format::BZIP2) { start(); }
  ~Bzip2Decompressor() override { BZ2_bzDecompressEnd(&m_s); }

  size_t run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap, bool) override {
    m_s.next_in = const_cast<char*>(in);
    m_s.avail_in = static_cast<unsigned>(inLen);
    m_s.next_out = out;
    m_s.avail_out = static_cast<unsigned>(outCap);
    while (m_s.avail_out > 0 && (m_s.avail_in > 0 || m_open)) {
      m_open = true;
      const unsigned inBefore = m_s.avail_in, outBefore = m_s.avail_out;
      const int rc = BZ2_bzDecompress(&m_s);
      if (rc == BZ_STREAM_END) {
        m_open = false;
        restart();
      } else if (rc == BZ_MEM_ERROR) {
        throw std::bad_alloc();
      } else if (rc != BZ_OK) {
        throw Fault(reason(rc), inLen - m_s.avail_in);
      } else if (m_s.avail_in == inBefore && m_s.avail_out == outBefore) {
        break;
      }
    }
    used = inLen - m_s.avail_in;
    return outCap - m_s.avail_out;
  }

  bool complete() const override { return !m_open; }

 private:
  bz_stream m_s{};
  bool m_open = false;  // a stream has begun and not ended

  void start() {
    if (BZ2_bzDecompressInit(&m_s, 0, 0) != BZ_OK) throw std::bad_alloc();
  }
  // A new stream may follow; the buffers given stay in place.
  void restart() {
    bz_stream kept = m_s;
    BZ2_bzDecompressEnd(&m_s);
    m_s = bz_stream{};
    start();
    m_s.next_in = kept.next_in;
    m_s.avail_in = kept.avail_in;
    m_s.next_out = kept.next_out;
    m_s.avail_out = kept.avail_out;
  }
  static const char* reason(int rc) {
    if (rc == BZ_DATA_ERROR_MAGIC) return "not a bzip2 stream";
    if (rc == BZ_DATA_ERROR) return "corrupt data";
    return "decoder error";
  }
};

// Concatenated streams; the decoder alone knows where the last one ends,
// which it tells once the input is finished.
class XzDecompressor : public Decompressor {
 public:
  XzDecompressor() : Decompressor(Format::XZ) {
    if (lzma_stream_decoder(&m_s, XZ_MEMORY_LIMIT, LZMA_CONCATENATED) != LZMA_OK)
      throw std::bad_alloc();
  }
  ~XzDecompressor() override { lzma_end(&m_s); }

  size_t run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap,
             bool finish) override {
    used = 0;
    if (m_done) return 0;
    m_s.next_in = reinterpret_cast<const uint8_t*>(in);
    m_s.avail_in = inLen;
    m_s.next_out = reinterpret_cast<uint8_t*>(out);
    m_s.avail_out = outCap;
    while (m_s.avail_out > 0) {
      const size_t inBefore = m_s.avail_in, outBefore = m_s.avail_out;
      const lzma_ret rc = lzma_code(&m_s, finish ? LZMA_FINISH : LZMA_RUN);
      if (rc == LZMA_STREAM_END) {
        m_done = true;
        break;
      }
      if (rc == LZMA_BUF_ERROR) break;
      if (rc == LZMA_MEM_ERROR) throw std::bad_alloc();
      if (rc != LZMA_OK) throw Fault(reason(rc), inLen - m_s.avail_in);
      if (m_s.avail_in == inBefore && m_s.avail_out == outBefore) break;
    }
    used = inLen - m_s.avail_in;
    return outCap - m_s.avail_out;
  }

  bool complete() const override { return m_done; }

 private:
  lzma_stream m_s = LZMA_STREAM_INIT;
  bool m_done = false;

  static std::string reason(lzma_ret rc) {
    switch (rc) {
      case LZMA_FORMAT_ERROR:
        return "not an xz stream";
      case LZMA_OPTIONS_ERROR:
        return "unsupported options";
      case LZMA_MEMLIMIT_ERROR:
        return "needs more than " + std::to_string(XZ_MEMORY_LIMIT >> 20) +
               " MiB of memory to decompress";
      default:
        return "corrupt data";
    }
  }
};

}  // namespace

Decompressor::Format Decompressor::detect(std::string_view head) {
  if (startsWith(head, GZIP_MAGIC)) return Format::GZIP;
  if (isZstd(head)) return Format::ZSTD;
  if (startsWith(head, XZ_MAGIC)) return Format::XZ;
  if (isBzip2(head)) return Format::BZIP2;
  if (startsWith(head, ZIP_MEMBER_MAGIC) || startsWith(head, ZIP_EMPTY_MAGIC)) return Format::ZIP;
  return Format::PLAIN;
}

const char* Decompressor::formatName(Format format) {
  switch (format) {
    case Format::GZIP:
      return "gzip";
    case Format::ZSTD:
      return "zstd";
    case Format::BZIP2:
      return "bzip2";
    case Format::XZ:
      return "xz";
    case Format::ZIP:
      return "zip";
    case Format::PLAIN:
      break;
  }
  return "plain";
}

std::unique_ptr<Decompressor> Decompressor::make(Format format) {
  switch (format) {
    case Format::GZIP:
      return std::make_unique<GzipDecompressor>();
    case Format::ZSTD:
      return std::make_unique<ZstdDecompressor>();
    case Format::BZIP2:
      return std::make_unique<Bzip2Decompressor>();
    case Format::XZ:
      return std::make_unique<XzDecompressor>();
    case Format::ZIP:
      throw std::invalid_argument("a zip member is decoded by its archive's decoder");
    case Format::PLAIN:
      break;
  }
  throw std::invalid_argument("plain input needs no decompressor");
}
