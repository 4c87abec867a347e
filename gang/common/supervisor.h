// Runs every board's worker at once and follows them to the end; forwards
// Ctrl-C and SIGTERM to the workers so that each cancels its own line.
#pragma once

#include "oneshot/board.h"
#include "common/download_job.h"
#include "oneshot/status_display.h"

#include <functional>
#include <string>
#include <vector>

namespace gang {

// Called once per board when its outcome is known.
using BoardFinished = std::function<void(const Board &)>;

// Catches SIGINT, SIGTERM and SIGHUP for the parent.
void installParentSignals();

// Blocks (or unblocks) those signals and the relay, around a fork.
void setSignalsBlocked(bool blocked);
// Readable after one of those signals; the first signal caught, or 0.
int parentSignalFd();
int parentSignal();
void drainParentSignalFd();

// A child's output file, whole (empty when it cannot be read).
std::string readWhole(const std::string &path);
// Why a child ended without reporting its result.
std::string deathReason(int status);

// Starts the workers and waits for all of them; returns the signal that
// interrupted the run, or 0.
int superviseRun(const DownloadJob &job, std::vector<Board> *boards, StatusDisplay *display,
                 const BoardFinished &finished);

} // namespace gang
