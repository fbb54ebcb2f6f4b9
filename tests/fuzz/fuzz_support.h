// What the engine's fuzz targets share: a failure that libFuzzer sees, the
// pattern table and missing values they fuzz with, and scratch files.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

#include "inf.h"

// Named, not anonymous, so that the coverage ignore list can leave the
// harness out by name.
namespace harness {

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

// No text matches two of these types, so neither the order in which columns
// meet a text nor a split of the file can change its type.
inline const Inf::PatternSources& patterns() {
  static const Inf::PatternSources table = {
      {"int", {"[0-9]+", "-[0-9]+"}},
      {"float", {"-?[0-9]*\\.[0-9]+"}},
      {"word", {"[A-Za-z]+"}},
      {"spaced", {" +[^ ]*"}},
  };
  return table;
}

inline const std::unordered_set<std::string>& naValues() {
  static const std::unordered_set<std::string> na = {"NA", "", "-"};
  return na;
}

// Plain system calls: a stream's buffer would cost an allocation per input.
inline void writeFile(const std::string& path, std::string_view data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  check(fd >= 0);
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    check(n > 0);
    data.remove_prefix(static_cast<size_t>(n));
  }
  check(close(fd) == 0);
}

// A scratch file of this process under TMPDIR: `target` names the fuzz
// target, `suffix` the file.
inline std::string scratch(const char* target, const char* suffix) {
  const char* t = std::getenv("TMPDIR");
  return std::string(t && *t ? t : "/tmp") + "/quorle_" + target + "_" + std::to_string(getpid()) +
         suffix;
}

}  // namespace harness
