#include "input_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#include "csv/stream_error.h"
#include "pass_watch.h"
#include "transcoder.h"
#include "zip_archive.h"

namespace {

// Bytes per block handed to the reader, and per buffer between two steps.
// The fuzz build makes them small, so that short inputs cross their edges.
#ifdef QUORLE_PIPE_BLOCK
constexpr size_t BLOCK_BYTES = QUORLE_PIPE_BLOCK;
#else
constexpr size_t BLOCK_BYTES = size_t{256} << 10;
#endif
// Blocks in the ring: how far the thread may read ahead.
constexpr size_t RING_BLOCKS = 8;
// A step writes a character whole, however the encoding spells it.
static_assert(BLOCK_BYTES >= 16, "a block holds the longest character");
// How often a thread waiting on a pipe looks whether it should stop.
constexpr int POLL_MILLISECONDS = 100;
// How often a watched reader waiting for a block checks its pass's watch.
constexpr std::chrono::milliseconds WATCH_SLICE{50};

// The file's bytes: first those read to tell its format, then the rest.
class RawFile {
 public:
  RawFile(const std::string& path, std::atomic<uint64_t>& bytesRead,
          const std::atomic<bool>& stopping)
      : m_path(path), m_bytesRead(bytesRead), m_stopping(stopping) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
      throw csv::StreamError("Something is wrong with input stream: " + path + ": " +
                             std::strerror(errno));
    char head[Decompressor::MAGIC_BYTES];
    size_t got = 0;
    while (got < sizeof head) {
      const size_t n = readSome(head + got, sizeof head - got);
      if (n == 0) break;
      got += n;
    }
    m_head.assign(head, got);
  }
  ~RawFile() { ::close(m_fd); }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  std::string_view head() const { return m_head; }
  int descriptor() const { return m_fd; }

  // From now on, the `length` bytes at `offset` only (a zip member's data),
  // whatever was read before.
  void narrow(uint64_t offset, uint64_t length) {
    m_served = m_head.size();
    m_narrowed = true;
    m_at = offset;
    m_left = length;
  }

  // Up to cap bytes; 0 only at the end of the file (or when stopping).
  size_t read(char* out, size_t cap) {
    if (m_narrowed) return readAt(out, static_cast<size_t>(std::min<uint64_t>(cap, m_left)));
    if (m_served < m_head.size()) {
      const size_t n = std::min(cap, m_head.size() - m_served);
      std::memcpy(out, m_head.data() + m_served, n);
      m_served += n;
      return n;
    }
    return readSome(out, cap);
  }

 private:
  std::string m_path;
  int m_fd;
  std::string m_head;
  size_t m_served = 0;
  std::atomic<uint64_t>& m_bytesRead;
  const std::atomic<bool>& m_stopping;
  bool m_narrowed = false;
  uint64_t m_at = 0, m_left = 0;

  // A narrowed file is a regular file: it never keeps a read waiting.
  size_t readAt(char* out, size_t cap) {
    while (cap > 0 && !m_stopping.load(std::memory_order_relaxed)) {
      const ssize_t n = ::pread(m_fd, out, cap, static_cast<off_t>(m_at));
      if (n >= 0) {
        m_bytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        m_at += static_cast<uint64_t>(n);
        m_left -= static_cast<uint64_t>(n);
        return static_cast<size_t>(n);
      }
      if (errno != EINTR) throw InputError(m_path + ": read error: " + std::strerror(errno));
    }
    return 0;
  }

  size_t readSome(char* out, size_t cap) {
    for (;;) {
      if (!waitReadable()) return 0;
      const ssize_t n = ::read(m_fd, out, cap);
      if (n >= 0) {
        m_bytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        return static_cast<size_t>(n);
      }
      if (errno != EINTR) throw InputError(m_path + ": read error: " + std::strerror(errno));
    }
  }

  // A pipe that stays silent must not keep the thread from stopping.
  bool waitReadable() {
    pollfd p{m_fd, POLLIN, 0};
    while (!m_stopping.load(std::memory_order_relaxed)) {
      if (::poll(&p, 1, POLL_MILLISECONDS) != 0) return true;
    }
    return false;
  }
};

// One step and the buffer of input it has not used yet.
struct Stage {
  std::unique_ptr<ByteFilter> filter;
  std::vector<char> in = std::vector<char>(BLOCK_BYTES);
  size_t begin = 0, end = 0;
  bool inputEnded = false;
  // The last run used nothing: it needs more bytes behind those it has.
  bool starved = false;
  // Input bytes used before in[begin]: the offset of the step's input.
  uint64_t consumed = 0;
};

// Waits until pred holds, as condition_variable::wait does; that function's
// own symbol needs the C++ runtime of GCC 12, newer than the wheels promise,
// while the timed wait is compiled inline.
template <class Pred>
void waitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, Pred pred) {
  constexpr std::chrono::seconds RECHECK{1};
  while (!pred()) changed.wait_for(lock, RECHECK);
}

}  // namespace

// The steps from the file to the reader's blocks: decompression, then
// transcoding, each pulling from the one below.
class InputSource::Pipeline {
 public:
  Pipeline(const std::string& path, const Settings& settings, std::atomic<uint64_t>& bytesRead,
           const std::atomic<bool>& stopping)
      : m_path(path), m_raw(path, bytesRead, stopping) {
    const bool member = !settings.member.empty();
    format = settings.decompress || member ? Decompressor::detect(m_raw.head())
                                           : Decompressor::Format::PLAIN;
    if (format == Decompressor::Format::ZIP)
      openMember(settings.member);
    else if (member)
      throw InputError(path + ": not a zip archive, so it has no member " + settings.member);
    else if (format != Decompressor::Format::PLAIN)
      m_stages.push_back(Stage{Decompressor::make(format)});
    if (!Transcoder::isUtf8(settings.encoding))
      m_stages.push_back(Stage{std::make_unique<Transcoder>(settings.encoding)});
  }

  // Up to cap decoded bytes; 0 only at the end of the input.
  size_t read(char* out, size_t cap) { return pull(m_stages.size(), out, cap); }

  Decompressor::Format format;

 private:
  std::string m_path;
  RawFile m_raw;
  std::vector<Stage> m_stages;
  uint64_t m_dataStart = 0;  // where a zip member's data starts in the archive

  // The member's data becomes the input of the first step; messages name
  // the input "archive:member" from here on.
  void openMember(const std::string& member) {
    if (member.empty()) throw InputError(m_path + ": a zip archive: name the member to read");
    const ZipArchive archive(m_raw.descriptor(), m_path);
    const ZipArchive::Member& entry = archive.find(member);
    m_path += ":" + member;
    m_stages.push_back(Stage{ZipArchive::decoder(entry, m_path)});
    m_dataStart = archive.dataOffset(entry);
    m_raw.narrow(m_dataStart, entry.compressedSize);
  }

  // The output of the first k steps.
  size_t pull(size_t k, char* out, size_t cap) {
    if (k == 0) return m_raw.read(out, cap);
    Stage& s = m_stages[k - 1];
    for (;;) {
      if (!s.inputEnded && (s.begin == s.end || s.starved)) refill(k);
      size_t used = 0;
      size_t got;
      try {
        got = s.filter->run(s.in.data() + s.begin, s.end - s.begin, used, out, cap, s.inputEnded);
      } catch (const ByteFilter::Fault& fault) {
        throw InputError(faultMessage(k, fault.what(), s.consumed + fault.at));
      }
      s.begin += used;
      s.consumed += used;
      s.starved = used == 0 && got == 0;
      if (got > 0) return got;
      if (s.inputEnded) {
        if (!s.filter->complete() || s.begin != s.end) throw InputError(truncatedMessage(k));
        return 0;
      }
    }
  }

  // More input for step k behind what it has not used.
  void refill(size_t k) {
    Stage& s = m_stages[k - 1];
    std::memmove(s.in.data(), s.in.data() + s.begin, s.end - s.begin);
    s.end -= s.begin;
    s.begin = 0;
    if (s.end == s.in.size()) throw std::logic_error(s.filter->name() + " takes no input");
    const size_t got = pull(k - 1, s.in.data() + s.end, s.in.size() - s.end);
    s.end += got;
    s.inputEnded = got == 0;
    s.starved = false;
  }

  // Whose offset it is: the compressed file's, the decompressed stream's,
  // or the file's own.
  std::string where(size_t k, uint64_t offset) const {
    std::string at = "byte " + std::to_string(offset);
    if (decompresses(k) && format == Decompressor::Format::ZIP)
      return "byte " + std::to_string(m_dataStart + offset) + " of the archive";
    if (decompresses(k)) return at + " of the compressed file";
    if (k > 1) return at + " of the decompressed stream";
    return at;
  }

  bool decompresses(size_t k) const { return k == 1 && format != Decompressor::Format::PLAIN; }

  std::string faultMessage(size_t k, const std::string& reason, uint64_t offset) const {
    const Stage& s = m_stages[k - 1];
    if (decompresses(k))
      return m_path + ": corrupt " + s.filter->name() + " stream at " + where(k, offset) + ": " +
             reason;
    return m_path + ": " + reason + " at " + where(k, offset);
  }

  std::string truncatedMessage(size_t k) const {
    const Stage& s = m_stages[k - 1];
    if (decompresses(k))
      return m_path + ": truncated " + s.filter->name() + " stream: it ends at " +
             where(k, s.consumed) + ", inside a member";
    return m_path + ": the input ends inside a " + s.filter->name() + " character at " +
           where(k, s.consumed);
  }
};

InputSource::Ring::Ring(InputSource& owner) : m_owner(owner) {}

// Hands back the block read from, then takes the next full one; rethrows
// the thread's error once every block before it was read.
InputSource::Ring::int_type InputSource::Ring::underflow() {
  InputSource& o = m_owner;
  std::unique_lock<std::mutex> lock(o.m_mutex);
  if (o.m_holding) {
    o.m_holding = false;
    o.m_changed.notify_all();
  }
  setg(nullptr, nullptr, nullptr);
  // A silent pipe must not keep a watched pass from stopping.
  const auto ready = [&o] { return o.m_filled > 0 || o.m_done; };
  while (!ready()) {
    o.m_changed.wait_for(lock, WATCH_SLICE);
    if (!ready()) PassWatch::checkCurrent();
  }
  if (o.m_filled == 0) {
    if (o.m_error) std::rethrow_exception(o.m_error);
    return traits_type::eof();
  }
  char* data = o.m_blocks[o.m_next].data();
  setg(data, data, data + o.m_sizes[o.m_next]);
  o.m_next = (o.m_next + 1) % RING_BLOCKS;
  --o.m_filled;
  o.m_holding = true;
  return traits_type::to_int_type(*data);
}

InputSource::InputSource(const std::string& path, const Settings& settings)
    : m_pipeline(std::make_unique<Pipeline>(path, settings, m_bytesRead, m_stopping)),
      m_blocks(RING_BLOCKS, std::vector<char>(BLOCK_BYTES)),
      m_sizes(RING_BLOCKS, 0),
      m_ring(*this),
      m_stream(&m_ring) {
  m_compression = m_pipeline->format;
  // A fault of the input then leaves the reads as an exception, message and all.
  m_stream.exceptions(std::ios::badbit);
  m_thread = std::thread(&InputSource::produce, this);
}

InputSource::~InputSource() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

uint64_t InputSource::skipLines(std::istream& in, uint64_t lines, uint64_t& skipped) {
  using Traits = std::istream::traits_type;
  std::streambuf* buf = in.rdbuf();
  uint64_t bytes = 0;
  skipped = 0;
  bool inLine = false;
  while (skipped < lines) {
    const auto c = buf->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) {
      if (inLine) ++skipped;
      break;
    }
    ++bytes;
    inLine = true;
    if (c == '\r' && Traits::eq_int_type(buf->sgetc(), '\n')) {
      buf->sbumpc();
      ++bytes;
    }
    if (c == '\r' || c == '\n') {
      ++skipped;
      inLine = false;
    }
  }
  in.clear();
  return bytes;
}

uint64_t InputSource::countLines(std::istream& in, uint64_t bytes) {
  using Traits = std::istream::traits_type;
  std::streambuf* buf = in.rdbuf();
  uint64_t lines = 0;
  for (uint64_t at = 0; at < bytes; ++at) {
    const auto c = buf->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) break;
    // A CR LF is one line end: its CR ends the line unless an LF follows.
    if (c == '\n' || (c == '\r' && !Traits::eq_int_type(buf->sgetc(), '\n'))) ++lines;
  }
  return lines;
}

namespace {

// A regular file whose first bytes show no compression is read as it is: a
// small file would cost more in the reading thread and its blocks than in
// its pass. A pipe cannot be probed without losing what the probe read.
bool isPlainRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         InputSource::probe(path) == Decompressor::Format::PLAIN;
}

}  // namespace

std::istream& InputSource::open(const std::string& path, const Settings& settings,
                                std::ifstream& plain, std::unique_ptr<InputSource>& decoded) {
  if (Transcoder::isUtf8(settings.encoding) && settings.member.empty() &&
      (!settings.decompress || isPlainRegularFile(path))) {
    plain.open(path, std::ios::binary);
    return plain;
  }
  decoded = std::make_unique<InputSource>(path, settings);
  return decoded->stream();
}

Decompressor::Format InputSource::probe(const std::string& path) {
  std::atomic<uint64_t> bytesRead{0};
  const std::atomic<bool> stopping{false};
  return Decompressor::detect(RawFile(path, bytesRead, stopping).head());
}

void InputSource::produce() {
  try {
    size_t index;
    while (waitForFreeBlock(index) && fillBlock(index)) {
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_done = true;
  m_changed.notify_all();
}

// False when the reader is gone.
bool InputSource::waitForFreeBlock(size_t& index) {
  std::unique_lock<std::mutex> lock(m_mutex);
  waitUntil(m_changed, lock,
            [this] { return m_stopping || m_filled + (m_holding ? 1 : 0) < RING_BLOCKS; });
  if (m_stopping) return false;
  index = (m_next + m_filled) % RING_BLOCKS;
  return true;
}

// Fills the block with what one read gives, so that a pipe's bytes reach the
// reader as they come, and passes it on; false at the end of the input.
bool InputSource::fillBlock(size_t index) {
  std::vector<char>& block = m_blocks[index];
  const size_t size = m_pipeline->read(block.data(), block.size());
  if (size == 0) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sizes[index] = size;
  ++m_filled;
  m_changed.notify_all();
  return true;
}
