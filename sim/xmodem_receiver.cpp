#include "xmodem_receiver.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace sim {
namespace {

constexpr uint8_t kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15;
constexpr uint8_t kCan = 0x18, kCrcRequest = 'C';

constexpr auto kByteWait = std::chrono::seconds(1); // within a block, and between offers
constexpr int kStartOffers = 20;                    // start characters before giving up
constexpr int kMaxErrors = 10;                      // bad blocks or silences in a row
constexpr auto kPurgeQuiet = Millis(200);           // silence that ends a bad block
constexpr auto kCancelTail = Millis(100);           // for more CAN after the first two
constexpr auto kPurgeLimit = std::chrono::seconds(3);
constexpr auto kSilentQuiet = std::chrono::seconds(5); // ends the silent fault mode
constexpr auto kSilentLimit = std::chrono::seconds(60);
constexpr auto kLateAck = std::chrono::seconds(2); // beyond the sender's reply wait

std::string byteText(uint8_t b) {
    return std::string(1, static_cast<char>(b));
}

bool isPrintable(int b) {
    return b >= 0x20 && b < 0x7F;
}

} // namespace

uint16_t xmodemCrc16(const uint8_t *data, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

const char *endName(XmodemEnd end) {
    switch (end) {
    case XmodemEnd::Completed:
        return "completed";
    case XmodemEnd::NoStart:
        return "no-start";
    case XmodemEnd::Cancelled:
        return "abandoned";
    case XmodemEnd::SenderCancelled:
        return "cancelled";
    case XmodemEnd::OutOfFlash:
        return "out-of-flash";
    case XmodemEnd::LineGone:
        return "line-gone";
    }
    return "unknown";
}

XmodemResult XmodemReceiver::receive(uint64_t offset) {
    crc_ = faults_.crcStart;
    expected_ = 1;
    offset_ = offset;
    written_ = 0;
    blocks_ = 0;
    errors_ = 0;
    damageNext_ = false;
    gone_ = line_.hostsGone();
    int start = waitForFirstBlock();
    if (start < 0) {
        return {start == kLineGone ? XmodemEnd::LineGone : XmodemEnd::NoStart, 0, {}};
    }
    auto firstBlockAt = Clock::now();
    for (;;) {
        std::optional<XmodemEnd> end = handleStart(start);
        if (!end && hostLeft()) {
            end = XmodemEnd::Cancelled;
        }
        if (!end && errors_ >= kMaxErrors) {
            end = XmodemEnd::Cancelled; // the sender is gone or hopeless
        }
        if (!end) {
            start = waitForNextBlock();
            if (start == kLineGone) {
                end = XmodemEnd::LineGone;
            } else if (start == kTimedOut) {
                end = XmodemEnd::Cancelled;
            }
        }
        if (end) {
            return {*end, written_, Clock::now() - firstBlockAt};
        }
    }
}

std::optional<XmodemEnd> XmodemReceiver::handleStart(int start) {
    if (start == kEot) {
        line_.reply(byteText(kAck));
        return XmodemEnd::Completed;
    }
    if (start == kCan) {
        if (!cancelledBySender()) {
            return std::nullopt; // a lone CAN is line noise
        }
        dropCancelBytes();
        return XmodemEnd::SenderCancelled;
    }
    if (start == kSoh || start == kStx) {
        return handleBlock(start);
    }
    rejectBlock(true); // noise between blocks: let the sender repeat
    return std::nullopt;
}

void XmodemReceiver::rejectBlock(bool purge) {
    if (purge) {
        line_.purge(kPurgeQuiet, kPurgeLimit);
    }
    line_.reply(byteText(kNak));
    ++errors_;
}

std::optional<XmodemEnd> XmodemReceiver::handleBlock(int start) {
    uint8_t data[1024];
    size_t size = 0;
    BlockStatus status = readBlock(start, data, size);
    if (status == BlockStatus::LineGone) {
        return XmodemEnd::LineGone;
    }
    if (status == BlockStatus::Bad && hostLeft()) {
        return XmodemEnd::Cancelled; // cut off: nobody to send it again
    }
    if (status == BlockStatus::Bad) {
        rejectBlock(true);
        return std::nullopt;
    }
    if (faults_.nakStorm) {
        line_.reply(byteText(kNak)); // the sender gives up on its own
        return std::nullopt;
    }
    if (status == BlockStatus::Repeat) {
        line_.reply(byteText(kAck)); // our ACK was lost: confirm again
        return std::nullopt;
    }
    if (blocks_ == faults_.silentAfterBlocks) {
        return stayQuiet();
    }
    if (blocks_ == faults_.hangUpAfterBlocks) {
        line_.hangUp();
        return XmodemEnd::LineGone;
    }
    if (damageNext_) {
        damageNext_ = false;
        rejectBlock(false);
        return std::nullopt;
    }
    long before = blocks_;
    if (!storeBlock(data, size)) {
        line_.reply(std::string(3, static_cast<char>(kCan)));
        return XmodemEnd::OutOfFlash;
    }
    errors_ = 0;
    if (before == faults_.loseAckAfterBlocks) {
        return std::nullopt; // the sender must send the block again
    }
    if (before == faults_.staleNakAfterBlocks) {
        return staleNakThenAck();
    }
    if (before == faults_.lateAckAfterBlocks && !sleepFor(kLateAck)) {
        return XmodemEnd::LineGone;
    }
    line_.reply(byteText(kAck));
    return std::nullopt;
}

// A NAK left over from an earlier block (or noise that reads as one) goes
// out before the ACK of the block just stored, which comes only once the
// sender has sent that block again; the repeat gets its ACK too. Then the
// next block is damaged once: a sender that took the repeat's ACK for it
// would go on without it.
std::optional<XmodemEnd> XmodemReceiver::staleNakThenAck() {
    line_.reply(byteText(kNak));
    int start = line_.readByte(kByteWait);
    if (start == kLineGone) {
        return XmodemEnd::LineGone;
    }
    if (start == kSoh || start == kStx) {
        uint8_t data[1024];
        size_t size = 0;
        BlockStatus status = readBlock(start, data, size);
        if (status == BlockStatus::LineGone) {
            return XmodemEnd::LineGone;
        }
        if (status == BlockStatus::Repeat) {
            line_.reply(std::string(2, static_cast<char>(kAck)));
            damageNext_ = true;
            return std::nullopt;
        }
    } else if (start >= 0) {
        line_.unread(static_cast<uint8_t>(start));
    }
    line_.reply(byteText(kAck));
    return std::nullopt;
}

int XmodemReceiver::waitForFirstBlock() {
    std::string offer = byteText(crc_ ? kCrcRequest : kNak);
    uint64_t flushes = line_.inputFlushes();
    for (int i = 0; i < kStartOffers; ++i) {
        if (line_.inputFlushes() != flushes || hostLeft()) {
            return kTimedOut; // the host closed its port: it gave up on the transfer
        }
        if (!line_.reply(offer)) {
            return kLineGone;
        }
        auto nextOffer = Clock::now() + kByteWait;
        for (;;) {
            int b = line_.readByte(nextOffer - Clock::now());
            if (b == kLineGone || b == kSoh || b == kStx || b == kEot || b == kCan) {
                return b;
            }
            if (b == kTimedOut) {
                break;
            }
            if (isPrintable(b)) {
                line_.unread(static_cast<uint8_t>(b)); // a new command: the host gave up
                return kTimedOut;
            }
        }
    }
    return kTimedOut;
}

int XmodemReceiver::waitForNextBlock() {
    while (errors_ < kMaxErrors) {
        int b = line_.readByte(kByteWait);
        if (b != kTimedOut) {
            return b;
        }
        if (hostLeft()) {
            return kTimedOut; // no more blocks will come
        }
        rejectBlock(false);
    }
    return kTimedOut;
}

XmodemReceiver::BlockStatus XmodemReceiver::readBlock(int start, uint8_t *data, size_t &size) {
    size = start == kSoh ? 128 : 1024;
    size_t trailer = crc_ ? 2 : 1;
    std::vector<uint8_t> rest(2 + size + trailer);
    long got = line_.readInto(rest.data(), rest.size(), kByteWait);
    if (got == kLineGone) {
        return BlockStatus::LineGone;
    }
    if (got < static_cast<long>(rest.size())) {
        return BlockStatus::Bad;
    }
    uint8_t number = rest[0];
    if (number != static_cast<uint8_t>(~rest[1]) || !checkTrailer(rest.data() + 2, size)) {
        return BlockStatus::Bad;
    }
    if (number == static_cast<uint8_t>(expected_ - 1)) {
        return BlockStatus::Repeat;
    }
    if (number != expected_) {
        return BlockStatus::Bad;
    }
    std::copy_n(rest.begin() + 2, size, data);
    return BlockStatus::Good;
}

bool XmodemReceiver::checkTrailer(const uint8_t *data, size_t size) {
    const uint8_t *trailer = data + size;
    if (crc_) {
        uint16_t crc = xmodemCrc16(data, size);
        return trailer[0] == (crc >> 8) && trailer[1] == (crc & 0xFF);
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) {
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    return trailer[0] == sum;
}

bool XmodemReceiver::storeBlock(const uint8_t *data, size_t size) {
    uint64_t at = offset_ + written_;
    uint64_t fits = flash_.contains(at, 0) ? std::min<uint64_t>(size, flash_.size() - at) : 0;
    // The part past the end may only be the sender's zero padding, and a
    // block wholly past the end holds data (zeros or not) that cannot fit.
    if (fits < size &&
        (fits == 0 || !std::all_of(data + fits, data + size, [](uint8_t b) { return b == 0; }))) {
        return false;
    }
    uint64_t stuck = static_cast<uint64_t>(faults_.stuckByte);
    bool hitsStuck = faults_.stuckByte >= 0 && stuck >= at && stuck < at + fits;
    uint8_t kept = hitsStuck ? *flash_.at(stuck) : 0;
    flash_.write(at, data, fits);
    if (hitsStuck) {
        flash_.write(stuck, &kept, 1); // a worn cell keeps what it held
    }
    written_ += size;
    expected_ = static_cast<uint8_t>(expected_ + 1);
    ++blocks_;
    return true;
}

XmodemEnd XmodemReceiver::stayQuiet() {
    // Ignore everything until the sender cancels or falls silent.
    auto limit = Clock::now() + kSilentLimit;
    int previous = -1;
    XmodemEnd end = XmodemEnd::Cancelled;
    while (Clock::now() < limit) {
        int b = line_.readByte(kSilentQuiet);
        if (b == kLineGone) {
            return XmodemEnd::LineGone;
        }
        if (b == kCan && previous == kCan) {
            end = XmodemEnd::SenderCancelled;
            break;
        }
        if (b == kTimedOut) {
            break;
        }
        previous = b;
    }
    line_.purge(kPurgeQuiet, kPurgeLimit);
    return end;
}

// Senders repeat CAN a few times: take those, but not the command that a
// host sends as soon as it has cancelled.
void XmodemReceiver::dropCancelBytes() {
    for (;;) {
        int b = line_.readByte(kCancelTail);
        if (b < 0) {
            return;
        }
        if (b != kCan) {
            line_.unread(static_cast<uint8_t>(b));
            return;
        }
    }
}

bool XmodemReceiver::cancelledBySender() {
    int b = line_.readByte(kByteWait);
    if (b == kCan) {
        return true;
    }
    if (b >= 0) {
        line_.unread(static_cast<uint8_t>(b));
    }
    return false;
}

} // namespace sim
