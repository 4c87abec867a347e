// The simulator's XModem receiver on arbitrary host bytes, over a line in
// memory. The input is a few set-up bytes, then bursts of bytes, each
// preceded by its two-byte length; a silence follows every burst.
#include "byte_line.h"
#include "flash_model.h"
#include "fuzz_support.h"
#include "xmodem_receiver.h"

#include <deque>
#include <vector>

namespace {

class MemoryLine : public sim::ByteLine {
  public:
    explicit MemoryLine(std::deque<std::vector<uint8_t>> bursts) : bursts_(std::move(bursts)) {}

    int readByte(sim::Clock::duration) override {
        if (gone_) {
            return sim::kLineGone;
        }
        if (!pending_.empty()) {
            int b = pending_.front();
            pending_.pop_front();
            return b;
        }
        if (bursts_.empty()) {
            return sim::kTimedOut;
        }
        std::vector<uint8_t> &burst = bursts_.front();
        if (position_ == burst.size()) {
            bursts_.pop_front();
            position_ = 0;
            return sim::kTimedOut; // the silence after a burst
        }
        return burst[position_++];
    }
    void unread(uint8_t byte) override { pending_.push_front(byte); }
    bool purge(sim::Clock::duration, sim::Clock::duration) override {
        pending_.clear();
        if (!bursts_.empty()) {
            bursts_.pop_front();
            position_ = 0;
        }
        return !gone_;
    }
    uint64_t inputFlushes() const override { return 0; }
    bool reply(const std::string &) override { return !gone_; }
    void hangUp() override { gone_ = true; }

  private:
    std::deque<std::vector<uint8_t>> bursts_;
    size_t position_ = 0;
    std::deque<uint8_t> pending_;
    bool gone_ = false;
};

std::deque<std::vector<uint8_t>> burstsOf(const uint8_t *data, size_t size) {
    std::deque<std::vector<uint8_t>> bursts;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = static_cast<size_t>(data[at] << 8 | data[at + 1]);
        at += 2;
        size_t take = std::min(length, size - at);
        bursts.emplace_back(data + at, data + at + take);
        at += take;
    }
    return bursts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) {
        return 0;
    }
    // Byte 0: faults; byte 1: flash size in KiB (1..256); byte 2: offset
    // in 256-byte steps (it may lie past the end); byte 3: unused.
    sim::XmodemFaults faults;
    faults.crcStart = data[0] & 1;
    faults.nakStorm = (data[0] & 0x0E) == 0x0E;
    if (data[0] & 0x10) {
        faults.silentAfterBlocks = (data[0] >> 5) & 3;
    } else if (data[0] & 0x80) {
        faults.hangUpAfterBlocks = (data[0] >> 5) & 3;
    }
    uint64_t flashSize = (static_cast<uint64_t>(data[1]) + 1) * 1024;
    uint64_t offset = static_cast<uint64_t>(data[2]) * 256;
    sim::FlashModel flash;
    std::string error;
    if (!flash.init(flashSize, "", error)) {
        fuzz::fail("no flash in memory");
    }
    MemoryLine line(burstsOf(data + 4, size - 4));
    sim::XmodemReceiver receiver(line, flash, faults);
    sim::XmodemResult result = receiver.receive(offset);
    if (result.end == sim::XmodemEnd::Completed && result.bytesWritten > flashSize) {
        fuzz::fail("more written than the flash holds");
    }
    return 0;
}
