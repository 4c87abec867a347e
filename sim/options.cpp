#include "options.h"

#include "command_parser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <getopt.h>

namespace sim {
namespace {

enum OptionId {
    kFlash = 1000,
    kFlashSize,
    kLog,
    kLink,
    kPinChar,
    kDwReply,
    kEraseMs,
    kSectorEraseMs,
    kBaudModel,
    kLatencyUs,
    kVerbose,
    kHelp,
    kVersion,
    kNoPing,
    kPingExtra,
    kRefuseUcfg,
    kFwdCrc,
    kSilentAfter,
    kNakStorm,
    kWrongDigest,
    kEraseNoAck,
    kEraseExtra,
    kNoWriteOk,
    kHangUpOn,
    kHangUpAfter,
    kLoseAckAfter,
    kLateAckAfter,
    kStaleNakAfter,
    kEvents,
    kPlainXmodem,
    kAbsent,
    kControl,
    kBoards,
    kBoardInterval,
    kFaultyBoards,
    kBootLog,
    kStuckByte,
    kThinkUs,
    kHashUsPerKib,
    kFwdPrepareMs,
    kUsbLatencyUs,
    kUsbPacket,
    kRealisticTiming,
    kSplitReplyMs,
    kLateTailMs,
};

const option kLongOptions[] = {
    {"flash", required_argument, nullptr, kFlash},
    {"flash-size", required_argument, nullptr, kFlashSize},
    {"log", required_argument, nullptr, kLog},
    {"link", required_argument, nullptr, kLink},
    {"pin-char", required_argument, nullptr, kPinChar},
    {"dw-reply", required_argument, nullptr, kDwReply},
    {"erase-ms", required_argument, nullptr, kEraseMs},
    {"sector-erase-ms", required_argument, nullptr, kSectorEraseMs},
    {"baud-model", no_argument, nullptr, kBaudModel},
    {"latency-us", required_argument, nullptr, kLatencyUs},
    {"verbose", no_argument, nullptr, kVerbose},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"no-ping", no_argument, nullptr, kNoPing},
    {"ping-extra", no_argument, nullptr, kPingExtra},
    {"refuse-ucfg", no_argument, nullptr, kRefuseUcfg},
    {"fwd-crc", no_argument, nullptr, kFwdCrc},
    {"silent-after-blocks", required_argument, nullptr, kSilentAfter},
    {"nak-storm", no_argument, nullptr, kNakStorm},
    {"wrong-digest", no_argument, nullptr, kWrongDigest},
    {"erase-no-ack", no_argument, nullptr, kEraseNoAck},
    {"erase-extra", no_argument, nullptr, kEraseExtra},
    {"no-write-ok", no_argument, nullptr, kNoWriteOk},
    {"hangup-on", required_argument, nullptr, kHangUpOn},
    {"hangup-after-blocks", required_argument, nullptr, kHangUpAfter},
    {"lose-ack-after-blocks", required_argument, nullptr, kLoseAckAfter},
    {"late-ack-after-blocks", required_argument, nullptr, kLateAckAfter},
    {"stale-nak-after-blocks", required_argument, nullptr, kStaleNakAfter},
    {"events", required_argument, nullptr, kEvents},
    {"plain-xmodem", no_argument, nullptr, kPlainXmodem},
    {"absent", no_argument, nullptr, kAbsent},
    {"control", required_argument, nullptr, kControl},
    {"boards", required_argument, nullptr, kBoards},
    {"board-interval", required_argument, nullptr, kBoardInterval},
    {"faulty-boards", required_argument, nullptr, kFaultyBoards},
    {"boot-log", no_argument, nullptr, kBootLog},
    {"stuck-byte", required_argument, nullptr, kStuckByte},
    {"think-us", required_argument, nullptr, kThinkUs},
    {"hash-us-per-kib", required_argument, nullptr, kHashUsPerKib},
    {"fwd-prepare-ms", required_argument, nullptr, kFwdPrepareMs},
    {"usb-latency-us", required_argument, nullptr, kUsbLatencyUs},
    {"usb-packet", required_argument, nullptr, kUsbPacket},
    {"realistic-timing", no_argument, nullptr, kRealisticTiming},
    {"split-reply-ms", required_argument, nullptr, kSplitReplyMs},
    {"late-tail-ms", required_argument, nullptr, kLateTailMs},
    {nullptr, 0, nullptr, 0},
};

// A whole number within [low, high], decimal or 0x-hexadecimal.
bool parseNumber(const char *text, long long low, long long high, long long &out) {
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

// Turns \r, \n, \t, \\ and \xHH into the bytes they stand for.
bool unescape(const std::string &text, std::string &out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        char c = text[i];
        if (c == 'r' || c == 'n' || c == 't' || c == '\\') {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : '\\';
        } else if (c == 'x' && i + 2 < text.size() && isxdigit(text[i + 1]) &&
                   isxdigit(text[i + 2])) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

constexpr long long kMaxMs = 3600000; // an hour

struct NumberOption {
    int id;
    long long low, high;
    const char *error;
};

const NumberOption kNumberOptions[] = {
    // Up to 256 MiB: larger serial flashes do not exist on these chips.
    {kFlashSize, 1, 256LL << 20, "--flash-size wants a byte count from 1 to 268435456"},
    {kEraseMs, 0, kMaxMs, "--erase-ms wants milliseconds from 0 to 3600000"},
    {kSectorEraseMs, 0, kMaxMs, "--sector-erase-ms wants milliseconds from 0 to 3600000"},
    {kLatencyUs, 0, kMaxMs * 1000, "--latency-us wants microseconds from 0 to 3600000000"},
    {kSilentAfter, 0, 1LL << 30, "--silent-after-blocks wants a block count"},
    {kHangUpAfter, 0, 1LL << 30, "--hangup-after-blocks wants a block count"},
    {kLoseAckAfter, 0, 1LL << 30, "--lose-ack-after-blocks wants a block count"},
    {kLateAckAfter, 0, 1LL << 30, "--late-ack-after-blocks wants a block count"},
    {kStaleNakAfter, 0, 1LL << 30, "--stale-nak-after-blocks wants a block count"},
    {kBoards, 1, 1000000, "--boards wants a board count from 1 to 1000000"},
    {kStuckByte, 0, 256LL << 20, "--stuck-byte wants a flash offset from 0 to 268435456"},
    {kThinkUs, 0, kMaxMs * 1000, "--think-us wants microseconds from 0 to 3600000000"},
    {kHashUsPerKib, 0, 1000000, "--hash-us-per-kib wants microseconds from 0 to 1000000"},
    {kFwdPrepareMs, 0, kMaxMs, "--fwd-prepare-ms wants milliseconds from 0 to 3600000"},
    {kUsbLatencyUs, 0, 1000000, "--usb-latency-us wants microseconds from 0 to 1000000"},
    {kUsbPacket, 1, 4096, "--usb-packet wants a byte count from 1 to 4096"},
    {kSplitReplyMs, 0, kMaxMs, "--split-reply-ms wants milliseconds from 0 to 3600000"},
    {kLateTailMs, 0, kMaxMs, "--late-tail-ms wants milliseconds from 0 to 3600000"},
};

void storeNumber(int id, long long n, SimOptions &o) {
    switch (id) {
    case kFlashSize:
        o.flashSize = static_cast<uint64_t>(n);
        return;
    case kEraseMs:
        o.eraseMs = static_cast<long>(n);
        return;
    case kSectorEraseMs:
        o.sectorEraseMs = static_cast<long>(n);
        return;
    case kLatencyUs:
        o.wire.latencyUs = static_cast<long>(n);
        return;
    case kSilentAfter:
        o.xmodem.silentAfterBlocks = static_cast<long>(n);
        return;
    case kHangUpAfter:
        o.xmodem.hangUpAfterBlocks = static_cast<long>(n);
        return;
    case kLoseAckAfter:
        o.xmodem.loseAckAfterBlocks = static_cast<long>(n);
        return;
    case kLateAckAfter:
        o.xmodem.lateAckAfterBlocks = static_cast<long>(n);
        return;
    case kStaleNakAfter:
        o.xmodem.staleNakAfterBlocks = static_cast<long>(n);
        return;
    case kBoards:
        o.bay.boards = static_cast<long>(n);
        return;
    case kStuckByte:
        o.xmodem.stuckByte = n;
        return;
    case kThinkUs:
        o.timing.thinkUs = static_cast<long>(n);
        return;
    case kHashUsPerKib:
        o.timing.hashUsPerKib = static_cast<long>(n);
        return;
    case kFwdPrepareMs:
        o.timing.fwdPrepareMs = static_cast<long>(n);
        return;
    case kUsbLatencyUs:
        o.timing.usbLatencyUs = static_cast<long>(n);
        return;
    case kUsbPacket:
        o.timing.usbPacket = static_cast<long>(n);
        return;
    case kSplitReplyMs:
        o.faults.splitReplyMs = static_cast<long>(n);
        return;
    case kLateTailMs:
        o.faults.lateTailMs = static_cast<long>(n);
        return;
    }
}

bool parseSeconds(const char *text, double &out) {
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0 && value <= 3600)) {
        return false;
    }
    out = value;
    return true;
}

// "2,5,7": board numbers counted from 1.
bool parseBoardList(const std::string &text, std::vector<long> &out) {
    out.clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = std::min(text.find(',', at), text.size());
        long long n = 0;
        if (!parseNumber(text.substr(at, comma - at).c_str(), 1, 1000000, n)) {
            return false;
        }
        out.push_back(static_cast<long>(n));
        at = comma + 1;
    }
    return !out.empty();
}

// Applies an option with a text value; false (with the reason) when it is bad.
bool applyText(int id, const char *value, SimOptions &o, std::string &error) {
    switch (id) {
    case kFlash:
        o.flashFile = value;
        return true;
    case kLog:
        o.logFile = value;
        return true;
    case kLink:
        o.linkPath = value;
        return true;
    case kEvents:
        o.eventsFile = value;
        return true;
    case kPinChar:
        o.pinChar = value[0];
        error = std::string(value).size() == 1 ? "" : "--pin-char wants exactly one character";
        return error.empty();
    case kDwReply:
        o.dwReplySet = true;
        error =
            unescape(value, o.dwReply) ? "" : "--dw-reply: bad escape (use \\r \\n \\t \\\\ \\xHH)";
        return error.empty();
    case kControl:
        o.bay.controlFifo = value;
        return true;
    case kBoardInterval:
        error = parseSeconds(value, o.bay.intervalSeconds)
                    ? ""
                    : "--board-interval wants seconds from 0 to 3600";
        return error.empty();
    case kFaultyBoards:
        error = parseBoardList(value, o.bay.faulty)
                    ? ""
                    : "--faulty-boards wants board numbers such as 2,5";
        return error.empty();
    case kHangUpOn:
        o.faults.hangUpOn = value;
        error = isCommandWord(value) ? "" : std::string("--hangup-on: unknown command ") + value;
        return error.empty();
    }
    return false;
}

bool applyValue(int id, const char *value, SimOptions &o, std::string &error) {
    for (const NumberOption &option : kNumberOptions) {
        if (option.id != id) {
            continue;
        }
        long long n = 0;
        if (!parseNumber(value, option.low, option.high, n)) {
            error = option.error;
            return false;
        }
        storeNumber(id, n, o);
        return true;
    }
    return applyText(id, value, o, error);
}

bool *switchFor(int id, SimOptions &o) {
    switch (id) {
    case kBaudModel:
        return &o.wire.paced;
    case kVerbose:
        return &o.verbose;
    case kPlainXmodem:
        return &o.plainXmodem;
    case kAbsent:
        return &o.bay.absent;
    case kNoPing:
        return &o.faults.noPing;
    case kPingExtra:
        return &o.faults.pingExtra;
    case kRefuseUcfg:
        return &o.faults.refuseUcfg;
    case kFwdCrc:
        return &o.xmodem.crcStart;
    case kNakStorm:
        return &o.xmodem.nakStorm;
    case kWrongDigest:
        return &o.faults.wrongDigest;
    case kEraseNoAck:
        return &o.faults.eraseNoAck;
    case kEraseExtra:
        return &o.faults.eraseExtra;
    case kNoWriteOk:
        return &o.faults.noWriteOk;
    case kBootLog:
        return &o.faults.bootLog;
    }
    return nullptr;
}

// A board as measured on the bench: 1 ms to parse and answer a command,
// SHA-256 at about 10 MB/s, 20 ms to make a region ready for a write, and
// a USB adapter in low-latency mode (1 ms packets of 62 bytes).
ReplyTiming realisticTiming() {
    ReplyTiming t;
    t.thinkUs = 1000;
    t.hashUsPerKib = 100;
    t.fwdPrepareMs = 20;
    t.usbLatencyUs = 1000;
    t.usbPacket = 62;
    return t;
}

} // namespace

OptionsOutcome parseOptions(int argc, char **argv, SimOptions &options, std::string &error) {
    optind = 1;
    opterr = 0;
    for (;;) {
        int id = getopt_long(argc, argv, "", kLongOptions, nullptr);
        if (id == -1) {
            break;
        }
        if (id == kHelp) {
            return OptionsOutcome::Help;
        }
        if (id == kVersion) {
            return OptionsOutcome::Version;
        }
        if (id == kRealisticTiming) {
            options.timing = realisticTiming();
            continue;
        }
        if (bool *flag = switchFor(id, options)) {
            *flag = true;
        } else if (id == '?' || id == ':' || !applyValue(id, optarg, options, error)) {
            if (error.empty()) {
                error = std::string("unknown option or missing value: ") + argv[optind - 1];
            }
            return OptionsOutcome::Error;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return OptionsOutcome::Error;
    }
    if (options.bay.active() && options.plainXmodem) {
        error = "--plain-xmodem has no boot loader to insert or remove";
        return OptionsOutcome::Error;
    }
    return OptionsOutcome::Run;
}

std::string usageText() {
    return R"(Usage: kelvo_chipsim [OPTION]...
Plays the Kelvo ROM boot loader on a pseudo-terminal. The first line printed
is the terminal's path; connect a host to it. Stop with SIGTERM or Ctrl-C.

Line and flash:
  --flash FILE              load the flash from FILE (if present; a shorter file
                            leaves the rest erased) and save it there after every
                            write or erase and at exit
  --flash-size BYTES        flash size (default 4194304), erased to 0xFF
  --log FILE                append every command line received, raw
  --link PATH               make PATH a symbolic link to the terminal
  --pin-char C              character at index 21 of the "DW 40000038" reply
                            (default 6: flash pin selection 1)
  --dw-reply TEXT           send TEXT as the whole "DW 40000038" reply
                            (escapes \r \n \t \\ \xHH)
  --erase-ms N              chip erase time in milliseconds (default 1000)
  --sector-erase-ms N       sector erase time in milliseconds per 4 KiB sector
                            that "seras" touches (default 0)
  --baud-model              pace both directions at the line's configured rate,
                            10 bits per byte
  --latency-us N            turnaround before every reply, in microseconds
  --events FILE             append one line per XModem transfer: how it ended,
                            the bytes written and the seconds of its data phase
  --plain-xmodem            no boot-loader commands: offer NAK (or "C" with
                            --fwd-crc) and store each transfer at offset 0
  --verbose                 report each command on standard error
  --help                    show this text
  --version                 show the program's name and version

Reply timing (a board's own pace; none of it by default):
  --think-us N              time before the reply to every command, in
                            microseconds
  --hash-us-per-kib N       a hash query's extra time per KiB hashed
  --fwd-prepare-ms N        time "fwd" takes to make its region ready before it
                            offers to receive
  --usb-latency-us N        hand each command reply to the host in packets, each
                            this long after the last, as a USB adapter's latency
                            timer does
  --usb-packet BYTES        bytes per packet (default 62)
  --realistic-timing        --think-us 1000 --hash-us-per-kib 100
                            --fwd-prepare-ms 20 --usb-latency-us 1000
                            (options after it override its values)

Boards that come and go (a production fixture):
  --absent                  start with no board: nothing answers, the terminal stays
  --control PATH            create the FIFO PATH; the line "insert" puts in a new
                            board (boot loader at 115200, erased flash), "remove"
                            takes it out and saves its flash as FLASH.N (N counts
                            boards from 1, FLASH the --flash path)
  --boards N                play an operator: insert a board, take it out once the
                            host has programmed it, N boards in all
  --board-interval SECONDS  time from a removal to the next insertion (default 0;
                            with --absent also before the first board)
  --faulty-boards LIST      give the fault switches below only to these boards
                            (numbers from 1, separated by commas)

Faults:
  --no-ping                 never answer "ping"
  --ping-extra              answer "ping" with CR LF after it
  --refuse-ucfg             answer "ucfg" with an error instead of "OK"
  --fwd-crc                 offer "C" (CRC mode) instead of NAK after "fwd"
  --silent-after-blocks N   stop answering after N XModem blocks
  --nak-storm               reject every XModem block with NAK
  --wrong-digest            answer "hashq" with a wrong digest
  --erase-no-ack            erase, but never acknowledge "ceras"/"seras"
  --erase-extra             acknowledge an erase with "OK" CR LF
  --no-write-ok             complete a transfer but never send the "OK" after it
  --hangup-on CMD           unplug the line on receiving command CMD
                            (DW, EW, ping, ucfg, ceras, seras, fwd, hashq)
  --hangup-after-blocks N   unplug the line after N XModem blocks
  --lose-ack-after-blocks N store the XModem block after N blocks but lose its
                            ACK on the wire (once), as line noise would
  --late-ack-after-blocks N send the ACK of the XModem block after N blocks
                            2 seconds late (once), after the sender's wait
  --stale-nak-after-blocks N
                            answer the XModem block after N blocks with a stale
                            NAK, then ACK it twice once it is sent again, and
                            damage the block after it on the wire (once each)
  --boot-log                not in download mode: print a boot banner at 115200
                            when inserted and every 3 seconds, answer nothing
  --stuck-byte OFFSET       the flash byte at OFFSET keeps what it held when
                            an XModem transfer writes it (a worn cell)
  --split-reply-ms N        pause N ms in the middle of every command reply
  --late-tail-ms N          send CR LF N ms after every complete command reply
)";
}

} // namespace sim
