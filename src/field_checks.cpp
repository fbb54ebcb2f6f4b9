#include "field_checks.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace {

// A decimal number as written: its sign, its significant digits without
// trailing zeros, and its value as 0.digits * 10^exponent. Reused per
// thread, so that reading a field allocates nothing once it has grown.
struct Decimal {
  bool negative = false;
  std::string mantissa;     // every digit as written, without the point
  std::string_view digits;  // within mantissa
  int64_t exponent = 0;
  size_t written = 0;  // significant digits as written, trailing zeros too
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Exponents beyond this are out of any double's range, however many digits.
constexpr int64_t EXPONENT_CAP = 100000;
// A double's exact decimal expansion has at most this many significant digits.
constexpr size_t MAX_DOUBLE_DIGITS = 767;

// Reads [+-]digits[.digits][(e|E)[+-]digits] with at least one mantissa digit.
bool readDecimal(std::string_view text, Decimal& out) {
  size_t i = 0;
  out.negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) out.negative = text[i++] == '-';
  std::string& mantissa = out.mantissa;
  mantissa.clear();
  int64_t pointAt = -1;
  for (; i < text.size(); ++i) {
    if (isDigit(text[i]))
      mantissa.push_back(text[i]);
    else if (text[i] == '.' && pointAt < 0)
      pointAt = static_cast<int64_t>(mantissa.size());
    else
      break;
  }
  if (mantissa.empty()) return false;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    for (; i < text.size() && isDigit(text[i]); ++i)
      exponent = std::min(exponent * 10 + (text[i] - '0'), EXPONENT_CAP);
    if (negative) exponent = -exponent;
  }
  if (i != text.size()) return false;
  const size_t lead = std::min(mantissa.find_first_not_of('0'), mantissa.size());
  out.exponent = (pointAt < 0 ? static_cast<int64_t>(mantissa.size()) : pointAt) + exponent -
                 static_cast<int64_t>(lead);
  out.written = mantissa.size() - lead;
  out.digits = std::string_view(mantissa).substr(lead, mantissa.find_last_not_of('0') + 1 - lead);
  return true;
}

// A double keeps every decimal of this many significant digits. A field of
// plain digits no longer than PLAIN_LENGTH is far from a double's range limits.
constexpr size_t DOUBLE_SAFE_DIGITS = 15;
constexpr size_t PLAIN_LENGTH = 40;

// Whether text is [+-]digits[.digits] with at least one digit; counts its
// significant digits as written (trailing zeros too).
bool plainDecimal(std::string_view text, size_t& significant) {
  size_t i = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  bool point = false;
  size_t digits = 0;
  significant = 0;
  for (; i < text.size(); ++i) {
    if (isDigit(text[i])) {
      ++digits;
      if (significant > 0 || text[i] != '0') ++significant;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits > 0;
}

// Fields whose digits fit a 64-bit integer D, with at most MAX_FRACTION
// digits after the point, so that 5^k times a double's 53-bit significand
// fits in 128 bits.
constexpr size_t MAX_INTEGER_DIGITS = 19;
constexpr int MAX_FRACTION = 22;
// Shifts past these cannot occur for a double near a field of more than
// DOUBLE_SAFE_DIGITS digits; they only guard the arithmetic.
constexpr int MAX_LEFT_SHIFT = 64, MAX_RIGHT_SHIFT = 60;

// For a plain field of more than DOUBLE_SAFE_DIGITS significant digits, read
// as D / 10^k: whether D is the integer of its length nearest x * 10^k, x
// its double, that is |x * 10^k - D| < 1/2, compared exactly in integers.
// Cheaper than printing x. nullopt where it cannot tell: D too long, k too
// large, a tie, or D a power of ten (its lower neighbour of the same length
// is nearer).
std::optional<bool> nearestOfItsLength(std::string_view text) {
  if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
  const size_t first = text.find_first_not_of("0.");
  if (text.find_first_not_of("0.", first + 1) == std::string_view::npos && text[first] == '1')
    return std::nullopt;
  uint64_t digits = 0;
  size_t count = 0;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] == '.') continue;
    if (++count > MAX_INTEGER_DIGITS) return std::nullopt;
    digits = digits * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  const size_t point = text.find('.');
  const int k = point == std::string_view::npos ? 0 : static_cast<int>(text.size() - point - 1);
  if (k > MAX_FRACTION) return std::nullopt;
  double x = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), x);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return std::nullopt;
  int exponent = 0;
  const double fractionPart = std::frexp(x, &exponent);
  const auto significand = static_cast<uint64_t>(std::ldexp(fractionPart, DBL_MANT_DIG));
  // 2 x 10^k = significand * 5^k * 2^shift, against 2D - 1 and 2D + 1.
  unsigned __int128 scaled = significand;
  for (int i = 0; i < k; ++i) scaled *= 5;
  const int shift = exponent - DBL_MANT_DIG + k + 1;
  unsigned __int128 low = 2 * static_cast<unsigned __int128>(digits) - 1, high = low + 2;
  if (shift >= 0) {
    if (shift > MAX_LEFT_SHIFT) return std::nullopt;
    scaled <<= shift;
  } else {
    if (-shift > MAX_RIGHT_SHIFT) return std::nullopt;
    low <<= -shift;
    high <<= -shift;
  }
  if (scaled == low || scaled == high) return std::nullopt;
  return low < scaled && scaled < high;
}

}  // namespace

bool fitsDouble(std::string_view text) {
  size_t significant = 0;
  if (text.size() <= PLAIN_LENGTH && plainDecimal(text, significant)) {
    if (significant <= DOUBLE_SAFE_DIGITS) return true;
    if (const auto nearest = nearestOfItsLength(text)) return *nearest;
  }
  thread_local Decimal field, back;
  if (!readDecimal(text, field)) return false;
  if (field.digits.empty()) return true;  // zero
  if (field.digits.size() > MAX_DOUBLE_DIGITS) return false;
  const size_t skip = text[0] == '+' ? 1 : 0;
  double value = 0;
  const auto parsed = std::from_chars(text.data() + skip, text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return false;
  char printed[MAX_DOUBLE_DIGITS + 32];
  const auto done =
      std::to_chars(printed, printed + sizeof printed, value, std::chars_format::scientific,
                    static_cast<int>(field.written) - 1);
  return done.ec == std::errc() &&
         readDecimal(std::string_view(printed, size_t(done.ptr - printed)), back) &&
         back.negative == field.negative && back.digits == field.digits &&
         back.exponent == field.exponent;
}
