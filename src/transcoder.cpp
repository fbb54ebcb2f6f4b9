#include "transcoder.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace {

using namespace std::string_view_literals;

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
const iconv_t NO_CONVERSION = reinterpret_cast<iconv_t>(-1);
const size_t ICONV_FAILED = static_cast<size_t>(-1);

iconv_t openConversion(const char* to, const std::string& from) {
  const iconv_t cd = iconv_open(to, from.c_str());
  if (cd == NO_CONVERSION)
    throw std::invalid_argument("unknown encoding: " + from +
                                " (the C library's iconv does not know it)");
  return cd;
}

// Converts `text` whole; false when it does not convert.
bool convert(iconv_t cd, std::string_view text, std::string& result) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char buffer[16];
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* out = buffer;
  size_t outLeft = sizeof buffer;
  if (iconv(cd, &in, &inLeft, &out, &outLeft) == ICONV_FAILED) return false;
  if (iconv(cd, nullptr, nullptr, &out, &outLeft) == ICONV_FAILED) return false;
  result.assign(buffer, static_cast<size_t>(out - buffer));
  return true;
}

// UTF-16 and UTF-32 write "A" as that byte and zeros, after a byte-order
// mark in their unmarked forms.
bool isWideUnicode(const std::string& encoding) {
  const iconv_t cd = openConversion(encoding.c_str(), "UTF-8");
  std::string a;
  const bool ok = convert(cd, "A", a);
  iconv_close(cd);
  if (!ok) return false;
  for (const std::string_view prefix :
       {"\xFF\xFE\0\0"sv, "\0\0\xFE\xFF"sv, "\xFF\xFE"sv, "\xFE\xFF"sv}) {
    if (a.size() > prefix.size() + 1 && a.compare(0, prefix.size(), prefix) == 0) {
      a.erase(0, prefix.size());
      break;
    }
  }
  if (a.size() != 2 && a.size() != 4) return false;
  size_t letters = 0;
  for (const char ch : a) {
    if (ch == 'A')
      ++letters;
    else if (ch != '\0')
      return false;
  }
  return letters == 1;
}

// Every byte that can structure a CSV file reads as itself, but for the
// backslash and tilde, which the Japanese encodings read as yen and
// overline: they then still decode to one character each.
bool isAsciiCompatible(iconv_t decode) {
  static constexpr char REASSIGNED[] = "\\~";
  std::string bytes = "\t\n\r";
  for (char ch = ' '; ch <= '~'; ++ch) bytes.push_back(ch);
  for (const char ch : bytes) {
    std::string decoded;
    if (!convert(decode, std::string_view(&ch, 1), decoded)) return false;
    if (decoded == std::string(1, ch)) continue;
    if (std::strchr(REASSIGNED, ch) == nullptr || decoded.empty()) return false;
  }
  return true;
}

}  // namespace

Transcoder::Transcoder(const std::string& encoding)
    : m_encoding(encoding), m_cd(openConversion("UTF-8", encoding)) {
  if (isWideUnicode(encoding) || isAsciiCompatible(m_cd)) {
    iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
    return;
  }
  iconv_close(m_cd);
  throw NotAsciiCompatible("encoding " + encoding +
                           " is not ASCII-compatible (as EBCDIC and UTF-7 are not): "
                           "convert the file to UTF-8 first");
}

Transcoder::~Transcoder() { iconv_close(m_cd); }

bool Transcoder::isUtf8(const std::string& encoding) {
  std::string plain;
  for (const char ch : encoding)
    if (ch != '-' && ch != '_') plain.push_back(static_cast<char>(std::toupper(ch)));
  return plain.empty() || plain == "UTF8";
}

size_t Transcoder::run(const char* in, size_t inLen, size_t& used, char* out, size_t outCap,
                       bool finish) {
  char* inAt = const_cast<char*>(in);
  size_t inLeft = inLen;
  char* outAt = out;
  size_t outLeft = outCap;
  m_partial = false;
  if (iconv(m_cd, &inAt, &inLeft, &outAt, &outLeft) == ICONV_FAILED) {
    if (errno == EILSEQ) throw Fault("bytes that are not valid " + m_encoding, inLen - inLeft);
    // EINVAL: the input stops inside a character; E2BIG: the output is full.
    m_partial = errno == EINVAL;
  }
  used = inLen - inLeft;
  if (finish && inLeft == 0 && !m_flushed) {
    // Stateful encodings close their shift state; when the output is full
    // this waits for the next call.
    if (iconv(m_cd, nullptr, nullptr, &outAt, &outLeft) != ICONV_FAILED) m_flushed = true;
  }
  return dropByteOrderMark(out, static_cast<size_t>(outAt - out));
}

size_t Transcoder::dropByteOrderMark(char* out, size_t produced) {
  if (!m_atStart || produced == 0) return produced;
  m_atStart = false;
  // iconv writes whole characters, so a mark it wrote is here whole.
  if (std::string_view(out, produced).compare(0, UTF8_BOM.size(), UTF8_BOM) != 0) return produced;
  std::memmove(out, out + UTF8_BOM.size(), produced - UTF8_BOM.size());
  return produced - UTF8_BOM.size();
}
