// The parent's side of the processes the production line starts, one per
// port, for both modes: starting them, their messages, the parent's own
// signals passed on as one cancel, reaping, the grace period and the kill.
#pragma once

#include "common/child_protocol.h"

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace gang {

// Catches SIGINT, SIGTERM and SIGHUP for the parent.
void installParentSignals();
// The first of those signals caught, or 0.
int parentSignal();

// A child's output file, whole (empty when it cannot be read).
std::string readWhole(const std::string &path);
// Why a child ended without reporting its result.
std::string deathReason(int status);

// What the supervisor tells its owner.
class ChildEvents {
  public:
    virtual ~ChildEvents() = default;
    virtual void message(size_t child, const ChildMessage &message) = 0;
    // The child's process is over and every message it sent was read
    // (cancelled: the run was cancelled by a signal).
    virtual void ended(size_t child, int waitStatus, bool cancelled) = 0;
};

class Supervisor {
  public:
    // How long cancelled children get to close their lines before they
    // are killed.
    static constexpr std::chrono::seconds kCancelGrace{8};

    Supervisor(size_t children, ChildEvents *events);

    // Forks child i to run body, which must not return (it ends with
    // _exit). body gets the parent's pid and the write end of the status
    // pipe, for becomeChild. The parent's signals are blocked around the
    // fork, so that the child takes its handlers before it sees one.
    // keepFd passes to the child; the child closes closeFds (the other
    // children's ports). The parent keeps its copies until every child is
    // started: a number closed earlier could be taken by a later pipe, and a
    // later child would then close that instead of a port.
    using Body = std::function<void(pid_t parent, int statusFd)>;
    bool start(size_t i, int keepFd, const std::vector<int> &closeFds, const Body &body,
               std::string *error);
    // Child i will not be started: it counts as ended.
    void skip(size_t i);

    // One turn: waits up to timeoutMs for a message, a signal or extraFd
    // (-1: none), passes on a signal as a cancel, reads and reaps, kills
    // what outlived the grace period. True when extraFd is readable.
    bool turn(int timeoutMs, int extraFd = -1);

    // No new boards: every child ends after the board in progress.
    void stopAll();
    bool allEnded() const;
    // The signal that cancelled the run, or 0.
    int cancelledBy() const { return cancelledBy_; }

  private:
    struct Child {
        pid_t pid = -1;
        int statusFd = -1;
        bool reaped = false;
        bool ended = false;
        int waitStatus = 0;
        MessageReader reader;
    };

    void passOnSignal();
    void readFrom(size_t i);
    void reap();
    void killLate();

    std::vector<Child> children_;
    ChildEvents *events_;
    int cancelledBy_ = 0;
    bool killed_ = false;
    std::chrono::steady_clock::time_point cancelDeadline_{};
};

} // namespace gang
