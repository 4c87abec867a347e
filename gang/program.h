// What both modes of kelvo_pgtool_gang share at their start: exit
// statuses, messages on standard error and the taking of every port.
#pragma once

#include <string>
#include <vector>

namespace gang {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr const char *kProgram = "kelvo_pgtool_gang";
constexpr const char *kTtyClassDir = "/sys/class/tty";

// "kelvo_pgtool_gang: why" on standard error; returns status.
int complain(int status, const std::string &why);

// Takes every port before any is programmed: a port held by another
// program, or a device that is no serial line, is the station's problem,
// not a board's failure. Then prints one line per such port and that
// nothing was sent, and returns false.
bool claimEveryPort(const std::vector<std::string> &ports, std::vector<int> *fds);

} // namespace gang
