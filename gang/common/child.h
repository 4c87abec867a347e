// The side of a process that the production line starts for a port (a
// one-shot worker or a station's slot): its messages to the parent, its
// output, and the one decision when it leaves.
#pragma once

#include "common/child_protocol.h"

#include <sys/types.h>

namespace gang {

// Set up in the new process, first thing: its own process group (Ctrl-C
// reaches the parent only, which passes one cancel on), the status pipe,
// death with the parent, the core's interrupt handlers and the parent's
// requests; then the signals that were blocked around the fork unblocked.
void becomeChild(pid_t parent, int statusFd);

// One message to the parent, written whole. A parent that is gone leaves
// nothing to report to.
void sendMessage(const ChildMessage &message);

// ---- When to leave: the one place that decides it.
// Now: the parent cancelled, is gone, or a signal asked the process to
// end. What is on the line has been (or is being) cancelled by the core.
bool mustLeave();
// After the board in progress: the parent asked for no new boards, or
// the process must leave now.
bool leaveAfterBoard();
// Sleeps for ms, cut short when the process must leave. While it must
// leave it returns at once: a waiting loop then ends instead of spinning
// on the pending cancellation.
void pauseUnlessLeaving(int ms);

// A thread that sends progress messages while the core works, and asks
// the core to cancel whenever the process must leave and no cancellation
// is pending (a request that came just before an operation began is
// cleared by its start and would otherwise be lost).
void startProgressWatch();
void stopProgressWatch();

// Standard output and error into fd (which is closed), after what was
// buffered for the old ones.
void redirectOutput(int fd);
// Standard output and error into /dev/null.
void quietOutput();

} // namespace gang
