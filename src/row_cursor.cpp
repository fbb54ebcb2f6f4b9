#include "row_cursor.h"

bool RowCursor::skipRow(std::string_view first, std::streamoff start) {
  switch (rules.rowSkip(parser, first, start)) {
    case ReadingRules::RowSkip::BLANK:
      ++counts.blankLines;
      return true;
    case ReadingRules::RowSkip::COMMENT:
      ++counts.commentLines;
      return true;
    case ReadingRules::RowSkip::NONE:
      break;
  }
  return false;
}

void RowCursor::finishRow() {
  std::string_view text;
  while (parser.next_view(text) == csv::FieldType::DATA) {
  }
}
