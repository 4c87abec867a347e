// Asks a port whether a board in download mode is there: the boot
// loader's "ping" with a bounded wait, through the core's serial layer. The
// serial layer's messages become the port's problem (they still reach
// standard output, which a slot points at /dev/null while it probes). The
// port stays open between probes at the same rate, so that nobody else
// takes it while the slot waits.
#pragma once

#include <cstdint>
#include <string>

namespace gang {

enum class Answer { Yes, No, NoPort };

class LineProbe {
  public:
    explicit LineProbe(std::string port) : port_(std::move(port)) {}
    ~LineProbe() { close(); }
    LineProbe(const LineProbe &) = delete;
    LineProbe &operator=(const LineProbe &) = delete;

    // "ping" at rate, and up to waitMs for the board's "ping".
    Answer ping(uint32_t rate, int waitMs);
    // Lets the port go (before a download opens it itself).
    void close();
    // Why the port cannot be used ("no device", "busy", ...); empty when it can.
    const std::string &problem() const { return problem_; }

  private:
    bool ensureOpen(uint32_t rate);

    std::string port_;
    bool open_ = false;
    uint32_t rate_ = 0;
    std::string problem_;
};

} // namespace gang
