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

// Other: bytes came that answer nothing (a board running its own
// firmware, or one that is not the board the slot marked).
enum class Answer { Yes, No, NoPort, Other };

class LineProbe {
  public:
    explicit LineProbe(std::string port) : port_(std::move(port)) {}
    ~LineProbe() { close(); }
    LineProbe(const LineProbe &) = delete;
    LineProbe &operator=(const LineProbe &) = delete;

    // "ping" at rate, and up to waitMs for the board's "ping".
    Answer ping(uint32_t rate, int waitMs);
    // Leaves the mark of a board already met in the chip: the word that
    // every connection writes, which a chip just reset into its boot
    // loader does not hold.
    Answer mark(uint32_t rate, int waitMs);
    // Whether the board on the line holds the mark: Yes, Other for a
    // board without it (a new one), No when nobody answers.
    Answer marked(uint32_t rate, int waitMs);
    // Sends nothing and waits up to waitMs for any byte: Other when one came.
    Answer listen(uint32_t rate, int waitMs);
    // Lets the port go (before a download opens it itself).
    void close();
    // Why the port cannot be used ("no device", "busy", ...); empty when it can.
    const std::string &problem() const { return problem_; }

  private:
    bool ensureOpen(uint32_t rate);
    // Sends command (may be empty) and reads up to size bytes within waitMs;
    // false with the problem set when the line failed.
    bool exchange(uint32_t rate, const std::string &command, int waitMs, char *reply,
                  uint32_t size);

    std::string port_;
    bool open_ = false;
    uint32_t rate_ = 0;
    std::string problem_;
};

} // namespace gang
