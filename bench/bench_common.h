// Inputs shared by the micro-benchmarks: seeded CSV text of two kinds, the
// pattern table and missing values of the comparison script, and helpers to
// stream a string or put it in a temporary file.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <unordered_set>
#include <vector>

#include "inf.h"

namespace bench {

enum class Kind { MIXED, REPETITIVE };

constexpr uint64_t SEED = 20240601;
constexpr int WINDOW = 1000;

inline const char* kindName(Kind k) { return k == Kind::MIXED ? "mixed" : "repetitive"; }

inline Inf::PatternSources patterns() {
  const std::string day =
      "[0-9]{4}-((0[1-9]|1[0-2])-(0[1-9]|1[0-9]|2[0-8])"
      "|(0[13-9]|1[0-2])-(29|30)|(0[13578]|1[02])-31)";
  const std::string leap =
      "([0-9]{2}(0[48]|[2468][048]|[13579][26])|(0[048]|[2468][048]|[13579][26])00)-02-29";
  const std::string clock = "([01][0-9]|2[0-3]):[0-5][0-9](:[0-5][0-9](\\.[0-9]+)?)?";
  const std::string zone = "(Z|[+-]([01][0-9]|2[0-3])(:[0-5][0-9]|[0-5][0-9])?)?";
  return {
      {"integer", {"[+-]?(0|[1-9][0-9]*)"}},
      {"decimal",
       {"[+-]?(0|[1-9][0-9]*)?\\.[0-9]+([eE][+-]?[0-9]+)?", "[+-]?(0|[1-9][0-9]*)[eE][+-]?[0-9]+"}},
      {"boolean", {"true|false|True|False|TRUE|FALSE", "yes|no|Yes|No|YES|NO"}},
      {"date", {day, leap}},
      {"datetime", {day + "[T ]" + clock + zone, leap + "[T ]" + clock + zone}},
      {"time", {clock}},
      {"code", {"0[0-9]+"}},
  };
}

inline std::unordered_set<std::string> naValues() {
  return {"", "NA", "N/A", "null", "NULL", "None", "-"};
}

// CSV text of at least `bytes` bytes in whole rows, the same for every run
// and every compiler: each draw is taken into a variable in a fixed order,
// never as one of several arguments of a call (their order is unspecified).
// The column layouts follow bench/gen_data.py; the values come from a
// different generator, so the texts differ but their shape does not.
inline std::string generate(Kind kind, size_t bytes, uint64_t seed = SEED) {
  std::mt19937_64 rng(seed);
  auto pick = [&rng](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  static const char* const words[] = {"alpha", "bravo",  "charlie", "delta",  "echo",  "river",
                                      "stone", "market", "tower",   "garden", "north", "summit"};
  std::string out;
  out.reserve(bytes + 256);
  char buf[96];
  auto date = [&](int span) {
    const int d = static_cast<int>(pick(static_cast<uint64_t>(span)));
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", 2015 + d / 336, 1 + d / 28 % 12, 1 + d % 28);
    out += buf;
  };
  if (kind == Kind::MIXED) {
    out += "id,amount,created_at,zip,note,score,status,flag,region,opened\n";
    static const char* const statuses[] = {"active", "pending", "closed", "suspended"};
    static const char* const regions[] = {"north", "south", "east", "west", "central"};
    static const char* const missing[] = {"NA", "N/A", "null", "NULL", "None", "-"};
    for (uint64_t id = 1; out.size() < bytes; ++id) {
      const long cents = static_cast<long>(pick(55000000)) - 5000000;
      std::snprintf(buf, sizeof buf, "%llu,%s%ld.%02ld,", static_cast<unsigned long long>(id),
                    cents < 0 ? "-" : "", std::labs(cents) / 100, std::labs(cents) % 100);
      out += buf;
      date(3650);
      const int s = static_cast<int>(pick(86400));
      const int zip = static_cast<int>(pick(100000));
      std::snprintf(buf, sizeof buf, "T%02d:%02d:%02d,%05d,\"", s / 3600, s / 60 % 60, s % 60, zip);
      out += buf;
      const int nwords = 3 + static_cast<int>(pick(6));
      for (int w = 0; w < nwords; ++w) {
        if (w) out += pick(4) == 0 ? ", " : " ";
        if (pick(8) == 0) {
          out += "\"\"";
          out += words[pick(12)];
          out += "\"\"";
        } else {
          out += words[pick(12)];
        }
      }
      out += "\",";
      if (pick(10) == 0)
        out += missing[pick(6)];
      else {
        const int whole = static_cast<int>(pick(1000));
        const int thousandths = static_cast<int>(pick(1000));
        std::snprintf(buf, sizeof buf, "%d.%03d", whole, thousandths);
        out += buf;
      }
      out += ',';
      out += statuses[pick(4)];
      out += pick(2) ? ",true," : ",false,";
      out += regions[pick(5)];
      out += ',';
      date(3650);
      out += '\n';
    }
  } else {
    out += "category,quantity,in_stock,day,comment,rating,channel,store\n";
    static const char* const categories[] = {"books", "music", "garden", "toys",
                                             "tools", "food",  "games",  "sport"};
    static const char* const comments[] = {"", "NA", "N/A", "ok", "ok", "ok", "late", "-"};
    static const char* const channels[] = {"web", "store", "phone"};
    while (out.size() < bytes) {
      out += categories[pick(8)];
      const int quantity = 1 + static_cast<int>(pick(24));
      const bool inStock = pick(4) != 0;
      std::snprintf(buf, sizeof buf, ",%d,%s,", quantity, inStock ? "true" : "false");
      out += buf;
      date(365);
      const char* comment = comments[pick(8)];
      const int rating = 1 + static_cast<int>(pick(5));
      const char* channel = channels[pick(3)];
      const int store = 1 + static_cast<int>(pick(39));
      std::snprintf(buf, sizeof buf, ",%s,%d,%s,%03d\n", comment, rating, channel, store);
      out += buf;
    }
  }
  return out;
}

// The file named by QUORLE_BENCH_FILE, or an empty string when it is unset.
inline std::string fileFromEnv() {
  const char* path = std::getenv("QUORLE_BENCH_FILE");
  if (path == nullptr || *path == '\0') return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot read QUORLE_BENCH_FILE ") + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A read-only stream over a string that it does not copy.
class MemBuf : public std::streambuf {
 public:
  explicit MemBuf(const std::string& s) {
    char* p = const_cast<char*>(s.data());
    setg(p, p, p + s.size());
  }
};

// A file in the temporary directory, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/quorle_bench_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("cannot create a temporary file");
    close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline Inf makeInf(const std::string& path, bool parallel = false, int window = WINDOW) {
  return Inf(path, ',', patterns(), naValues(), parallel, false, "", window);
}

}  // namespace bench
