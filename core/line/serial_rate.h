// Linux's arbitrary-rate interface (termios2 with BOTHER), for baud rates
// that have no speed code. Kept in its own file because <asm/termbits.h>
// cannot be included together with <termios.h>.
#pragma once

#include <cstdint>

namespace kelvo_serial {

// Sets input and output speed of the tty fd to rate bit/s, leaving every
// other setting as it is. 0, or the errno of the failed ioctl.
int setArbitraryRate(int fd, uint32_t rate);

// Reads the line's actual input and output speeds in bit/s (whatever way
// they were set). 0, or the errno of the failed ioctl.
int readLineRate(int fd, uint32_t *in_rate, uint32_t *out_rate);

} // namespace kelvo_serial
