#include "textconvert.h"

#include <QByteArray>
#include <cstdlib>

namespace textconvert {

namespace {
constexpr int kHexBase = 16;
}

int rowOffsetValue(const QString &text) {
    bool ok = false;
    const int offset = text.toInt(&ok, kHexBase);
    return ok ? offset : 0;
}

char cellByte(const QString &text) {
    bool ok = false;
    const int value = text.toInt(&ok, kHexBase);
    return ok ? char(value & 0xFF) : char(0);
}

long flashIdValue(const QString &text) {
    const QByteArray latin1 = text.toLatin1();
    return std::strtol(latin1.constData(), nullptr, kHexBase);
}

} // namespace textconvert
