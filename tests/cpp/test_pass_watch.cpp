// The watch of a pass: what it counts, where it stops a pass, and that a
// stopped pass leaves a session that still runs as before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "compressors.h"
#include "csv/stream_error.h"
#include "engine_builders.h"
#include "inf.h"
#include "input_source.h"
#include "pass_watch.h"

using namespace engine_test;

namespace {

// Disjoint types: a large file is split.
const Inf::PatternSources kTable = {{"int", {"-?[0-9]+"}}, {"dec", {"-?[0-9]+\\.[0-9]+"}}};
// Rows enough for several of the tokenizer's blocks and a split.
constexpr int kRows = 400000;
// How long a test waits for a pass that should stop by itself.
constexpr std::chrono::seconds kDeadline{60};

std::string rowsText() {
  std::string text = "id,amount\n";
  for (int i = 0; i < kRows; ++i) text += std::to_string(i) + "," + std::to_string(i) + ".5\n";
  return text;
}

// Runs a pass with `watch` for this thread, polling with `poll` if given.
template <class Pass>
void watched(PassWatch& watch, const PassWatch::Poll* poll, Pass pass) {
  const PassWatch::Scope scope(&watch, poll);
  pass();
}

class WatchCounts : public ::testing::TestWithParam<bool> {};

// The bytes counted are the file's, whatever it decodes to.
TEST_P(WatchCounts, APassCountsEveryByteOfTheFile) {
  TempDir dir;
  const std::string text = rowsText();
  const std::string path =
      writeRaw(dir.file("in"), GetParam() ? compressors::gzipMember(text) : text);
  Inf inf = InfBuilder().file(path).patterns(kTable).build();
  inf.setInput(true, "");
  PassWatch watch;
  watched(watch, nullptr, [&] { inf.inferTypes(); });
  EXPECT_EQ(inf.getNumRows(), static_cast<uint64_t>(kRows));
  EXPECT_EQ(watch.bytesRead(), std::filesystem::file_size(path));
}

INSTANTIATE_TEST_SUITE_P(Formats, WatchCounts, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "gzip" : "plain"; });

TEST(PassWatch, WithoutAWatchTheStreamIsLeftAsItIs) {
  TempDir dir;
  std::ifstream in(writeRaw(dir.file("in"), "abc"), std::ios::binary);
  std::streambuf* before = in.rdbuf();
  const WatchedInput watchedInput(in);
  EXPECT_EQ(static_cast<std::istream&>(in).rdbuf(), before);
}

// Swapping a stream's buffer clears its state: a file that did not open
// must still read as failed.
TEST(PassWatch, AFileThatDidNotOpenStaysFailed) {
  PassWatch watch;
  const PassWatch::Scope scope(&watch, nullptr);
  std::ifstream in("/nonexistent/quorle-watch", std::ios::binary);
  const WatchedInput watchedInput(in);
  EXPECT_TRUE(in.fail());
  Inf inf = InfBuilder().file("/nonexistent/quorle-watch").build();
  EXPECT_THROW(inf.inferTypes(), csv::StreamError);
}

TEST(PassWatch, ScopesNestAndRestore) {
  PassWatch outer, inner;
  EXPECT_EQ(PassWatch::current(), nullptr);
  {
    const PassWatch::Scope a(&outer, nullptr);
    {
      const PassWatch::Scope b(&inner, nullptr);
      EXPECT_EQ(PassWatch::current(), &inner);
    }
    EXPECT_EQ(PassWatch::current(), &outer);
  }
  EXPECT_EQ(PassWatch::current(), nullptr);
  EXPECT_NO_THROW(PassWatch::checkCurrent());
}

struct Stop {
  const char* name;
  int threads;
};

class WatchStops : public ::testing::TestWithParam<Stop> {};

// A poll that cancels on its third call stops the pass within a few
// blocks, the split one too (it does not fall back to reading the file
// again), and the session's next pass gives the results of an unwatched one.
TEST_P(WatchStops, ACancellingPollStopsThePassAndLeavesTheSessionUsable) {
  TempDir dir;
  const std::string path = writeRaw(dir.file("in.csv"), rowsText());
  const Inf expected = [&] {
    Inf inf = InfBuilder().file(path).patterns(kTable).build();
    inf.inferTypes();
    return inf;
  }();
  Inf inf = InfBuilder().file(path).patterns(kTable).build();
  PassWatch watch;
  int polls = 0;
  int pollsAfterCancel = 0;
  const PassWatch::Poll poll = [&] {
    if (watch.cancelled()) ++pollsAfterCancel;
    if (++polls == 3) watch.cancel();
  };
  EXPECT_ANY_THROW(watched(watch, &poll, [&] { inf.inferSplit(GetParam().threads); }));
  EXPECT_TRUE(watch.cancelled());
  EXPECT_LT(watch.bytesRead(), std::filesystem::file_size(path));
  // A fallback pass would have polled again from its first block on.
  EXPECT_EQ(pollsAfterCancel, 0);
  inf.inferSplit(GetParam().threads);
  EXPECT_EQ(inf.getNumRows(), expected.getNumRows());
  EXPECT_EQ(inf.getColTypeCandidates(), expected.getColTypeCandidates());
}

INSTANTIATE_TEST_SUITE_P(Passes, WatchStops,
                         ::testing::Values(Stop{"sequential", 1}, Stop{"split", 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// Signals are handled on the thread that started the pass: the ranges'
// threads only see the cancel flag.
TEST(PassWatch, OnlyTheStartingThreadPolls) {
  TempDir dir;
  const std::string path = writeRaw(dir.file("in.csv"), rowsText());
  Inf inf = InfBuilder().file(path).patterns(kTable).build();
  PassWatch watch;
  std::mutex mutex;
  std::set<std::thread::id> pollers;
  const PassWatch::Poll poll = [&] {
    const std::lock_guard<std::mutex> lock(mutex);
    pollers.insert(std::this_thread::get_id());
  };
  std::string reason;
  watched(watch, &poll, [&] { reason = inf.inferSplit(4); });
  ASSERT_EQ(reason, "");
  EXPECT_EQ(pollers, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_GE(watch.bytesRead(), std::filesystem::file_size(path));
}

// A decoded pipe that goes silent keeps the reader waiting; the waiting
// reader still checks its watch.
TEST(PassWatch, AWaitForASilentPipeChecksTheWatch) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Read-write: opening does not wait for a reader, and the pipe never ends.
  const int writer = ::open(fifo.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  // Longer than the bytes read to tell the format, which the source waits for.
  const std::string head = "a,b\n" + std::string(100, '1') + ",2\n";
  ASSERT_EQ(::write(writer, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  PassWatch watch;
  std::atomic<int> polls{0};
  const PassWatch::Poll poll = [&] {
    if (++polls == 3) watch.cancel();
  };
  auto reading = std::async(std::launch::async, [&] {
    InputSource source(fifo, InputSource::Settings{true});
    const PassWatch::Scope scope(&watch, &poll);
    char byte;
    while (source.stream().get(byte)) {
    }
  });
  if (reading.wait_for(kDeadline) != std::future_status::ready) {
    ::close(writer);  // the pipe ends, and the reader with it
    reading.wait();
    FAIL() << "the waiting reader never checked its watch";
  }
  ::close(writer);
  EXPECT_THROW(reading.get(), PassStopped);
  EXPECT_EQ(polls.load(), 3);
}

}  // namespace
