// The core's fixed pauses: waits on the cancellation descriptor through the
// line's poll, so that a scripted line's virtual clock counts them too.
#include "line.h"

#include "KelvoPG_core.h"

#include <poll.h>

bool kelvo_pause_ms(int ms) {
    struct pollfd pfd = {kelvo_cancel_fd(), POLLIN, 0};
    // poll() counts its own time-out; a signal that is not ours (EINTR)
    // only shortens the pause, which callers tolerate as they would a
    // slow chip.
    int n = kelvo_line::ops().poll(&pfd, 1, ms);
    return !(n > 0 || kelvo_cancel_requested());
}
