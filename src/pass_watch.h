// What another thread may see of a running pass and ask of it: the bytes of
// the file read so far, and a request to stop. The reads of a watched pass
// count and check once per block, below the tokenizer, so the hot loops never
// look at it; a pass that no watch is set for pays one thread-local read per
// stream it opens.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <streambuf>

class InputSource;

// Thrown by a read once the watch of its pass has been cancelled. Where a
// stream turns it into a failed read, the error that surfaces is the read's;
// the watch still tells that the pass was stopped.
class PassStopped : public std::runtime_error {
 public:
  PassStopped() : std::runtime_error("the pass was cancelled") {}
};

class PassWatch {
 public:
  // Bytes of the file read so far; a split pass counts the few bytes its
  // ranges read twice. Any thread may ask.
  uint64_t bytesRead() const { return m_bytes.load(std::memory_order_relaxed); }
  void add(uint64_t bytes) { m_bytes.fetch_add(bytes, std::memory_order_relaxed); }

  // The pass stops at its next check, on every thread. Stays cancelled.
  void cancel() { m_cancelled.store(true, std::memory_order_relaxed); }
  bool cancelled() const { return m_cancelled.load(std::memory_order_relaxed); }

  // Run on the thread that started the pass at each of its checks; it may
  // cancel the watch, and the check then throws.
  using Poll = std::function<void()>;

  // While it lives, this thread's reads report to `watch` (null: to none);
  // `poll` (null for none) is run by its checks.
  class Scope {
   public:
    Scope(PassWatch* watch, const Poll* poll);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    PassWatch* m_outerWatch;
    const Poll* m_outerPoll;
  };

  // The watch of this thread's pass; null when none is.
  static PassWatch* current();
  // Runs this thread's poll, then throws PassStopped if the watch of this
  // thread's pass is cancelled. Nothing without a watch.
  static void checkCurrent();

 private:
  std::atomic<uint64_t> m_bytes{0};
  std::atomic<bool> m_cancelled{false};
};

// While it lives, `in` is read through the watch of this thread's pass, if
// there is one: each block is checked before it is read and counted after.
// `decoded`: the source `in` decodes, whose file bytes are counted instead
// of the bytes it gives. `in` must be read only while this lives.
class WatchedInput : private std::streambuf {
 public:
  explicit WatchedInput(std::istream& in, const InputSource* decoded = nullptr);
  ~WatchedInput() override;
  WatchedInput(const WatchedInput&) = delete;
  WatchedInput& operator=(const WatchedInput&) = delete;

 private:
  // For reads a byte at a time (the preamble); blocks go straight through.
  static constexpr size_t BUFFER_BYTES = 4096;

  std::istream& m_in;
  std::streambuf* m_source = nullptr;  // null: not watched
  PassWatch* m_watch = nullptr;
  const InputSource* m_decoded;
  uint64_t m_fileBytes = 0;  // of m_decoded, counted so far (its head too)
  char m_buffer[BUFFER_BYTES];

  int_type underflow() override;
  std::streamsize xsgetn(char* out, std::streamsize n) override;
  void count(std::streamsize got);
};
