// One step of the input pipeline: bytes in, other bytes out, by pieces of
// any size. Decompression and transcoding both take this shape, so that the
// pipeline drives them alike.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

class ByteFilter {
 public:
  // A fault in the input: `at` counts the bytes of the current call's input
  // that were used before it.
  struct Fault : std::runtime_error {
    Fault(const std::string& reason, size_t at) : std::runtime_error(reason), at(at) {}
    size_t at;
  };

  virtual ~ByteFilter() = default;

  // Turns bytes of in[0, inLen) into at most outCap bytes at out; sets used
  // to the input bytes consumed and returns the bytes written. `finish` says
  // that no input follows what is given. Returns 0 with nothing used only
  // when it needs more input (or, with finish, has nothing left to give).
  // Throws Fault on input it cannot take.
  virtual size_t run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap,
                     bool finish) = 0;

  // True when the input so far ends at a boundary: nothing is left half
  // decoded (a member, a frame or a character).
  virtual bool complete() const = 0;

  // What the filter reads, for messages: "gzip", "cp1252".
  virtual std::string name() const = 0;
};
