// One slot of the station: a long-lived child process that waits for a
// board, programs it, holds the result and waits for the board's removal,
// over and over. The core keeps one port per process, so each slot is its
// own process; it talks to the station in the messages of
// common/child_protocol.h.
#pragma once

#include "common/board_identity.h"
#include "common/download_job.h"

#include <sys/types.h>

namespace gang {

// The slot's whole life in its process; never returns. held is the port
// as claimed at the start (kept open between boards), or -1.
[[noreturn]] void runSlot(const DownloadJob &job, const IdentityContext &context, size_t slot,
                          int held, pid_t parent, int statusFd);

} // namespace gang
