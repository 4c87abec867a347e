// What the XModem receiver needs of the line to the host, so that it can
// also be driven from memory (the fuzz target feeds it arbitrary bytes).
#pragma once

#include "clock.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// What a read of one byte can bring besides a byte.
enum : int { kTimedOut = -1, kLineGone = -2 };

class ByteLine {
  public:
    virtual ~ByteLine() = default;
    // The next byte (0..255), kTimedOut, or kLineGone (stop request or hang-up).
    virtual int readByte(Clock::duration timeout) = 0;
    // Fills buf with size bytes, waiting at most gap for each new piece;
    // the count stored, or kLineGone. Byte by byte unless the line can do
    // better.
    virtual long readInto(uint8_t *buf, size_t size, Clock::duration gap) {
        for (size_t i = 0; i < size; ++i) {
            int b = readByte(gap);
            if (b == kLineGone) {
                return kLineGone;
            }
            if (b == kTimedOut) {
                return static_cast<long>(i);
            }
            buf[i] = static_cast<uint8_t>(b);
        }
        return static_cast<long>(size);
    }
    // Puts a byte back in front of the input.
    virtual void unread(uint8_t byte) = 0;
    // Discards input until the line has been quiet for the given time
    // (bounded by the limit); false when the line is gone.
    virtual bool purge(Clock::duration quiet, Clock::duration limit) = 0;
    // How often the host has discarded its pending input (it does so when
    // it closes the port): what it reads after that is new.
    virtual uint64_t inputFlushes() const = 0;
    // How often a host went away without closing its port (killed): the
    // transfer in progress then has nobody left to send it.
    virtual uint64_t hostsGone() const { return 0; }
    // A reply: waits the turnaround latency first. False when the line is gone.
    virtual bool reply(const std::string &bytes) = 0;
    // Closes both sides like an unplugged adapter.
    virtual void hangUp() = 0;
};

} // namespace sim
