// The error of an input stream that cannot be read (it could not be opened,
// or a read failed): a std::runtime_error of its own type, so that callers
// can tell it from other failures without reading its message.
#pragma once

#include <stdexcept>

namespace csv {

class StreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace csv
