// termios2 access to the line speed: the one place that includes the
// kernel's terminal definitions.
#include "serial_rate.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace kelvo_serial {

int setArbitraryRate(int fd, uint32_t rate) {
    struct termios2 t2 {};
    if (::ioctl(fd, TCGETS2, &t2) != 0) {
        return errno;
    }
    // BOTHER in both the output and the input speed field: the kernel then
    // takes the speeds from c_ospeed and c_ispeed as plain numbers.
    t2.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t2.c_ispeed = rate;
    t2.c_ospeed = rate;
    if (::ioctl(fd, TCSETS2, &t2) != 0) {
        return errno;
    }
    return 0;
}

int readLineRate(int fd, uint32_t *in_rate, uint32_t *out_rate) {
    struct termios2 t2 {};
    if (::ioctl(fd, TCGETS2, &t2) != 0) {
        return errno;
    }
    *in_rate = t2.c_ispeed;
    *out_rate = t2.c_ospeed;
    return 0;
}

} // namespace kelvo_serial
