// One port of a run, as the parent sees it.
#pragma once

#include "common/usb_identity.h"

#include <chrono>
#include <ctime>
#include <string>
#include <sys/types.h>

namespace gang {

using SteadyTime = std::chrono::steady_clock::time_point;

enum class Outcome { Running, Ok, Failed, Interrupted };

struct Board {
    std::string port;       // as given
    std::string label;      // short name on screen and of its output file
    std::string resolved;   // the device it names
    std::string outputFile; // path of its output in the run directory
    UsbIdentity usb;

    int claimFd = -1; // the port held for the worker until it starts
    pid_t pid = -1;
    int statusFd = -1; // read end of the worker's status pipe
    bool reaped = false;
    int waitStatus = 0;

    std::time_t startWall = 0;
    SteadyTime start{};
    SteadyTime end{};

    int phase = 0; // enum kelvo_phase
    int percent = -1;
    bool haveResult = false;
    int result = 0;
    Outcome outcome = Outcome::Running;
    std::string reason;

    bool finished() const { return outcome != Outcome::Running; }
};

// Seconds since the board started, up to its end once finished.
double elapsedSeconds(const Board &board, SteadyTime now);

} // namespace gang
