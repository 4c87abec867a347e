// Command-line options of kelvo_chipsim.
#pragma once

#include "pty_line.h"
#include "xmodem_receiver.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct ChipFaults {
    bool noPing = false;     // never answer "ping"
    bool pingExtra = false;  // answer "ping" followed by CR LF
    bool refuseUcfg = false; // answer the line configuration with an error
    bool eraseNoAck = false; // erase, but never acknowledge
    bool eraseExtra = false; // acknowledge an erase with "OK" CR LF
    bool wrongDigest = false;
    bool noWriteOk = false; // complete a transfer without the closing "OK"
    long splitReplyMs = 0;  // a pause in the middle of each command reply
    long lateTailMs = 0;    // CR LF this long after each complete command reply
    std::string hangUpOn;   // command word on which the line is unplugged
    bool bootLog = false;   // run its own firmware: a banner, no commands
};

// How long a board takes to answer, and how its replies reach the host.
struct ReplyTiming {
    long thinkUs = 0;      // every command, before its reply
    long hashUsPerKib = 0; // a hash query, per KiB hashed, on top
    long fwdPrepareMs = 0; // "fwd", before its offer to receive
    long usbLatencyUs = 0; // each packet of a command reply waits this long
    long usbPacket = 62;   // bytes per packet
};

// Boards that come and go: none of it set means one board, always there.
struct BoardOptions {
    bool absent = false;        // start with no board in the fixture
    std::string controlFifo;    // "insert" and "remove" lines arrive here
    long boards = 0;            // boards the simulated operator puts in, one after another
    double intervalSeconds = 0; // from a board's removal to the next one's insertion
    std::vector<long> faulty;   // boards (from 1) that get the fault switches; empty: all
    bool active() const { return absent || !controlFifo.empty() || boards > 0; }
};

struct SimOptions {
    std::string flashFile;
    std::string logFile;
    std::string linkPath;
    std::string eventsFile;   // one line per XModem transfer and how it ended
    bool plainXmodem = false; // no commands: receive XModem transfers at offset 0
    uint64_t flashSize = 4 * 1024 * 1024;
    char pinChar = '6';
    bool dwReplySet = false;
    std::string dwReply;    // replaces the whole "DW 40000038" reply
    long eraseMs = 1000;    // chip erase time
    long sectorEraseMs = 0; // time per 4 KiB sector touched by "seras"
    bool verbose = false;
    WireModel wire;
    ReplyTiming timing;
    BoardOptions bay;
    ChipFaults faults;
    XmodemFaults xmodem;
};

enum class OptionsOutcome { Run, Help, Version, Error };

OptionsOutcome parseOptions(int argc, char **argv, SimOptions &options, std::string &error);
// The --help text.
std::string usageText();

} // namespace sim
