// The desktop program's conversions of typed text into numbers, kept free
// of widgets so that they can be checked on any text.
#pragma once

#include <QString>

namespace textconvert {

// A layout row's offset: the whole text must be one hexadecimal number in
// the signed 32-bit range, "0x" allowed; anything else reads as 0.
int rowOffsetValue(const QString &text);

// A cell of the system-data map: not wholly a hexadecimal number reads as
// 0; a larger number keeps its low 8 bits.
char cellByte(const QString &text);

// The flash ID field, with strtol's leniency: leading blanks, sign and "0x"
// accepted, stops at the first non-digit; no digits gives 0.
long flashIdValue(const QString &text);

} // namespace textconvert
