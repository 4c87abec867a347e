// Kept apart from every file that includes <termios.h>: the kernel's
// termios2 definitions clash with the C library's.
#include "line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {

long terminalSpeed(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return -1;
    }
    return static_cast<long>(t.c_ospeed);
}

bool makeTerminalRaw(int fd, long baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CBAUD | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER;
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &t) == 0;
}

} // namespace sim
