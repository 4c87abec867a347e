// XModem with 1024-byte blocks (CRC-16 or checksum) over the byte
// adapters, and the progress counter that monitor threads poll.
#include "KelvoPG_core.h"
#include "line.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_START = 'C';
constexpr uint8_t OK_FIRST = 'O'; // first letter of the chip's "OK"

constexpr int kBlockData = 1024;
constexpr int kShortBlockData = 128; // accepted by the receiver only
constexpr int kHeader = 3;           // start byte, number, its complement
constexpr int kMaxBlock = kHeader + kBlockData + 2;

constexpr int kSyncTries = 16;
constexpr int kBlockTries = 25;
constexpr int kEotTries = 10;
constexpr int kRepeatBudget = 25;

// Budgets of _inbyte, in milliseconds.
constexpr int32_t kSyncWaitMs = 2000;
constexpr int32_t kReplyWaitMs = 1000;
constexpr int32_t kFlushWaitMs = 1500;
// A peer that never stops talking must not hold the flush for ever.
constexpr auto kFlushLimit = std::chrono::seconds(10);

// Bytes of the current send still to go; polled by other threads.
std::atomic<int32_t> remaining_bytes{0};
// Data bytes of the current transfer the receiver has acknowledged; unlike
// the counter above, kept when the transfer fails.
std::atomic<int32_t> acknowledged_bytes{0};

// Reads and drops input up to and including the chip's 'O' (the caller
// then reads the "K"), or until the line is silent or sends 0x00.
void flushinput() {
    auto deadline = kelvo_line::ops().now() + kFlushLimit;
    while (kelvo_line::ops().now() < deadline) {
        int32_t c = _inbyte(kFlushWaitMs);
        if (c == OK_FIRST) {
            return;
        }
        if (c < 0 || c == 0) {
            break;
        }
    }
    remaining_bytes.store(0);
}

// Called after one CAN: true when a second one follows.
bool secondCancel() {
    return _inbyte(kReplyWaitMs) == CAN;
}

void sendCancel() {
    const uint8_t cancel[] = {CAN, CAN, CAN};
    _outblock(cancel, sizeof cancel);
}

// Our own side was asked to stop: the receiver must learn of it now, or it
// keeps waiting for blocks until its own time-out and refuses commands
// meanwhile. The bytes are let out before the caller closes the port.
int32_t cancelHere() {
    sendCancel();
    serialport_drain();
    return KELVO_XMODEM_CANCELLED_HERE;
}

// A byte within the budget, or -1; *cancelled when a stop request ended
// the wait.
int32_t replyByte(int32_t budget, bool *cancelled) {
    int32_t c = _inbyte(budget);
    *cancelled = c < 0 && kelvo_cancel_requested();
    return c;
}

// Sender's answer to a cancel.
int32_t acceptCancel() {
    _outbyte(ACK);
    flushinput();
    return KELVO_XMODEM_CANCELLED_BY_RECEIVER;
}

// Waits for the receiver's start character. 0 with *crc set, or -1 / -2.
int32_t waitForReceiver(bool *crc) {
    for (int tries = 0; tries < kSyncTries; ++tries) {
        bool cancelled = false;
        int32_t c = replyByte(kSyncWaitMs, &cancelled);
        if (cancelled) {
            return cancelHere();
        }
        if (c == CRC_START || c == NAK) {
            *crc = c == CRC_START;
            return 0;
        }
        if (c == CAN && secondCancel()) {
            return acceptCancel();
        }
    }
    sendCancel();
    flushinput();
    return -2;
}

// Header, data padded with 0x00, then CRC (high byte first) or checksum.
int buildBlock(uint8_t *block, uint8_t number, const uint8_t *data, int len, bool crc) {
    block[0] = STX;
    block[1] = number;
    block[2] = static_cast<uint8_t>(~number);
    uint8_t *payload = block + kHeader;
    std::memset(payload, 0, kBlockData);
    std::memcpy(payload, data, static_cast<size_t>(len));
    if (crc) {
        uint16_t sum = crc16_ccitt(payload, kBlockData);
        block[kHeader + kBlockData] = static_cast<uint8_t>(sum >> 8);
        block[kHeader + kBlockData + 1] = static_cast<uint8_t>(sum & 0xFF);
        return kHeader + kBlockData + 2;
    }
    uint8_t sum = 0;
    for (int i = 0; i < kBlockData; ++i) {
        sum = static_cast<uint8_t>(sum + payload[i]);
    }
    block[kHeader + kBlockData] = sum;
    return kHeader + kBlockData + 1;
}

// An ACK carries no block number, so the sender must see to it that the
// ACK it reads answers the block in flight. Input waiting before a send is
// stale and is dropped. After the ACK of a block sent n times, up to n-1
// replies to its earlier sends may still be on their way: what was read
// for them (a stale NAK, a noise byte) may not have been theirs. Taken for
// the next block, one would put the sender a block ahead of the receiver,
// and on the last block end the transfer with that block missing. Drops
// up to that many replies, each within the reply wait. 0, or -1 when the
// receiver cancelled meanwhile.
int32_t dropLateReplies(int count) {
    for (int i = 0; i < count; ++i) {
        int32_t c = _inbyte(kReplyWaitMs);
        if (c < 0) {
            return 0; // the line is quiet: nothing more is coming
        }
        if (c == CAN && secondCancel()) {
            return acceptCancel();
        }
    }
    return 0;
}

// Sends one block, in one write, until it is acknowledged. Each reply wait
// starts when the block has left the line. 0, or -1 / -4 / -6.
int32_t sendBlock(const uint8_t *block, int len) {
    for (int tries = 0; tries < kBlockTries; ++tries) {
        if (tries > 0) {
            serialport_flush(); // the rest of a reply or of noise
        } else {
            kelvo_discard_input(); // stale input, without a wait on every block
        }
        bool cancelled = _outblock(block, len) == 0;
        int32_t c = cancelled ? -1 : replyByte(kReplyWaitMs, &cancelled);
        if (cancelled) {
            return cancelHere();
        }
        if (c == ACK) {
            return dropLateReplies(tries);
        }
        if (c == CAN && secondCancel()) {
            return acceptCancel();
        }
    }
    sendCancel();
    flushinput();
    return -4;
}

// EOT until acknowledged; the result of the whole send.
int32_t finishSend(int32_t sent) {
    for (int tries = 0; tries < kEotTries; ++tries) {
        _outbyte(EOT);
        bool cancelled = false;
        int32_t c = replyByte(kSyncWaitMs, &cancelled);
        if (cancelled) {
            remaining_bytes.store(0);
            return cancelHere();
        }
        if (c == ACK) {
            remaining_bytes.store(0);
            flushinput();
            return sent;
        }
    }
    remaining_bytes.store(0);
    flushinput();
    return -5;
}

} // namespace

extern "C" int32_t checkremaining_bytes(void) {
    return remaining_bytes.load();
}

extern "C" int32_t xmodem_acknowledged_bytes(void) {
    return acknowledged_bytes.load();
}

extern "C" int32_t xmodemTransmit(const uint8_t *src, int32_t srcsz) {
    remaining_bytes.store(srcsz);
    acknowledged_bytes.store(0);
    bool crc = false;
    int32_t sync = waitForReceiver(&crc);
    if (sync < 0) {
        return sync;
    }
    uint8_t block[kMaxBlock];
    uint8_t number = 1;
    int64_t offset = 0; // 64 bits: rounding up must not overflow
    for (;;) {
        int64_t left = srcsz - offset;
        remaining_bytes.store(static_cast<int32_t>(left));
        if (left <= 0) {
            break;
        }
        int len = buildBlock(block, number, src + offset,
                             static_cast<int>(std::min<int64_t>(kBlockData, left)), crc);
        int32_t result = sendBlock(block, len);
        if (result < 0) {
            return result;
        }
        acknowledged_bytes.store(
            static_cast<int32_t>(std::min<int64_t>(offset + kBlockData, srcsz)));
        ++number; // wraps from 255 to 0
        offset += kBlockData;
    }
    return finishSend(static_cast<int32_t>(std::min<int64_t>(offset, INT32_MAX)));
}

namespace {

enum StartEvent { kBlockStart, kEndOfFile, kCancelled, kNoStart };

struct Receiver {
    uint8_t trychar = CRC_START; // 0 once the first block started
    bool crc = false;
    uint8_t expected = 1;
    int repeats = kRepeatBudget;
    int32_t stored = 0;
    int blockSize = 0;
};

// Sends the try character (while there is one) and waits for a start byte.
StartEvent waitBlockStart(Receiver &rx) {
    for (;;) {
        for (int tries = 0; tries < kSyncTries; ++tries) {
            if (rx.trychar != 0) {
                _outbyte(rx.trychar);
            }
            int32_t c = _inbyte(kSyncWaitMs);
            if (c == SOH || c == STX) {
                rx.blockSize = c == SOH ? kShortBlockData : kBlockData;
                return kBlockStart;
            }
            if (c == EOT) {
                return kEndOfFile;
            }
            if (c == CAN && secondCancel()) {
                return kCancelled;
            }
        }
        if (rx.trychar != CRC_START) {
            return kNoStart;
        }
        rx.trychar = NAK; // the sender may not know CRC mode
    }
}

// Reads number, complement, data and check bytes into packet.
bool readBlockBody(const Receiver &rx, uint8_t *packet) {
    int len = 2 + rx.blockSize + (rx.crc ? 2 : 1);
    for (int i = 0; i < len; ++i) {
        int32_t c = _inbyte(kReplyWaitMs);
        if (c < 0) {
            return false;
        }
        packet[i] = static_cast<uint8_t>(c);
    }
    return true;
}

bool checkMatches(const Receiver &rx, const uint8_t *packet) {
    const uint8_t *data = packet + 2;
    const uint8_t *check = data + rx.blockSize;
    if (rx.crc) {
        uint16_t sum = crc16_ccitt(data, rx.blockSize);
        return check[0] == (sum >> 8) && check[1] == (sum & 0xFF);
    }
    uint8_t sum = 0;
    for (int i = 0; i < rx.blockSize; ++i) {
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    return check[0] == sum;
}

bool blockValid(const Receiver &rx, const uint8_t *packet) {
    uint8_t number = packet[0];
    bool numbered = number == static_cast<uint8_t>(~packet[1]) &&
                    (number == rx.expected || number == static_cast<uint8_t>(rx.expected - 1));
    return numbered && checkMatches(rx, packet);
}

// Takes a valid block: stores it, or counts it as a repeat. false when the
// repeats are used up.
bool acceptBlock(Receiver &rx, const uint8_t *packet, uint8_t *dest, int32_t destsz) {
    if (packet[0] != rx.expected) {
        return --rx.repeats > 0;
    }
    int32_t room = destsz - rx.stored;
    int32_t count = std::max<int32_t>(0, std::min<int32_t>(rx.blockSize, room));
    if (count > 0) {
        std::memcpy(dest + rx.stored, packet + 2, static_cast<size_t>(count));
        rx.stored += count;
    }
    ++rx.expected;
    rx.repeats = kRepeatBudget;
    return true;
}

} // namespace

extern "C" int32_t xmodemReceive(uint8_t *dest, int32_t destsz) {
    Receiver rx;
    uint8_t packet[kMaxBlock];
    for (;;) {
        StartEvent event = waitBlockStart(rx);
        if (event != kBlockStart) {
            flushinput();
            if (event == kNoStart) {
                sendCancel();
                return -2;
            }
            _outbyte(ACK);
            return event == kEndOfFile ? rx.stored : -1;
        }
        if (rx.trychar != 0) {
            rx.crc = rx.trychar == CRC_START;
            rx.trychar = 0;
        }
        if (!readBlockBody(rx, packet) || !blockValid(rx, packet)) {
            flushinput();
            _outbyte(NAK);
            continue;
        }
        if (!acceptBlock(rx, packet, dest, destsz)) {
            flushinput();
            sendCancel();
            return -3;
        }
        _outbyte(ACK);
    }
}
