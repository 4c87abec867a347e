// The chip's end of the serial line: the master side of a pseudo-terminal,
// with the optional wire-time model.
#pragma once

#include "byte_line.h"
#include "clock.h"

#include <cstdint>
#include <deque>
#include <string>

namespace sim {

struct WireModel {
    bool paced = false; // pace both directions at the terminal's speed
    long latencyUs = 0; // turnaround before every reply
};

class PtyLine : public ByteLine {
  public:
    PtyLine() = default;
    ~PtyLine() override;
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    bool open(const WireModel &wire, std::string &error);
    const std::string &path() const { return path_; }
    bool isOpen() const { return master_ >= 0; }

    // The next byte (0..255), kTimedOut, or kLineGone (stop request or hang-up).
    int readByte(Clock::duration timeout) override;
    // Fills buf with size bytes, waiting at most gap for each new piece;
    // the count stored, or kLineGone.
    long readInto(uint8_t *buf, size_t size, Clock::duration gap) override;
    // Puts a byte back in front of the input.
    void unread(uint8_t byte) override { pending_.push_front(byte); }
    // Discards input until the line has been quiet for the given time
    // (bounded by the limit); false when the line is gone.
    bool purge(Clock::duration quiet, Clock::duration limit) override;

    // Takes in what arrives for the given time without consuming it;
    // false when the line is gone.
    bool collect(Clock::duration time);
    // How often the host has discarded its pending input (it does so when
    // it closes the port): what it reads after that is new.
    uint64_t inputFlushes() const override { return inputFlushes_; }
    uint64_t hostsGone() const override { return hostsGone_; }

    // A reply: waits the turnaround latency first. False when the line is gone.
    bool reply(const std::string &bytes) override;
    // Raw bytes without the turnaround (XModem control bytes use reply too).
    bool send(const std::string &bytes);

    // The rate the host has configured on its side, in baud (-1 unknown).
    long hostSpeed() const;
    // Closes both sides like an unplugged adapter.
    void hangUp() override;

  private:
    int fillStatus(Clock::time_point deadline);
    bool releaseAbandonedTerminal();
    void paceReceived(size_t count);
    bool writeAll(const char *data, size_t size);
    Clock::duration wireTime(size_t count) const;

    int master_ = -1;
    int slave_ = -1; // our own handle: the host's close then never hangs up
    std::string path_;
    std::deque<uint8_t> pending_;
    uint64_t inputFlushes_ = 0;
    uint64_t hostsGone_ = 0;
    WireModel wire_;
    Clock::time_point rxFreeAt_{};
    Clock::time_point txFreeAt_{};
    Clock::time_point nextHolderCheck_{};
};

} // namespace sim
