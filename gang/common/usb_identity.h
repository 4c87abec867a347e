// The USB adapter behind a serial port, from sysfs: its serial number and
// vendor:product id, for the traceability log.
#pragma once

#include <string>

namespace gang {

struct UsbIdentity {
    std::string serial; // empty when the device has none or is not USB
    std::string usbId;  // "0403:6001", or empty
};

// sysRoot is "/sys" on a live system; tests pass a fabricated tree. The tty
// name is the last component of resolvedPort (e.g. ttyUSB0).
UsbIdentity usbIdentity(const std::string &sysRoot, const std::string &resolvedPort);

} // namespace gang
