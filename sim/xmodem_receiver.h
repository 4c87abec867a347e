// The boot loader's XModem receiver: 128- and 1024-byte blocks, checksum or
// CRC-16, each good block written straight into the flash.
#pragma once

#include "byte_line.h"
#include "flash_model.h"

#include <cstdint>
#include <optional>

namespace sim {

// Independent of the host's XModem code on purpose, so that a fault shared
// by both ends cannot hide.
uint16_t xmodemCrc16(const uint8_t *data, size_t size);

struct XmodemFaults {
    bool crcStart = false;        // ask with "C" instead of NAK
    bool nakStorm = false;        // reject every block
    long silentAfterBlocks = -1;  // stop answering after this many blocks
    long hangUpAfterBlocks = -1;  // unplug after this many blocks
    long loseAckAfterBlocks = -1; // the next block's ACK is lost on the wire
    long lateAckAfterBlocks = -1; // the next block's ACK comes late
    // The next block's ACK follows a stale NAK, and the block after that is
    // damaged on the wire once.
    long staleNakAfterBlocks = -1;
    long long stuckByte = -1;     // a flash offset whose byte no write changes
};

enum class XmodemEnd {
    Completed,       // EOT acknowledged
    NoStart,         // no block came while the start character was offered
    Cancelled,       // the transfer was abandoned (the sender fell silent or gave up)
    SenderCancelled, // the sender cancelled it on the line (two CAN)
    OutOfFlash,      // a block would have reached past the end of the flash
    LineGone,        // stop request or hang-up
};

struct XmodemResult {
    XmodemEnd end = XmodemEnd::NoStart;
    uint64_t bytesWritten = 0; // whole blocks, padding included
    // From the first block's start byte to the end: the data phase.
    Clock::duration dataTime = Clock::duration::zero();
};

// One word for the end, as the event log writes it.
const char *endName(XmodemEnd end);

class XmodemReceiver {
  public:
    XmodemReceiver(ByteLine &line, FlashModel &flash, const XmodemFaults &faults)
        : line_(line), flash_(flash), faults_(faults) {}
    // Offers the start character and receives a transfer into the flash at offset.
    XmodemResult receive(uint64_t offset);

  private:
    enum class BlockStatus { Good, Repeat, Bad, LineGone };
    int waitForFirstBlock();
    int waitForNextBlock();
    std::optional<XmodemEnd> handleStart(int start);
    std::optional<XmodemEnd> handleBlock(int start);
    void rejectBlock(bool purge);
    BlockStatus readBlock(int start, uint8_t *data, size_t &size);
    bool checkTrailer(const uint8_t *data, size_t size);
    bool storeBlock(const uint8_t *data, size_t size);
    XmodemEnd stayQuiet();
    std::optional<XmodemEnd> staleNakThenAck();
    bool cancelledBySender();
    // The host went away without closing its port since the transfer began.
    bool hostLeft() const { return line_.hostsGone() != gone_; }
    void dropCancelBytes();

    ByteLine &line_;
    FlashModel &flash_;
    XmodemFaults faults_;
    bool crc_ = false;
    uint8_t expected_ = 1;
    uint64_t offset_ = 0;
    uint64_t written_ = 0;
    long blocks_ = 0;      // blocks stored
    int errors_ = 0;       // rejected blocks and silences in a row
    bool damageNext_ = false; // the next new block is lost to line noise
    uint64_t gone_ = 0; // hosts gone from the line when the transfer began
};

} // namespace sim
