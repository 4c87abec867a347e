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

// Names (without "/dev/") of the serial ports the toolkit lists now.
QStringList availablePortNames();

// Percentage of a transfer of total bytes with remaining bytes still to
// send, truncated, in single precision; clamped to 0..100 so that a
// counter left over by an earlier transfer cannot push the bar outside.
int progressPercent(int32_t total, int32_t remaining);

} // namespace windowlogic
