// The desktop program's text conversions (layout row offsets, map cells,
// flash ID) on arbitrary typed text.
#include "fuzz_support.h"
#include "textconvert.h"

#include <QString>

namespace {

void convert(const QString &text) {
    textconvert::rowOffsetValue(text);
    textconvert::cellByte(text);
    textconvert::flashIdValue(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *chars = reinterpret_cast<const char *>(data);
    int length = static_cast<int>(size);
    convert(QString::fromUtf8(chars, length));
    convert(QString::fromLatin1(chars, length));
    if (size > 0) {
        // A cell shows its byte as two upper-case hexadecimal digits.
        const QString shown = QString("%1").arg(data[0], 2, 16, QChar('0')).toUpper();
        if (textconvert::cellByte(shown) != data[0]) {
            fuzz::fail("a map cell does not read back its own byte");
        }
    }
    return 0;
}
