// The desktop program's conversions of typed text into numbers, kept free
// of widgets so that they can be checked on any text.
#pragma once

#include <QString>

namespace textconvert {

// A layout row's offset: the whole text must be one hexadecimal number from
// 0 to 0x7FFFFFFF, "0x" allowed; -1 for anything else.
int rowOffsetValue(const QString &text);

// A cell of the system-data map: one or two hexadecimal digits, blanks
// around them allowed; -1 for anything else.
int cellByte(const QString &text);

// The flash ID field, with strtol's leniency: leading blanks, sign and "0x"
// accepted, stops at the first non-digit; no digits gives 0.
long flashIdValue(const QString &text);

} // namespace textconvert
