#include "row_encoder.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <limits>

namespace {

constexpr char COPY_DELIMITER = '\t';
constexpr char CSV_QUOTE = '"';

// What a byte asks of the field holding it, as bits ORed over the field: one
// pass over its bytes decides every check and whether it must be quoted or escaped.
constexpr uint8_t NUL_BYTE = 1;
constexpr uint8_t NON_ASCII_BYTE = 2;
constexpr uint8_t CSV_SPECIAL_BYTE = 4;   // delimiter, quote, line ends
constexpr uint8_t COPY_SPECIAL_BYTE = 8;  // backslash, tab, line ends
constexpr int FIRST_NON_ASCII = 0x80;
constexpr int BYTE_VALUES = 256;

constexpr std::array<uint8_t, BYTE_VALUES> byteClasses() {
  std::array<uint8_t, BYTE_VALUES> classes{};
  classes[0] = NUL_BYTE;
  for (int b = FIRST_NON_ASCII; b < BYTE_VALUES; ++b) classes[b] = NON_ASCII_BYTE;
  for (const char c : {',', '"', '\r', '\n'}) classes[static_cast<uint8_t>(c)] |= CSV_SPECIAL_BYTE;
  for (const char c : {'\\', '\t', '\r', '\n'})
    classes[static_cast<uint8_t>(c)] |= COPY_SPECIAL_BYTE;
  return classes;
}
constexpr std::array<uint8_t, BYTE_VALUES> BYTE_CLASSES = byteClasses();

uint8_t classesOf(std::string_view text) {
  uint8_t seen = 0;
  for (const char c : text) seen |= BYTE_CLASSES[static_cast<uint8_t>(c)];
  return seen;
}

// Whether `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing past U+10FFFF.
bool isUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    size_t more;
    unsigned min;
    unsigned code;
    if ((*p & 0xE0) == 0xC0) {
      more = 1, min = 0x80, code = *p & 0x1Fu;
    } else if ((*p & 0xF0) == 0xE0) {
      more = 2, min = 0x800, code = *p & 0x0Fu;
    } else if ((*p & 0xF8) == 0xF0) {
      more = 3, min = 0x10000, code = *p & 0x07u;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= more) return false;
    for (size_t i = 1; i <= more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3Fu);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += more + 1;
  }
  return true;
}

}  // namespace

RowEncoder::RowEncoder(const std::string& path, char delimiter,
                       const std::unordered_set<std::string>& naValues, Format format,
                       bool ignoreExtraFields, const InputSource::Settings& input,
                       const ReadingRules& rules)
    : reader(path, delimiter, input, rules),
      naTexts(naValues.begin(), naValues.end()),
      na(naTexts.begin(), naTexts.end()),
      format(format),
      ignoreExtra(ignoreExtraFields) {
  for (const auto& text : naTexts) {
    if (text.size() < NA_SHORT_LENGTHS)
      naLengths |= uint64_t{1} << text.size();
    else
      naLong = true;
    if (!text.empty()) naFirstBytes.set(static_cast<uint8_t>(text[0]));
  }
  std::vector<std::string> first;
  reader.scan(
      1, [&](size_t, std::string_view text) { first.emplace_back(text); },
      [&](int64_t offset, size_t) {
        firstRowOffset = offset;
        return true;
      });
  columns = first.size();
  if (rules.header)
    headerCells = std::move(first);
  else
    firstRow = std::move(first);
}

bool RowEncoder::encodeFirstRow() {
  for (size_t c = 0; c < firstRow.size(); ++c) field(c, firstRow[c]);
  const size_t fields = firstRow.size();
  firstRow.clear();
  return endRow(firstRowOffset, fields);
}

size_t RowEncoder::encode(size_t maxRows, std::string& batch, std::vector<int64_t>& starts) {
  batch.clear();
  starts.clear();
  if (faultKind != Fault::NONE) return 0;
  out = &batch;
  offsets = &starts;
  rowStart = 0;
  longest = 0;
  size_t read = 0;
  if (!firstRow.empty() && maxRows > 0) {
    ++read;
    if (!encodeFirstRow()) return 0;
  }
  read += reader.scan(
      maxRows - read, [&](size_t c, std::string_view text) { field(c, text); },
      [&](int64_t offset, size_t fieldsSeen) { return endRow(offset, fieldsSeen); });
  return faultKind == Fault::NONE ? read : read - 1;
}

bool RowEncoder::isNa(std::string_view text) const {
  const bool lengthFits =
      text.size() < NA_SHORT_LENGTHS ? (naLengths >> text.size() & 1) != 0 : naLong;
  if (!lengthFits) return false;
  if (!text.empty() && !naFirstBytes.test(static_cast<uint8_t>(text[0]))) return false;
  return na.count(text) != 0;
}

void RowEncoder::field(size_t c, std::string_view text) {
  const size_t width = columns;
  if (rowFault != Fault::NONE || c >= width) {
    if (c == width && !ignoreExtra && rowFault == Fault::NONE) {
      rowFault = Fault::LONG_ROW;
      rowFaultColumn = c;
    }
    return;
  }
  if (c == 0 && format == Format::CANONICAL_CSV) {
    appendRowNumber();
  } else if (c > 0) {
    *out += format == Format::CANONICAL_CSV ? ',' : COPY_DELIMITER;
  }
  if (isNa(text)) {
    null();
    return;
  }
  if (fieldFormats.at(c)) {
    formatted(c, text);
    return;
  }
  const uint8_t seen = classesOf(text);
  if ((seen & NUL_BYTE) != 0) {
    rowFault = Fault::NUL_BYTE;
    rowFaultColumn = c;
  } else if ((seen & NON_ASCII_BYTE) != 0 && !isUtf8(text)) {
    rowFault = Fault::NOT_UTF8;
    rowFaultColumn = c;
  } else {
    value(text, seen);
  }
}

// A field that does not fit is a misfit whatever bytes it holds: both row
// classes report it alike.
void RowEncoder::formatted(size_t c, std::string_view text) {
  if (const std::string* canonical = fieldFormats.convert(c, text)) {
    value(*canonical, classesOf(*canonical));
  } else {
    rowFault = Fault::MISFIT;
    rowFaultColumn = c;
  }
}

void RowEncoder::appendRowNumber() {
  char digits[std::numeric_limits<int64_t>::digits10 + 2];
  const auto written = std::to_chars(std::begin(digits), std::end(digits), rowsDone + 1);
  out->append(digits, written.ptr);
  *out += ',';
}

bool RowEncoder::endRow(int64_t offset, size_t fieldsSeen) {
  ++rowsDone;
  offsets->push_back(offset);
  if (rowFault != Fault::NONE) {
    // The row is dropped whole: the batch ends with the row before it.
    if (rowFault == Fault::MISFIT) fieldFormats.endRow(offset);
    out->resize(rowStart);
    faultKind = rowFault;
    faultRowNumber = rowsDone;
    faultColumnIndex = rowFaultColumn;
    return false;
  }
  const char between = format == Format::CANONICAL_CSV ? ',' : COPY_DELIMITER;
  for (size_t c = fieldsSeen; c < columns; ++c) {
    *out += between;
    null();
  }
  *out += '\n';
  longest = std::max(longest, out->size() - rowStart);
  rowStart = out->size();
  return true;
}

void RowEncoder::value(std::string_view text, uint8_t seen) {
  if (format == Format::CANONICAL_CSV) {
    // Only an empty value (NULL is the unquoted empty field) or one holding a
    // delimiter, quote or line end needs quotes; the reader is then faster.
    if (text.empty() || (seen & CSV_SPECIAL_BYTE) != 0) {
      appendQuoted(text);
    } else {
      out->append(text.data(), text.size());
    }
  } else if ((seen & COPY_SPECIAL_BYTE) != 0) {
    appendEscaped(text);
  } else {
    out->append(text.data(), text.size());
  }
}

void RowEncoder::appendQuoted(std::string_view text) {
  *out += CSV_QUOTE;
  for (;;) {
    const size_t quote = text.find(CSV_QUOTE);
    if (quote == std::string_view::npos) break;
    out->append(text.data(), quote + 1);
    *out += CSV_QUOTE;
    text.remove_prefix(quote + 1);
  }
  out->append(text.data(), text.size());
  *out += CSV_QUOTE;
}

void RowEncoder::appendEscaped(std::string_view text) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* escape = nullptr;
    switch (text[i]) {
      case '\\':
        escape = "\\\\";
        break;
      case '\n':
        escape = "\\n";
        break;
      case '\r':
        escape = "\\r";
        break;
      case '\t':
        escape = "\\t";
        break;
      default:
        continue;
    }
    out->append(text.data() + start, i - start);
    *out += escape;
    start = i + 1;
  }
  out->append(text.data() + start, text.size() - start);
}

void RowEncoder::null() {
  if (format == Format::POSTGRES_TEXT) *out += "\\N";
}
