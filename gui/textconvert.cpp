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
    return ok && offset >= 0 ? offset : -1;
}

int cellByte(const QString &text) {
    const QString digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 2)
        return -1;
    bool ok = false;
    const int value = digits.toInt(&ok, kHexBase);
    return ok && value >= 0 ? value : -1;
}

long flashIdValue(const QString &text) {
    const QByteArray latin1 = text.toLatin1();
    return std::strtol(latin1.constData(), nullptr, kHexBase);
}

} // namespace textconvert
