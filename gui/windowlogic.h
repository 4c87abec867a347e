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

// Percentage of a download of total bytes with sent bytes acknowledged,
// truncated, in single precision; clamped to 0..100.
int progressPercent(int64_t total, int64_t sent);

// The baud rate list's entries with the record's rate joined in ascending
// order when it is a rate (positive) that the list lacks: the window shows
// the rate the station uses and stores it back unchanged.
QStringList baudEntries(const QStringList &entries, int32_t recordRate);

} // namespace windowlogic
