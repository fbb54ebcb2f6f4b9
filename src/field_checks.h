// Checks of a field's text that a database load depends on: whether a
// number survives the column type it would be loaded as, and whether the
// text is UTF-8.
#pragma once

#include <string_view>

// Whether a decimal text is exactly a double: the nearest double, printed
// with the text's own number of significant digits, gives back its value.
bool fitsDouble(std::string_view text);
// Whether an integer text (sign and leading zeros allowed) fits int64.
bool fitsInt64(std::string_view text);
// Whether text is well-formed UTF-8.
bool validUtf8(std::string_view text);
