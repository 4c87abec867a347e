// Line settings of the terminal side, read and set through the kernel's
// termios2 interface so that arbitrary rates are seen exactly.
#pragma once

namespace sim {

// The output speed in baud the terminal side is set to, or -1 on failure.
long terminalSpeed(int fd);
// Raw 8N1 at the given speed, no echo, no line editing, no signals.
bool makeTerminalRaw(int fd, long baud);

} // namespace sim
