#include "windowlogic.h"

#include "KelvoPG_core.h"

#include <QFileInfo>
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

QStringList portEntries(const QStringList &ports, const QString &extraDevice) {
    QStringList found = ports;
    if (!extraDevice.isEmpty())
        found.prepend(extraDevice);
    return portEntries(found);
}

QString offeredDevice(const QString &recordDevice, const QStringList &ports) {
    const QFileInfo device(recordDevice);
    // "NaN" is the record's mark of a device never set, not a file name.
    if (recordDevice.isEmpty() || recordDevice == QLatin1String("NaN") || !device.exists() ||
        device.isDir())
        return QString();
    for (const QString &port : ports) {
        const QString path = devicePath(port);
        if (path == recordDevice ||
            QFileInfo(path).canonicalFilePath() == device.canonicalFilePath())
            return QString();
    }
    return recordDevice;
}

QString devicePath(const QString &entry, const QString &offered) {
    return !offered.isEmpty() && entry == offered ? entry : QStringLiteral("/dev/") + entry;
}

int checkFlashOffset(const QString &text) {
    constexpr int kHexBase = 16;
    const QString digits = text.mid(2);
    const bool hexDigits =
        !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](QChar c) {
            const QChar lower = c.toLower();
            return (c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'f');
        });
    if (!text.startsWith(QLatin1String("0x")) || !hexDigits)
        return KELVO_OFFSET_FORMAT;
    bool ok = false;
    const qulonglong value = digits.toULongLong(&ok, kHexBase);
    return ok && value <= 0x7FFFFFFFu ? KELVO_SUCCESS : KELVO_OFFSET_RANGE;
}

QStringList availablePortNames() {
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        names << port.portName();
    return names;
}

int progressPercent(int64_t total, int64_t sent) {
    if (total <= 0)
        return 0;
    const int percent =
        static_cast<int>(static_cast<float>(sent) / static_cast<float>(total) * 100.0f);
    return std::clamp(percent, 0, 100);
}

QStringList baudEntries(const QStringList &entries, int32_t recordRate) {
    const QString rate = QString::number(recordRate);
    if (recordRate <= 0 || entries.contains(rate))
        return entries;
    QStringList joined = entries;
    int row = 0;
    while (row < joined.size() && joined.at(row).toLongLong() < recordRate)
        ++row;
    joined.insert(row, rate);
    return joined;
}

} // namespace windowlogic
