// One port of a one-shot run, as the parent sees it.
#pragma once

#include "common/board_identity.h"
#include "common/unique_state.h"

#include <chrono>
#include <string>

namespace gang {

using SteadyTime = std::chrono::steady_clock::time_point;

enum class Outcome { Running, Ok, Failed, Interrupted };

struct Board {
    std::string port;     // as given
    std::string label;    // short name on screen
    std::string resolved; // the device it named at the start of the run
    int claimFd = -1;     // the port held for the worker until it starts
    // The recipe's per-board values, allocated before any board starts;
    // valuesRefused: why there are none for this board (it is not started).
    Allocation values;
    std::string valuesRefused;

    BoardRecord record; // who the board is, as its worker found it, and its result
    SteadyTime start{};
    SteadyTime end{};

    int phase = 0; // enum kelvo_phase
    int percent = -1;
    Outcome outcome = Outcome::Running;
    std::string reason;

    bool finished() const { return outcome != Outcome::Running; }
};

// Seconds since the board started, up to its end once finished.
double elapsedSeconds(const Board &board, SteadyTime now);

// The boards' labels cut to width where needed, an end they all share
// (such as "-if00-port0") left out first.
std::vector<std::string> fittedLabels(const std::vector<Board> &boards, size_t width);
// The board's failure reason as shown beside its label.
std::string shownReason(const Board &board);

} // namespace gang
