#include "windowlogic.h"

#include <QSerialPortInfo>
#include <algorithm>

namespace windowlogic {

QStringList portEntries(const QStringList &ports) {
    QStringList entries = ports;
    if (entries.isEmpty())
        entries << QString::fromLatin1(kNoPort);
    entries << QString::fromLatin1(kScan);
    return entries;
}

QStringList availablePortNames() {
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        names << port.portName();
    return names;
}

int progressPercent(int32_t total, int32_t remaining) {
    if (total <= 0)
        return 0;
    const float sent = static_cast<float>(int64_t(total) - remaining);
    const int percent = static_cast<int>(sent / static_cast<float>(total) * 100.0f);
    return std::clamp(percent, 0, 100);
}

FreshCounter::FreshCounter(int32_t atStart, int64_t expectedSize)
    : atStart_(atStart), moved_(atStart <= 0 || atStart == expectedSize) {}

int32_t FreshCounter::filter(int32_t reading) {
    if (!moved_ && reading == atStart_)
        return 0;
    moved_ = true;
    return reading;
}

} // namespace windowlogic
