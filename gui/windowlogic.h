// Small decisions of the main window kept apart from the widgets so that
// they can be checked with any port list or counter value.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace windowlogic {

// Entry of the port list meaning: no serial port was found.
inline const char *const kNoPort = "N/A";
// Entry of the port list meaning: look for serial ports again.
inline const char *const kScan = "Scan";

// The port list's entries for these ports: the ports and "Scan", or
// "N/A" and "Scan" when there is none.
QStringList portEntries(const QStringList &ports);
// The same with extraDevice (a path) first, when it is not empty.
QStringList portEntries(const QStringList &ports, const QString &extraDevice);

// The record's device when the list should offer it by its path: it exists
// and is none of these ports (names without "/dev/"); else "".
QString offeredDevice(const QString &recordDevice, const QStringList &ports);

// The device an entry of the port list stands for: a port name lives in
// "/dev/", the offered record's device is taken as it is.
QString devicePath(const QString &entry, const QString &offered = QString());

// The download's check of a flash offset text: 176 for "0x" and
// hexadecimal digits up to 0x7FFFFFFF, 179 for another form, 180 beyond.
int checkFlashOffset(const QString &text);

// Names (without "/dev/") of the serial ports the toolkit lists now.
QStringList availablePortNames();

// Percentage of a transfer of total bytes with remaining bytes still to
// send, truncated, in single precision; clamped to 0..100 so that a
// counter left over by an earlier transfer cannot push the bar outside.
int progressPercent(int32_t total, int32_t remaining);

// Tells the progress counter's readings that belong to the download just
// started from a value left over by an earlier transfer that failed: the
// counter keeps that value until the new transfer sets it, which happens
// only after the connect sequence. A reading equal to the value at the
// start counts as 0 until the counter has moved, unless that value is the
// size the new transfer is expected to have.
class FreshCounter {
  public:
    explicit FreshCounter(int32_t atStart = 0, int64_t expectedSize = -1);
    // The reading, or 0 while it may still be the value left over.
    int32_t filter(int32_t reading);

  private:
    int32_t atStart_;
    bool moved_;
};

} // namespace windowlogic
