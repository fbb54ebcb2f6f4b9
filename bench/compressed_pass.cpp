// The compressed pass against its two bounds: the plain pass over the same
// rows, and the library decompressing alone. With decompression on a second
// thread, the compressed pass should take about the longer of the two.
// Usage: quorle_compressed_pass FILE.csv [REPEATS]
// Compresses FILE.csv with the libraries (gzip level 6, zstd level 3) into
// FILE.csv.gz and FILE.csv.zst unless they exist, then prints one Markdown
// row per format: the fastest of REPEATS (default 3) runs each, wall-clock,
// and the process CPU time of those runs.
#include <sys/resource.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_common.h"
#include "compressors.h"
#include "inf.h"

namespace {

constexpr size_t CHUNK = size_t{1} << 20;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeOnce(const std::string& path, const std::function<std::string()>& make) {
  if (std::filesystem::exists(path)) return;
  const std::string bytes = make();
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Wall-clock and process CPU seconds of the fastest run. On a busy machine
// the CPU time still shows what the work costs when no core is free to
// overlap it.
struct Timing {
  double wall = 1e300;
  double cpu = 0;
};

double cpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Timing best(int repeats, const std::function<void()>& run) {
  Timing fastest;
  for (int i = 0; i < repeats; ++i) {
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < fastest.wall) fastest = {took.count(), cpuSeconds() - cpuBefore};
  }
  return fastest;
}

// The library alone: the file read in chunks and inflated into a buffer
// that is thrown away.
uint64_t gunzipAlone(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> input(CHUNK), output(CHUNK);
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  uint64_t total = 0;
  while (in.read(input.data(), static_cast<std::streamsize>(CHUNK)) || in.gcount() > 0) {
    z.next_in = reinterpret_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(in.gcount());
    while (z.avail_in > 0) {
      z.next_out = reinterpret_cast<Bytef*>(output.data());
      z.avail_out = static_cast<uInt>(CHUNK);
      const int rc = inflate(&z, Z_NO_FLUSH);
      total += CHUNK - z.avail_out;
      if (rc == Z_STREAM_END)
        inflateReset(&z);
      else if (rc != Z_OK)
        throw std::runtime_error("inflate failed");
    }
  }
  inflateEnd(&z);
  return total;
}

uint64_t unzstdAlone(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> input(CHUNK), output(CHUNK);
  ZSTD_DStream* d = ZSTD_createDStream();
  uint64_t total = 0;
  while (in.read(input.data(), static_cast<std::streamsize>(CHUNK)) || in.gcount() > 0) {
    ZSTD_inBuffer ib{input.data(), static_cast<size_t>(in.gcount()), 0};
    while (ib.pos < ib.size) {
      ZSTD_outBuffer ob{output.data(), CHUNK, 0};
      if (ZSTD_isError(ZSTD_decompressStream(d, &ob, &ib))) throw std::runtime_error("zstd failed");
      total += ob.pos;
    }
  }
  ZSTD_freeDStream(d);
  return total;
}

void pass(const std::string& path, bool decompress) {
  Inf inf(path, ',', bench::patterns(), bench::naValues(), false, false, "", bench::WINDOW);
  inf.setInput(decompress, "");
  inf.inferTypes();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.csv [REPEATS]\n", argv[0]);
    return 2;
  }
  const std::string csv = argv[1];
  const int repeats = argc > 2 ? std::stoi(argv[2]) : 3;
  writeOnce(csv + ".gz", [&] { return compressors::gzipMember(readAll(csv), 6); });
  writeOnce(csv + ".zst", [&] { return compressors::zstdFrame(readAll(csv), 3); });

  const Timing plain = best(repeats, [&] { pass(csv, false); });
  std::printf(
      "| input | plain pass (s) | decompression alone (s) | compressed pass (s) | ratio to the "
      "longer | CPU: plain + alone (s) | CPU: compressed pass (s) |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  const struct {
    const char* name;
    std::string path;
    uint64_t (*alone)(const std::string&);
  } formats[] = {{"gzip -6", csv + ".gz", gunzipAlone}, {"zstd -3", csv + ".zst", unzstdAlone}};
  for (const auto& f : formats) {
    const Timing alone = best(repeats, [&] { f.alone(f.path); });
    const Timing both = best(repeats, [&] { pass(f.path, true); });
    std::printf("| %s | %.2f | %.2f | %.2f | %.2fx | %.2f | %.2f |\n", f.name, plain.wall,
                alone.wall, both.wall, both.wall / std::max(plain.wall, alone.wall),
                plain.cpu + alone.cpu, both.cpu);
  }
  return 0;
}
