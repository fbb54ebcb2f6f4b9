#include "zip_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "input_source.h"

namespace {

constexpr uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;
constexpr uint32_t DIRECTORY_ENTRY_SIGNATURE = 0x02014b50;
constexpr uint32_t END_SIGNATURE = 0x06054b50;
constexpr uint32_t ZIP64_END_SIGNATURE = 0x06064b50;
constexpr uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr size_t LOCAL_HEADER_BYTES = 30;
constexpr size_t DIRECTORY_ENTRY_BYTES = 46;
constexpr size_t END_BYTES = 22;
constexpr size_t ZIP64_END_BYTES = 56;
constexpr size_t ZIP64_LOCATOR_BYTES = 20;
// Where each field used sits in its record.
namespace local {
constexpr size_t NAME_LENGTH = 26, EXTRA_LENGTH = 28;
}
namespace entry {
constexpr size_t FLAGS = 8, METHOD = 10, CRC = 16, COMPRESSED_SIZE = 20, SIZE = 24,
                 NAME_LENGTH = 28, EXTRA_LENGTH = 30, COMMENT_LENGTH = 32, HEADER_OFFSET = 42;
}
namespace end {
constexpr size_t ENTRIES = 10, DIRECTORY_SIZE = 12, DIRECTORY_OFFSET = 16, COMMENT_LENGTH = 20;
}
namespace zip64_end {
constexpr size_t ENTRIES = 32, DIRECTORY_SIZE = 40, DIRECTORY_OFFSET = 48;
}
namespace zip64_locator {
constexpr size_t END_OFFSET = 8;
}
// The end record may be followed by a comment of up to this many bytes.
constexpr size_t MAX_COMMENT_BYTES = 0xffff;
// The extra field that holds an entry's 64-bit sizes and offset; every extra
// field opens with its id and length, two bytes each.
constexpr uint16_t ZIP64_EXTRA_ID = 0x0001;
constexpr size_t EXTRA_HEADER_BYTES = 4;
// A field holding all ones stands for a value kept in a ZIP64 record.
constexpr uint16_t IN_ZIP64_16 = 0xffff;
constexpr uint32_t IN_ZIP64_32 = 0xffffffff;
// WinZip's AES encryption takes a method number of its own.
constexpr uint16_t AES_METHOD = 99;
// Method numbers as the format assigns them, by the names users know.
constexpr std::pair<uint16_t, const char*> METHOD_NAMES[] = {{ZipArchive::STORED, "stored"},
                                                             {1, "shrink"},
                                                             {6, "implode"},
                                                             {ZipArchive::DEFLATED, "deflate"},
                                                             {9, "deflate64"},
                                                             {12, "bzip2"},
                                                             {14, "lzma"},
                                                             {93, "zstd"},
                                                             {95, "xz"},
                                                             {98, "ppmd"},
                                                             {AES_METHOD, "AES encryption"}};
// Raw deflate: no zlib or gzip wrapping, the largest window.
constexpr int RAW_DEFLATE_BITS = -15;

uint16_t le16(const char* p) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}
uint32_t le32(const char* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint64_t le64(const char* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

std::string hex32(uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// Takes the entry's 64-bit values from its ZIP64 extra field, which holds,
// in this order, those whose 32-bit fields are all ones. False when one is
// needed and the field lacks it.
bool applyZip64(std::string_view extra, ZipArchive::Member& m) {
  uint64_t* wanted[3];
  size_t n = 0;
  if (m.size == IN_ZIP64_32) wanted[n++] = &m.size;
  if (m.compressedSize == IN_ZIP64_32) wanted[n++] = &m.compressedSize;
  if (m.headerOffset == IN_ZIP64_32) wanted[n++] = &m.headerOffset;
  if (n == 0) return true;
  for (size_t at = 0; extra.size() - at >= EXTRA_HEADER_BYTES;) {
    const char* field = extra.data() + at;
    const uint16_t length = le16(field + 2);
    if (extra.size() - at - EXTRA_HEADER_BYTES < length) break;
    if (le16(field) == ZIP64_EXTRA_ID) {
      if (length < sizeof(uint64_t) * n) return false;
      for (size_t i = 0; i < n; ++i)
        *wanted[i] = le64(field + EXTRA_HEADER_BYTES + sizeof(uint64_t) * i);
      return true;
    }
    at += EXTRA_HEADER_BYTES + length;
  }
  return false;
}

// A member's data, stored or deflated. Its CRC-32 and size are checked once
// its last byte is out, or as soon as it gives more than its entry says.
class MemberDecoder : public Decompressor {
 public:
  MemberDecoder(const ZipArchive::Member& member, std::string shown)
      : Decompressor(Format::ZIP),
        m_deflated(member.method == ZipArchive::DEFLATED),
        m_crc(member.crc),
        m_size(member.size),
        m_shown(std::move(shown)) {
    if (m_deflated && inflateInit2(&m_z, RAW_DEFLATE_BITS) != Z_OK) throw std::bad_alloc();
  }
  ~MemberDecoder() override {
    if (m_deflated) inflateEnd(&m_z);
  }

  size_t run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap, bool) override {
    const size_t got = m_deflated ? inflateSome(in, inLen, used, out, outCap)
                                  : copySome(in, inLen, used, out, outCap);
    m_seenCrc = crc32(m_seenCrc, reinterpret_cast<const Bytef*>(out), static_cast<uInt>(got));
    m_total += got;
    if (!m_checked && (ended() || m_total > m_size)) check();
    return got;
  }

  bool complete() const override { return ended(); }

 private:
  bool m_deflated;
  uint32_t m_crc;
  uint64_t m_size;
  std::string m_shown;
  z_stream m_z{};
  bool m_streamEnded = false;
  bool m_checked = false;
  uint32_t m_seenCrc = 0;
  uint64_t m_total = 0;

  bool ended() const { return m_deflated ? m_streamEnded : m_total == m_size; }

  static size_t copySome(const char* in, size_t inLen, size_t& used, char* out, size_t outCap) {
    used = std::min(inLen, outCap);
    std::memcpy(out, in, used);
    return used;
  }

  size_t inflateSome(const char* in, size_t inLen, size_t& used, char* out, size_t outCap) {
    if (m_streamEnded && inLen > 0) throw Fault("data after the end of its deflate stream", 0);
    m_z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    m_z.avail_in = static_cast<uInt>(inLen);
    m_z.next_out = reinterpret_cast<Bytef*>(out);
    m_z.avail_out = static_cast<uInt>(outCap);
    while (m_z.avail_out > 0 && !m_streamEnded) {
      const int rc = inflate(&m_z, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        m_streamEnded = true;
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

  void check() {
    m_checked = true;
    if (m_total == m_size && m_seenCrc == m_crc) return;
    throw InputError(m_shown + ": corrupt zip member: its text ends at byte " +
                     std::to_string(m_total) + " with CRC-32 " + hex32(m_seenCrc) +
                     ", where its directory entry says " + std::to_string(m_size) +
                     " bytes with CRC-32 " + hex32(m_crc));
  }
};

}  // namespace

ZipArchive::ZipArchive(int fd, const std::string& path) : m_fd(fd), m_path(path) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    throw InputError(path +
                     ": a zip archive is read from a regular file only: its directory is at"
                     " its end, which a pipe gives last");
  m_fileSize = static_cast<uint64_t>(info.st_size);
  uint64_t entries = 0, size = 0, offset = 0;
  findDirectory(entries, size, offset);
  readDirectory(entries, size, offset);
}

std::vector<ZipArchive::Member> ZipArchive::list(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InputError(path + ": " + std::strerror(errno));
  try {
    ZipArchive archive(fd, path);
    ::close(fd);
    return std::move(archive.m_members);
  } catch (...) {
    ::close(fd);
    throw;
  }
}

const ZipArchive::Member& ZipArchive::find(const std::string& name) const {
  const auto found = std::find_if(m_members.rbegin(), m_members.rend(),
                                  [&name](const Member& m) { return m.name == name; });
  if (found == m_members.rend())
    throw InputError(m_path + ": the zip archive has no member " + name);
  return *found;
}

uint64_t ZipArchive::dataOffset(const Member& member) const {
  const std::string header = readAt(member.headerOffset, LOCAL_HEADER_BYTES);
  if (le32(header.data()) != LOCAL_HEADER_SIGNATURE)
    corrupt("the local header of " + member.name + " is missing");
  const uint64_t at = member.headerOffset + LOCAL_HEADER_BYTES +
                      le16(header.data() + local::NAME_LENGTH) +
                      le16(header.data() + local::EXTRA_LENGTH);
  if (at > m_fileSize || member.compressedSize > m_fileSize - at)
    corrupt("the data of " + member.name + " runs past the end of the file");
  return at;
}

std::unique_ptr<Decompressor> ZipArchive::decoder(const Member& member, const std::string& shown) {
  if (member.encrypted() || member.method == AES_METHOD)
    throw InputError(shown + ": an encrypted zip member, which quorle cannot read");
  if (member.method != STORED && member.method != DEFLATED)
    throw InputError(shown + ": compressed with " + methodName(member.method) + " (zip method " +
                     std::to_string(member.method) +
                     "), which quorle cannot read: it reads stored and deflated members");
  if (member.method == STORED && member.compressedSize != member.size)
    throw InputError(shown + ": corrupt zip member: stored, with " +
                     std::to_string(member.compressedSize) + " bytes of data for " +
                     std::to_string(member.size) + " bytes of text");
  return std::make_unique<MemberDecoder>(member, shown);
}

std::string ZipArchive::methodName(uint16_t method) {
  for (const auto& [number, name] : METHOD_NAMES)
    if (number == method) return name;
  return "method " + std::to_string(method);
}

std::string ZipArchive::readAt(uint64_t offset, uint64_t length) const {
  if (offset > m_fileSize || length > m_fileSize - offset)
    corrupt("a record at byte " + std::to_string(offset) + " runs past the end of the file");
  std::string out(length, '\0');
  size_t got = 0;
  while (got < length) {
    const ssize_t n =
        ::pread(m_fd, out.data() + got, length - got, static_cast<off_t>(offset + got));
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      throw InputError(m_path + ": the zip archive shrank while it was read");
    } else if (errno != EINTR) {
      throw InputError(m_path + ": read error: " + std::strerror(errno));
    }
  }
  return out;
}

void ZipArchive::corrupt(const std::string& why) const {
  throw InputError(m_path + ": corrupt zip archive: " + why);
}

// The end record is the last one whose comment fits in what follows it.
void ZipArchive::findDirectory(uint64_t& entries, uint64_t& size, uint64_t& offset) const {
  const uint64_t tailStart =
      m_fileSize - std::min<uint64_t>(m_fileSize, END_BYTES + MAX_COMMENT_BYTES);
  const std::string tail = readAt(tailStart, m_fileSize - tailStart);
  for (size_t at = tail.size() < END_BYTES ? 0 : tail.size() - END_BYTES + 1; at-- > 0;) {
    const char* record = tail.data() + at;
    if (le32(record) != END_SIGNATURE ||
        le16(record + end::COMMENT_LENGTH) > tail.size() - at - END_BYTES)
      continue;
    const uint64_t endAt = tailStart + at;
    entries = le16(record + end::ENTRIES);
    size = le32(record + end::DIRECTORY_SIZE);
    offset = le32(record + end::DIRECTORY_OFFSET);
    if (entries == IN_ZIP64_16 || size == IN_ZIP64_32 || offset == IN_ZIP64_32)
      readZip64End(endAt, entries, size, offset);  // if there is one
    if (size > endAt || offset > endAt - size) corrupt("its directory lies past its end record");
    return;
  }
  throw InputError(m_path +
                   ": not a zip archive, or one cut short: it has no end of central directory"
                   " record");
}

// All ones in an end record field may be the value itself: a writer that needs
// no ZIP64 records (65,535 entries fit in 16 bits) writes no locator either.
void ZipArchive::readZip64End(uint64_t endAt, uint64_t& entries, uint64_t& size,
                              uint64_t& offset) const {
  if (endAt < ZIP64_LOCATOR_BYTES) return;
  const uint64_t locatorAt = endAt - ZIP64_LOCATOR_BYTES;
  const std::string locator = readAt(locatorAt, ZIP64_LOCATOR_BYTES);
  if (le32(locator.data()) != ZIP64_LOCATOR_SIGNATURE) return;
  const uint64_t recordAt = le64(locator.data() + zip64_locator::END_OFFSET);
  if (recordAt > locatorAt || locatorAt - recordAt < ZIP64_END_BYTES)
    corrupt("its ZIP64 end record is out of place");
  const std::string record = readAt(recordAt, ZIP64_END_BYTES);
  if (le32(record.data()) != ZIP64_END_SIGNATURE) corrupt("its ZIP64 end record is missing");
  entries = le64(record.data() + zip64_end::ENTRIES);
  size = le64(record.data() + zip64_end::DIRECTORY_SIZE);
  offset = le64(record.data() + zip64_end::DIRECTORY_OFFSET);
}

void ZipArchive::readDirectory(uint64_t entries, uint64_t size, uint64_t offset) {
  if (entries > size / DIRECTORY_ENTRY_BYTES)
    corrupt("its directory is too short for its " + std::to_string(entries) + " entries");
  const std::string directory = readAt(offset, size);
  m_members.reserve(entries);
  size_t at = 0;
  for (uint64_t i = 0; i < entries; ++i) {
    const char* e = directory.data() + at;
    const std::string which = "entry " + std::to_string(i + 1) + " of its directory";
    if (directory.size() - at < DIRECTORY_ENTRY_BYTES || le32(e) != DIRECTORY_ENTRY_SIGNATURE)
      corrupt(which + " is damaged");
    const size_t nameBytes = le16(e + entry::NAME_LENGTH);
    const size_t extraBytes = le16(e + entry::EXTRA_LENGTH);
    const size_t commentBytes = le16(e + entry::COMMENT_LENGTH);
    if (directory.size() - at - DIRECTORY_ENTRY_BYTES < nameBytes + extraBytes + commentBytes)
      corrupt(which + " runs past the directory's end");
    Member m;
    m.flags = le16(e + entry::FLAGS);
    m.method = le16(e + entry::METHOD);
    m.crc = le32(e + entry::CRC);
    m.compressedSize = le32(e + entry::COMPRESSED_SIZE);
    m.size = le32(e + entry::SIZE);
    m.headerOffset = le32(e + entry::HEADER_OFFSET);
    m.name.assign(e + DIRECTORY_ENTRY_BYTES, nameBytes);
    if (!applyZip64(std::string_view(e + DIRECTORY_ENTRY_BYTES + nameBytes, extraBytes), m))
      corrupt(which + " lacks the ZIP64 sizes it refers to");
    m_members.push_back(std::move(m));
    at += DIRECTORY_ENTRY_BYTES + nameBytes + extraBytes + commentBytes;
  }
}
