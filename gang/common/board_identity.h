// Who a board is: its slot, its number there, the device and USB adapter it
// was reached through, the unit identifier the factory knows it by and its
// own log file. Made once per board, by makeIdentity in the process that
// meets the board, and carried unchanged (as one line of JSON from that
// process) to the log, the screen and the factory link.
#pragma once

#include "common/usb_identity.h"

#include <cstddef>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace gang {

struct BoardIdentity {
    size_t slot = 0;      // index from 0; shown as slot + 1
    std::string label;    // the slot's short name
    std::string port;     // as given
    std::string resolved; // the device the port named when the board started
    int count = 0;        // the board's number in its slot
    std::string unit;     // the unit identifier for the factory
    UsbIdentity usb;      // the adapter, read when the board started
    std::string logFile;  // the board's own output
    // The recipe's per-board values written into it, (name, text) in the
    // recipe's order; the one that identifies the unit is also its unit.
    std::vector<std::pair<std::string, std::string>> values;
};

// What every board of a run shares, fixed before any board starts.
struct IdentityContext {
    std::string handle; // the station's name towards the factory
    std::string runId;  // unique to this run: newRunId()
    std::string runDir;
    std::string sysRoot = "/sys";
    // Per slot: its label and port, and the name its log files start with.
    std::vector<std::string> labels, ports, logNames;
    // A station numbers each slot's boards and names each board's log
    // after its number; a one-shot run has one board per port.
    bool station = false;
};

// What makes a run's unit identifiers its own: the UTC time of its start
// and the process's id ("20261208T165600Z-4711"); no two runs that are
// alive at once share it, nor two runs of different seconds.
std::string newRunId();

// The identity of slot's board number count, as it is now: the port
// resolved and its adapter read at this moment. The unit identifier is
// <handle>/<run id>/<slot>/<count>: a fixture's adapter serves many boards,
// so its serial number tells no board from the next.
BoardIdentity makeIdentity(const IdentityContext &context, size_t slot, int count);

// Creates the board's log for writing and returns its descriptor; a file
// of that name (a log of an earlier run in a reused directory, or a link
// planted there) is never opened: the next free name "<name>-2.log", ...
// is taken instead, and identity->logFile updated. -1 with error when no
// file could be created.
int createBoardLog(BoardIdentity *identity, std::string *error);

std::string encodeIdentity(const BoardIdentity &identity);
// false when text is not an encoded identity.
bool decodeIdentity(const std::string &text, BoardIdentity *identity);

// A board as the log and the factory link see it, at its start (result
// unknown) and at its end.
struct BoardRecord {
    BoardIdentity id;
    std::time_t startWall = 0;
    double seconds = 0;
    bool finished = false; // the core gave a result
    int result = 0;        // the core's result code, once finished
    std::string outcome;   // "ok", "interrupted", or the failure's reason
};

} // namespace gang
