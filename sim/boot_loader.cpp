#include "boot_loader.h"

#include "KelvoPG_core.h"
#include "xmodem_receiver.h"

#include <cstdio>
#include <iostream>

namespace sim {
namespace {

constexpr size_t kMaxLine = 256;              // longer lines are refused
constexpr uint64_t kPinRegister = 0x40000038; // its reply carries the flash pin selection
constexpr size_t kPinIndex = 21;              // where the host looks for it in the reply
constexpr auto kIdlePoll = Millis(500);
constexpr auto kBayPoll = Millis(50); // how soon a control line or the operator acts
constexpr auto kRateGrace = Millis(250);
constexpr auto kUcfgGiveUp = std::chrono::seconds(5);
constexpr auto kSpeedPoll = Millis(10);
constexpr auto kEventDrain = Millis(2); // line events already queued, without waiting for more
constexpr auto kUcfgSettle = Millis(100);  // after the host is back
constexpr auto kUcfgMinimum = Millis(250); // after the command
constexpr auto kUcfgNoFlush = Millis(500); // a host that never discards its input
constexpr auto kPlainPurgeQuiet = Millis(50);
constexpr auto kPlainPurgeLimit = Millis(500);
const char kOk[] = "OK";
const char kDigestPrefix[] = "SHA256"; // six bytes before the digest
constexpr long kBootRate = 115200;
constexpr auto kBannerPeriod = std::chrono::seconds(3);
const char kBanner[] = "\r\nKelvo SDK 3.2 boot\r\nflash id 0x1640ef\r\nwifi: init done\r\n"
                       "app: started\r\n";

bool isControl(int b) {
    return b < 0x20 || b >= 0x7F;
}

const ChipFaults kNoChipFaults{};
const XmodemFaults kNoXmodemFaults{};

} // namespace

void BootLoader::note(const std::string &event) const {
    if (options_.verbose) {
        std::cerr << "kelvo_chipsim: " << event << std::endl;
    }
}

bool BootLoader::saveFlash() {
    std::string error;
    if (!flash_.save(error)) {
        std::cerr << "kelvo_chipsim: " << error << std::endl;
        return false;
    }
    return true;
}

void BootLoader::recordTransfer(const XmodemResult &result) {
    char line[128];
    double seconds = std::chrono::duration<double>(result.dataTime).count();
    std::snprintf(line, sizeof line, "xmodem %s %llu bytes %.6f s\n", endName(result.end),
                  static_cast<unsigned long long>(result.bytesWritten), seconds);
    if (!events_.append(line)) {
        std::cerr << "kelvo_chipsim: cannot write the event log" << std::endl;
    }
}

void BootLoader::servePlainXmodem() {
    for (;;) {
        XmodemReceiver receiver(line_, flash_, options_.xmodem);
        XmodemResult result = receiver.receive(0);
        if (result.end == XmodemEnd::LineGone) {
            return;
        }
        if (result.end == XmodemEnd::NoStart) {
            // Nobody is sending: drop what stopped the offers and offer again.
            line_.purge(kPlainPurgeQuiet, kPlainPurgeLimit);
            continue;
        }
        recordTransfer(result);
        if (result.bytesWritten > 0) {
            saveFlash();
        }
    }
}

void BootLoader::serve() {
    std::string raw;
    for (;;) {
        LineRead got = nextLine(raw);
        if (got == LineRead::Gone) {
            return;
        }
        if (got == LineRead::TooLong) {
            replyError("line too long");
            continue;
        }
        handleLine(raw);
    }
}

const ChipFaults &BootLoader::faults() const {
    return bay_.faulty() ? options_.faults : kNoChipFaults;
}

const XmodemFaults &BootLoader::xmodemFaults() const {
    return bay_.faulty() ? options_.xmodem : kNoXmodemFaults;
}

bool BootLoader::boardHears() {
    if (!bay_.active()) {
        return true;
    }
    bay_.tick(line_.inputFlushes());
    if (bay_.board() != board_) {
        board_ = bay_.board(); // a new board knows nothing of the last one's writes
        haveWrite_ = false;
        words_.clear();
        nextBanner_ = Clock::now();
        note("board " + std::to_string(board_) + " inserted");
    }
    long speed = line_.hostSpeed();
    if (speed != hostSpeed_) {
        priorSpeed_ = hostSpeed_;
        hostSpeed_ = speed;
        speedChangedAt_ = Clock::now();
    }
    // A line sent just before the host switched its rate (the "ucfg" line
    // itself) may only be read after the switch: it still counts at the rate
    // it went out at.
    bool justSwitched = priorSpeed_ == bay_.rate() && Clock::now() - speedChangedAt_ < kRateGrace;
    return bay_.present() && (speed == bay_.rate() || justSwitched);
}

BootLoader::LineRead BootLoader::nextLine(std::string &raw) {
    raw.clear();
    bool tooLong = false;
    for (;;) {
        int b = line_.readByte(bay_.active() ? kBayPoll : kIdlePoll);
        if (b == kLineGone) {
            return LineRead::Gone;
        }
        bool heard = boardHears();
        if (runsFirmware()) {
            printBanner();
            raw.clear(); // the firmware takes no commands
            continue;
        }
        if (b == kTimedOut) {
            continue;
        }
        if (!heard) {
            raw.clear(); // nobody there, or noise at the wrong rate
            tooLong = false;
            continue;
        }
        if (b == '\n') {
            raw += '\n';
            return tooLong ? LineRead::TooLong : LineRead::Line;
        }
        if (raw.empty() && isControl(b)) {
            continue; // leftovers of a transfer (CAN, EOT repeats), not a command
        }
        if (raw.size() + 1 >= kMaxLine) {
            tooLong = true; // drop the rest up to the line's end
            continue;
        }
        raw += static_cast<char>(b);
    }
}

bool BootLoader::runsFirmware() const {
    return options_.faults.bootLog && bay_.present() && bay_.faulty();
}

// At the firmware's own rate: a host at another rate reads nothing useful,
// here nothing at all.
void BootLoader::printBanner() {
    if (Clock::now() < nextBanner_) {
        return;
    }
    nextBanner_ = Clock::now() + kBannerPeriod;
    if (line_.hostSpeed() == kBootRate) {
        note("firmware: boot banner");
        line_.send(kBanner);
    }
}

void BootLoader::handleLine(const std::string &raw) {
    if (!log_.append(raw)) {
        std::cerr << "kelvo_chipsim: cannot write the command log" << std::endl;
    }
    std::string text = raw.substr(0, raw.size() - 1);
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    note("received: " + text);
    if (!faults().hangUpOn.empty() && commandWord(text) == faults().hangUpOn) {
        note("hanging up the line");
        line_.hangUp();
        return;
    }
    ParsedLine parsed = parseCommand(text);
    if (!parsed.ok) {
        replyError(parsed.error);
        return;
    }
    int pin = expectedPin();
    bool usesPin = parsed.command.kind == CommandKind::ChipErase ||
                   parsed.command.kind == CommandKind::SectorErase ||
                   parsed.command.kind == CommandKind::FlashWrite ||
                   parsed.command.kind == CommandKind::HashQuery;
    if (usesPin && pin >= 0 && parsed.command.pin != pin) {
        replyError("flash pin"); // the flash would not answer on the other pins
        return;
    }
    dispatch(parsed.command);
}

void BootLoader::dispatch(const Command &command) {
    if (!sleepFor(thinkTime(command))) {
        return;
    }
    switch (command.kind) {
    case CommandKind::ReadWord:
        readWord(command);
        return;
    case CommandKind::WriteWord:
        words_[command.address] = static_cast<uint32_t>(command.value);
        answer(kOk);
        return;
    case CommandKind::Ping:
        ping();
        return;
    case CommandKind::LineConfig:
        lineConfig(command);
        break;
    case CommandKind::ChipErase:
        chipErase(command);
        break;
    case CommandKind::SectorErase:
        sectorErase(command);
        break;
    case CommandKind::FlashWrite:
        flashWrite(command);
        break;
    case CommandKind::HashQuery:
        hashQuery(command);
        break;
    }
    bay_.noteWork(line_.inputFlushes());
}

void BootLoader::replyError(const std::string &reason) {
    note("error: " + reason);
    answer("ERR " + reason + "\r\n");
}

std::string BootLoader::readWordReply(uint64_t address) const {
    if (address == kPinRegister && options_.dwReplySet) {
        return options_.dwReply;
    }
    auto word = words_.find(address);
    char text[64];
    std::snprintf(text, sizeof text, "0x%08llX = 0x%08X\r\n",
                  static_cast<unsigned long long>(address),
                  word == words_.end() ? 0u : word->second);
    std::string reply = text;
    if (address == kPinRegister) {
        reply[kPinIndex] = options_.pinChar;
    }
    return reply;
}

// The pin the host must name, learned as the host learns it; -1: any.
int BootLoader::expectedPin() const {
    std::string reply = readWordReply(kPinRegister);
    char c = reply.size() > kPinIndex ? reply[kPinIndex] : '\0';
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value < 0 ? -1 : (value >> 1) & 1;
}

void BootLoader::readWord(const Command &command) {
    answer(readWordReply(command.address));
}

void BootLoader::ping() {
    if (faults().noPing) {
        return;
    }
    answer(faults().pingExtra ? "ping\r\n" : "ping");
}

// The host closes its port right after "ucfg", which discards its pending
// input, and reopens it at the new rate: an answer sent before that is lost.
// So answer only once the line runs at the new rate and, when the rate did
// not change, once the host has discarded its input (or surely would have).
void BootLoader::lineConfig(const Command &command) {
    auto received = Clock::now();
    uint64_t flushes = line_.inputFlushes();
    long rate = static_cast<long>(command.number);
    // Against the board's own rate: a quick host may have switched already.
    bool changed = bay_.rate() != rate;
    while (line_.hostSpeed() != rate) {
        if (Clock::now() >= received + kUcfgGiveUp) {
            note("ucfg: the host never switched to " + std::to_string(rate));
            return;
        }
        if (!line_.collect(kSpeedPoll)) {
            return;
        }
    }
    // A host quicker than this board has closed and reopened its port
    // already: take in the discard its close made, so that the simulated
    // operator does not take it for the end of the board's programming.
    if (!line_.collect(kEventDrain)) {
        return;
    }
    auto reopenedAt = Clock::now();
    while (!changed && line_.inputFlushes() == flushes && Clock::now() < received + kUcfgNoFlush) {
        if (!line_.collect(kSpeedPoll)) {
            return;
        }
        reopenedAt = Clock::now();
    }
    if (!sleepUntil(std::max(reopenedAt + kUcfgSettle, received + kUcfgMinimum))) {
        return;
    }
    if (faults().refuseUcfg) {
        replyError("ucfg refused");
        return;
    }
    bay_.setRate(rate);
    answer(kOk);
}

// What the chip spends on a command before its reply: the same for every
// command, and a hash query's digest over the bytes it hashes on top.
Clock::duration BootLoader::thinkTime(const Command &command) const {
    auto think = Micros(options_.timing.thinkUs);
    if (command.kind == CommandKind::HashQuery) {
        think +=
            Micros(static_cast<long long>(command.number / 1024) * options_.timing.hashUsPerKib);
    }
    return think;
}

// A command's reply: written as one burst after the turnaround, which the
// adapter hands to the host in packets, each one latency after the last.
// The fault switches split it by a pause or let a tail follow it late.
void BootLoader::answer(const std::string &bytes) {
    std::string first = bytes, second;
    if (faults().splitReplyMs > 0 && bytes.size() > 1) {
        first = bytes.substr(0, bytes.size() / 2);
        second = bytes.substr(bytes.size() / 2);
    }
    if (!deliver(first, true)) {
        return;
    }
    if (!second.empty() && (!sleepFor(Millis(faults().splitReplyMs)) || !deliver(second, false))) {
        return;
    }
    if (faults().lateTailMs > 0 && sleepFor(Millis(faults().lateTailMs))) {
        note("late tail after the reply");
        deliver("\r\n", false);
    }
}

bool BootLoader::deliver(const std::string &bytes, bool turnaround) {
    const ReplyTiming &t = options_.timing;
    size_t packet = t.usbLatencyUs > 0 ? static_cast<size_t>(t.usbPacket) : bytes.size();
    for (size_t at = 0; at < bytes.size(); at += packet) {
        std::string piece = bytes.substr(at, packet);
        if (t.usbLatencyUs > 0 && !sleepFor(Micros(t.usbLatencyUs))) {
            return false;
        }
        bool sent = turnaround && at == 0 ? line_.reply(piece) : line_.send(piece);
        if (!sent) {
            return false;
        }
    }
    return true;
}

void BootLoader::acknowledgeErase() {
    if (!saveFlash()) {
        replyError("flash file not saved");
        return;
    }
    if (faults().eraseNoAck) {
        return;
    }
    answer(faults().eraseExtra ? "OK\r\n" : kOk);
}

void BootLoader::chipErase(const Command &) {
    if (!sleepFor(Millis(options_.eraseMs))) {
        return;
    }
    flash_.erase(0, flash_.size());
    acknowledgeErase();
}

// Sectors of 4 KiB, as the serial flashes of these chips erase them: a
// range is as slow as the sectors it touches.
std::chrono::milliseconds BootLoader::sectorEraseTime(const Command &command) const {
    const uint64_t sector = 4096;
    uint64_t first = command.address / sector;
    uint64_t end = (command.address + command.number + sector - 1) / sector;
    uint64_t sectors = command.number == 0 ? 0 : end - first;
    return Millis(static_cast<long long>(sectors) * options_.sectorEraseMs);
}

void BootLoader::sectorErase(const Command &command) {
    if (!flash_.contains(command.address, command.number)) {
        replyError("out of range");
        return;
    }
    if (!sleepFor(sectorEraseTime(command))) {
        return;
    }
    if (!flash_.erase(command.address, command.number)) {
        replyError("out of range");
        return;
    }
    acknowledgeErase();
}

void BootLoader::flashWrite(const Command &command) {
    if (command.address >= flash_.size()) {
        replyError("out of range");
        return;
    }
    // The region is made ready before the offer to receive goes out.
    if (!sleepFor(Millis(options_.timing.fwdPrepareMs))) {
        return;
    }
    XmodemReceiver receiver(line_, flash_, xmodemFaults());
    XmodemResult result = receiver.receive(command.address);
    if (result.end != XmodemEnd::NoStart && result.end != XmodemEnd::LineGone) {
        recordTransfer(result);
    }
    if (result.bytesWritten > 0 || result.end == XmodemEnd::Completed) {
        haveWrite_ = true;
        lastWriteOffset_ = command.address;
        saveFlash();
    }
    note("fwd: " + std::to_string(result.bytesWritten) + " bytes written");
    if (result.end == XmodemEnd::Completed && !faults().noWriteOk) {
        answer(kOk);
    }
}

void BootLoader::hashQuery(const Command &command) {
    if (!haveWrite_) {
        replyError("nothing written");
        return;
    }
    if (!flash_.contains(lastWriteOffset_, command.number)) {
        replyError("out of range");
        return;
    }
    uint8_t digest[32];
    sha256_context context;
    sha256_init(&context);
    sha256_update(&context, flash_.at(lastWriteOffset_), command.number);
    sha256_final(&context, digest);
    if (faults().wrongDigest) {
        digest[0] ^= 0xFF;
    }
    answer(kDigestPrefix + std::string(reinterpret_cast<char *>(digest), sizeof digest));
}

} // namespace sim
