// Zip archives in the input pipeline: the members are found through the
// central directory at the archive's end (with the ZIP64 records where sizes
// or offsets need them), and one member's data is read where its entry says,
// stored or deflated, with its CRC-32 and size checked at its end. Nothing
// is extracted to disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decompressor.h"

class ZipArchive {
 public:
  static constexpr uint16_t STORED = 0;
  static constexpr uint16_t DEFLATED = 8;

  struct Member {
    std::string name;  // as the archive spells it, bytes unchanged
    uint16_t method = STORED;
    uint16_t flags = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t headerOffset = 0;  // of its local header

    bool encrypted() const { return (flags & 1) != 0; }
  };

  // Reads the directory of the archive open at fd, which stays the caller's.
  // `path` names the archive in messages. Throws InputError for a file that
  // is not a regular file (a pipe: the directory is at its end) or not a
  // complete zip archive.
  ZipArchive(int fd, const std::string& path);

  // The members of the archive at path, in directory order. Errors are the
  // constructor's, and std::runtime_error when it cannot be opened.
  static std::vector<Member> list(const std::string& path);

  const std::vector<Member>& members() const { return m_members; }

  // The member of that name (the last, should several share it). Throws
  // InputError when there is none.
  const Member& find(const std::string& name) const;

  // Where the member's data starts, past its local header; its data must lie
  // within the file. Throws InputError otherwise.
  uint64_t dataOffset(const Member& member) const;

  // A decompressor of the member's data, which checks its CRC-32 and size at
  // its end. `shown` names it in messages ("data.zip:a.csv"). Throws
  // InputError, naming the method, for a member it cannot read.
  static std::unique_ptr<Decompressor> decoder(const Member& member, const std::string& shown);

  // "bzip2", "lzma", ... for a method number; "method N" for one unknown.
  static std::string methodName(uint16_t method);

 private:
  int m_fd;
  std::string m_path;
  uint64_t m_fileSize = 0;
  std::vector<Member> m_members;

  std::string readAt(uint64_t offset, uint64_t length) const;
  [[noreturn]] void corrupt(const std::string& why) const;
  // The directory's entries, its size and its offset, from the end records.
  void findDirectory(uint64_t& entries, uint64_t& size, uint64_t& offset) const;
  // The values of the ZIP64 end record instead, when a locator before the end
  // record (at endAt) points to one.
  void readZip64End(uint64_t endAt, uint64_t& entries, uint64_t& size, uint64_t& offset) const;
  void readDirectory(uint64_t entries, uint64_t size, uint64_t offset);
};
