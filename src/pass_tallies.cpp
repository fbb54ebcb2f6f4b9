#include "pass_tallies.h"

#include "csv/parser.h"

#define QUORLE_MERGE(member, key, group, merge) member = merge(member, other.member);
#define QUORLE_SAME(member, ...) &&member == other.member

void Quirks::add(const Quirks& other) { QUORLE_QUIRK_FIELDS(QUORLE_MERGE) }

bool Quirks::operator==(const Quirks& other) const { return true QUORLE_QUIRK_FIELDS(QUORLE_SAME); }

void PassTallies::add(const PassTallies& other) {
  quirks.add(other.quirks);
  QUORLE_LINE_FIELDS(QUORLE_MERGE)
}

#undef QUORLE_MERGE
#undef QUORLE_SAME

void Quirks::addTokenizer(const csv::CsvParser& parser) {
  const csv::CsvParser::Quirks& q = parser.quirks();
  midFieldQuotes += q.mid_field_quotes;
  textAfterQuote += q.text_after_quote;
  copyEndLines += q.copy_end_lines;
  quotedLineEnds += q.quoted_line_ends;
  lf += q.lf;
  crlf += q.crlf;
  cr += q.cr;
  if (q.unclosed_quote) unclosedQuote = 1;
}
