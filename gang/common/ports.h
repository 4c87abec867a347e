// The ports of a run: the adapters found in sysfs, and the checks that
// refuse a run before any traffic.
#pragma once

#include <string>
#include <vector>

namespace gang {

// "/dev/<name>" for every ttyUSB and ttyACM entry of ttyClassDir (normally
// /sys/class/tty), sorted by name; false when the directory cannot be listed.
bool listAdapterPorts(const std::string &ttyClassDir, std::vector<std::string> *ports,
                      std::string *error);

// Each port must be a character device or a link to one, and no two may
// name the same device. resolved receives the target path of each port.
bool checkPorts(const std::vector<std::string> &ports, std::vector<std::string> *resolved,
                std::string *error);

} // namespace gang
