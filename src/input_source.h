// The bytes of an input file as the tokenizer reads them: decompressed when
// the file is compressed (a zip archive's member, when one is named),
// transcoded to UTF-8 when another encoding is named.
// A second thread reads, decompresses and transcodes ahead of the reader,
// through a few blocks, so that memory stays bounded whatever the file holds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <fstream>
#include <istream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "decompressor.h"

// A fault of the input itself (corrupt or truncated stream, bytes that do
// not decode, a failed read): the message names the file and the offset.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InputSource {
 public:
  struct Settings {
    // Spelled out so that the settings before `member` may be given alone.
    Settings(bool decompress = false, std::string encoding = "", std::string member = "")
        : decompress(decompress), encoding(std::move(encoding)), member(std::move(member)) {}

    // Decompress what the first bytes show to be compressed.
    bool decompress;
    // The file's encoding, an iconv name; empty or UTF-8: none to apply.
    std::string encoding;
    // The member to read when the file is a zip archive, which it must then
    // be; empty: the file itself, which may then be no zip archive.
    std::string member;
  };

  // Opens path (a pipe will do, but not for a zip archive) and reads its
  // first bytes to tell the format. Throws std::runtime_error when it cannot
  // be opened, InputError for a zip archive or member it cannot read, and
  // std::invalid_argument for an encoding that cannot be used.
  InputSource(const std::string& path, const Settings& settings);
  // Stops the reading thread, also in the middle of the file.
  ~InputSource();
  InputSource(const InputSource&) = delete;
  InputSource& operator=(const InputSource&) = delete;

  // The decoded bytes. A fault of the input surfaces from its reads as
  // InputError, after every byte before it.
  std::istream& stream() { return m_stream; }
  // The compression the first bytes show; PLAIN unless decompression is on.
  Decompressor::Format compression() const { return m_compression; }
  // Bytes of the file read so far: the offset in the compressed stream.
  // Any thread may ask.
  uint64_t bytesRead() const { return m_bytesRead.load(std::memory_order_relaxed); }

  // The compression of the file at path, told by its first bytes. Throws
  // std::runtime_error when it cannot be opened.
  static Decompressor::Format probe(const std::string& path);

  // Reads past the first `lines` physical lines of `in` (each ended by LF,
  // CR LF or a lone CR; a last line may lack its end), below any tokenizer,
  // so that a quote in them means nothing. Returns the bytes read; `skipped`
  // is the lines there were. Leaves `in` good, also at its end.
  static uint64_t skipLines(std::istream& in, uint64_t lines, uint64_t& skipped);

  // Lines that end within the first `bytes` bytes of `in`, by the same line
  // ends as skipLines.
  static uint64_t countLines(std::istream& in, uint64_t bytes);

  // The input as a pass reads it: the file's own bytes in `plain` when the
  // settings decode nothing (and name no member), or a regular file's first bytes show no
  // compression to undo (no thread then), else a source made in `decoded`.
  // Errors are the constructor's; a plain file that cannot be opened leaves
  // `plain` failed.
  static std::istream& open(const std::string& path, const Settings& settings, std::ifstream& plain,
                            std::unique_ptr<InputSource>& decoded);

  class Pipeline;

 private:
  // Blocks travel from the reading thread to the reader in a ring: the
  // reader holds one, the thread fills the free ones.
  class Ring : public std::streambuf {
   public:
    explicit Ring(InputSource& owner);

   protected:
    int_type underflow() override;

   private:
    InputSource& m_owner;
  };

  Decompressor::Format m_compression = Decompressor::Format::PLAIN;
  std::atomic<uint64_t> m_bytesRead{0};
  std::atomic<bool> m_stopping{false};
  std::unique_ptr<Pipeline> m_pipeline;

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::vector<char>> m_blocks;
  std::vector<size_t> m_sizes;
  size_t m_filled = 0;     // full blocks the reader has not taken
  size_t m_next = 0;       // the block the reader takes next
  bool m_holding = false;  // the reader holds the block before m_next
  bool m_done = false;     // the thread has filled its last block
  std::exception_ptr m_error;

  Ring m_ring;
  std::istream m_stream;
  std::thread m_thread;

  void produce();
  bool fillBlock(size_t index);
  bool waitForFreeBlock(size_t& index);
};
