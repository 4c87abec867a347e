// One slot of the station: a long-lived child process that waits for a
// board, programs it, holds the result and waits for the board's removal,
// over and over. The core keeps one port per process, so each slot is its
// own process; it reports over a pipe, one line per message:
//   "W <problem>"  waiting for a board (problem: why the port is not usable)
//   "B <n>"        board n of the slot detected, programming starts
//   "P <phase> <percent>", "R <result>"  as a one-shot worker sends them
//   "H"            result held: waiting for the board to be taken out
//   "G"            the board is gone
#pragma once

#include "common/download_job.h"

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace gang {

// Asks a slot to end once the board in progress is finished.
constexpr int kStopSignal = SIGUSR2;

struct SlotSetup {
    std::string port;       // as given
    std::string outputStem; // board n's output goes to <outputStem>-<n>.log
};

// The output file of the slot's board n.
std::string boardOutputFile(const SlotSetup &setup, int board);

// Forks the slot's process; the claim on its port (own) passes to it, and
// it closes the others it inherits. false with error when it could not be
// started.
bool startSlot(const DownloadJob &job, const SlotSetup &setup, int own,
               const std::vector<int> &claims, pid_t *pid, int *statusFd, std::string *error);

} // namespace gang
