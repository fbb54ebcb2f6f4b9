// Checks of the paths a session is given, before anything is opened.
#pragma once

#include <string>

// The system takes a path as a C string, which ends at the first NUL byte:
// such a path would name another file, so the pass refuses it whole.
template <class Error>
inline void rejectNul(const std::string& path, const char* error) {
  if (path.find('\0') == std::string::npos) return;
  std::string shown;
  for (const char ch : path) {
    if (ch == '\0')
      shown += "\\x00";
    else
      shown.push_back(ch);
  }
  throw Error(error + shown);
}

inline const char* const INPUT_ERROR = "Something is wrong with input stream: ";
