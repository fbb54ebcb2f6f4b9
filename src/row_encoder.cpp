#include "row_encoder.h"

#include <cstring>

namespace {

constexpr char COPY_DELIMITER = '\t';
constexpr char CSV_QUOTE = '"';
constexpr std::string_view CSV_SPECIAL = ",\"\r\n";

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
  row.clear();
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
    row += std::to_string(rowsDone + 1);
    row += ',';
  } else if (c > 0) {
    row += format == Format::CANONICAL_CSV ? ',' : COPY_DELIMITER;
  }
  if (na.count(text)) {
    null();
  } else if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
    rowFault = Fault::NUL_BYTE;
    rowFaultColumn = c;
  } else if (!isUtf8(text)) {
    rowFault = Fault::NOT_UTF8;
    rowFaultColumn = c;
  } else {
    value(text);
  }
}

bool RowEncoder::endRow(int64_t offset, size_t fieldsSeen) {
  ++rowsDone;
  offsets->push_back(offset);
  if (rowFault != Fault::NONE) {
    faultKind = rowFault;
    faultRowNumber = rowsDone;
    faultColumnIndex = rowFaultColumn;
    return false;
  }
  const char between = format == Format::CANONICAL_CSV ? ',' : COPY_DELIMITER;
  for (size_t c = fieldsSeen; c < columns; ++c) {
    row += between;
    null();
  }
  row += '\n';
  *out += row;
  row.clear();
  return true;
}

void RowEncoder::value(std::string_view text) {
  if (format == Format::CANONICAL_CSV) {
    appendQuoted(text);
  } else {
    appendEscaped(text);
  }
}

void RowEncoder::appendQuoted(std::string_view text) {
  // Only an empty value (NULL is the unquoted empty field) or one holding a
  // delimiter, quote or line end needs quotes; the reader is then faster.
  if (!text.empty() && text.find_first_of(CSV_SPECIAL) == std::string_view::npos) {
    row.append(text.data(), text.size());
    return;
  }
  row += CSV_QUOTE;
  for (;;) {
    const size_t quote = text.find(CSV_QUOTE);
    if (quote == std::string_view::npos) break;
    row.append(text.data(), quote + 1);
    row += CSV_QUOTE;
    text.remove_prefix(quote + 1);
  }
  row.append(text.data(), text.size());
  row += CSV_QUOTE;
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
    row.append(text.data() + start, i - start);
    row += escape;
    start = i + 1;
  }
  row.append(text.data() + start, text.size() - start);
}

void RowEncoder::null() {
  if (format == Format::POSTGRES_TEXT) row += "\\N";
}
