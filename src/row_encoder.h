// Rows of a delimited file re-encoded for a database's bulk path, as the pass
// reads them: a missing value becomes NULL, a short row is padded with NULL.
#pragma once

#include <bitset>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "field_formats.h"
#include "formats.h"
#include "row_reader.h"

class RowEncoder {
 public:
  enum class Format {
    // Postgres COPY text: a tab between fields, \N for NULL, backslash escapes.
    POSTGRES_TEXT,
    // A CSV with nothing to guess: the row's number, then the values, NULL an
    // unquoted empty field and an empty text "".
    CANONICAL_CSV,
  };

  // Why a row was not encoded.
  // MISFIT: a field does not fit its column's format (see misfit()).
  enum class Fault { NONE, LONG_ROW, NUL_BYTE, NOT_UTF8, MISFIT };

  // Opens the file, decoded as `input` says, and reads its first row: the
  // columns are as many as its fields. With rules.header it is the header,
  // else the first data row. Errors are RowReader's.
  RowEncoder(const std::string& path, char delimiter,
             const std::unordered_set<std::string>& naValues, Format format, bool ignoreExtraFields,
             const InputSource::Settings& input = {}, const ReadingRules& rules = {});

  // The header row's cells; empty without a header.
  const std::vector<std::string>& header() const { return headerCells; }
  // The columns: the first row's width.
  size_t width() const { return columns; }
  // Bytes of the file read so far (of the compressed file, when it is).
  uint64_t bytesRead() const { return reader.bytesRead(); }

  // Appends up to `maxRows` next data rows to `out` (cleared first) and their
  // start offsets to `offsets` (cleared first); returns the rows encoded, 0 at
  // the end. A faulty row stops the batch before it, its offset last in
  // `offsets`: fault(), faultRow() (its 1-based number among the data rows) and
  // faultColumn() (0-based) say why.
  size_t encode(size_t maxRows, std::string& out, std::vector<int64_t>& offsets);

  // The longest row the last encode() wrote, in bytes with its line end: a
  // reader with a line limit must be told of a longer one.
  size_t longestRow() const { return longest; }

  // Formats by header position: a data row's field at a position with one is
  // written as its canonical text; a missing value stays NULL.
  void setFormats(std::vector<std::optional<formats::Format>> byPosition) {
    fieldFormats.set(std::move(byPosition));
  }
  // The field of a MISFIT fault.
  const std::optional<FieldFormats::Misfit>& misfit() const { return fieldFormats.misfit(); }

  Fault fault() const { return faultKind; }
  int64_t faultRow() const { return faultRowNumber; }
  size_t faultColumn() const { return faultColumnIndex; }

 private:
  // Encodes the first row when it is data; false when it is faulty.
  bool encodeFirstRow();
  bool isNa(std::string_view text) const;
  void field(size_t c, std::string_view text);
  void formatted(size_t c, std::string_view text);
  void appendRowNumber();
  bool endRow(int64_t offset, size_t fieldsSeen);
  // `seen`: the byte classes the text holds (see row_encoder.cpp).
  void value(std::string_view text, uint8_t seen);
  void null();

  void appendQuoted(std::string_view text);
  void appendEscaped(std::string_view text);

  RowReader reader;
  std::vector<std::string> naTexts;
  // Views into naTexts: a field is looked up without a copy.
  std::unordered_set<std::string_view> na;
  // Filters in front of the lookup, which most fields fail: the lengths of the
  // shorter missing values (bit n for length n), whether any is longer, and
  // their first bytes.
  static constexpr size_t NA_SHORT_LENGTHS = 64;
  uint64_t naLengths = 0;
  bool naLong = false;
  std::bitset<1 << CHAR_BIT> naFirstBytes;
  Format format;
  bool ignoreExtra;
  FieldFormats fieldFormats;
  std::vector<std::string> headerCells;
  size_t columns = 0;
  // The first row, read to count the columns, when it is data not yet encoded.
  std::vector<std::string> firstRow;
  int64_t firstRowOffset = 0;
  int64_t rowsDone = 0;

  // The batch being written, and where its row being encoded starts: a faulty
  // row is cut off there.
  std::string* out = nullptr;
  size_t rowStart = 0;
  size_t longest = 0;
  std::vector<int64_t>* offsets = nullptr;
  Fault rowFault = Fault::NONE;
  size_t rowFaultColumn = 0;

  Fault faultKind = Fault::NONE;
  int64_t faultRowNumber = 0;
  size_t faultColumnIndex = 0;
};
