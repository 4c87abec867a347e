// The process that downloads into one board: its output goes to the
// board's file, its phase and result come back over a pipe.
#pragma once

#include "oneshot/board.h"
#include "common/download_job.h"

#include <csignal>
#include <atomic>
#include <string>
#include <vector>

namespace gang {

// Status messages on the pipe, one line each, written whole:
//   "P <phase> <percent>\n"  phase (enum kelvo_phase) and percent (-1: none)
//   "R <result>\n"           the core's result, the last message
struct StatusParser {
    std::string pending;
    // Feeds bytes; updates the board's phase, percent and result.
    void feed(const char *bytes, size_t n, Board *board);
};

// How the parent passes an interrupt on to its workers.
constexpr int kRelaySignal = SIGUSR1;

// ---- The child's side, shared with the station's slots.
// Where sendStatus writes.
void setStatusPipe(int fd);
// One status line, written whole.
void sendStatus(const char *line);
// A thread that sends "P" lines while the core works. With stopWanted, it
// also requests the core's cancellation again whenever that flag is set
// and none is pending: a request that came just before the operation
// began is cleared by its start and would otherwise be lost.
void startProgressWatch(const std::atomic<bool> *stopWanted = nullptr);
void stopProgressWatch();
// Standard output and error into fd (which is closed), after what was
// buffered for the old ones.
void redirectOutput(int fd);
// Own process group, dies with the parent, the core's interrupt handlers
// and the relay of the parent's interrupt.
void becomeChild();

// Forks the worker for board (port, output file set) with the signals of
// the parent blocked; fills pid, statusFd, start times. false with error
// when it could not be started. The board's claim on its port passes to
// the worker; the worker closes the other claims it inherits.
bool startWorker(const DownloadJob &job, Board *board, const std::vector<int> &otherClaims,
                 std::string *error);

} // namespace gang
