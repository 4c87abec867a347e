// Process set-up shared by both front ends, run before anything is opened.
#include "KelvoPG_core.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A program started with standard output closed would hand descriptor 1 to
// the next file it opens (the serial port, a settings file, flash.bin), and
// its own messages would then land there: on the line as commands to the
// chip, or inside the file. /dev/null takes any free standard number first.
void fillClosedStandardStreams() {
    for (;;) {
        int fd = ::open("/dev/null", O_RDWR);
        if (fd < 0) {
            return;
        }
        if (fd > STDERR_FILENO) {
            ::close(fd);
            return;
        }
    }
}

} // namespace

extern "C" void kelvo_prepare_process(void) {
    fillClosedStandardStreams();
    // A reader of our output that goes away (a pipe into head) must fail the
    // output, not kill the process halfway through writing the flash.
    std::signal(SIGPIPE, SIG_IGN);
}
