// The host side of the boot loader's command language: settings checks,
// command exchange, the connect sequence and the chip erase.
#include "device_internal.h"
#include "support/interrupt.h"
#include "line/line.h"
#include "support/phase.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <atomic>

namespace kelvo {
namespace {

constexpr uint32_t kConnectBaud = 115200;
constexpr int kEraseAckMinChunk = 2; // "OK"
constexpr int kErasePauseMs = 700;

// Fixed commands of the connect sequence.
const char *const kReadWordCommand = "DW 40000038\r\n";
const char *const kPingCommand = "ping\n";
const char *const kWriteWordCommand = "EW 40002800 7EFFFFFF\n";

const char *const kSettingsNotSet = "Please set Device, baudrate & flash_pin";
std::atomic<bool> interruptionReported{false};
// Quick replies of the operation in flight, and the input they dropped.
bool quick = false;
uint32_t droppedBytes = 0;
uint32_t droppedCommands = 0;

// The command word, for the diagnostics.
std::string commandWord(const std::string &line) {
    return line.substr(0, line.find_first_of(" \r\n"));
}

// A reply's first byte must answer this command: what is left of an
// earlier reply (a tail after the quiet gap) is dropped.
void dropStaleInput(const std::string &line) {
    uint32_t n = serialport_discard_input();
    if (n == 0) {
        return;
    }
    droppedBytes += n;
    ++droppedCommands;
    infohelper_output(2, "quick replies: %u bytes dropped before \"%s\"", static_cast<unsigned>(n),
                      commandWord(line).c_str());
}

void announceFraming() {
    if (quick) {
        std::printf("Reply framing: quick replies (quiet gap %u ms)\n",
                    static_cast<unsigned>(serialport_quiet_gap_ms()));
        std::fflush(stdout);
    }
}

void reportDropped() {
    if (quick) {
        infohelper_output(2, "quick replies: %u bytes dropped before %u commands",
                          static_cast<unsigned>(droppedBytes),
                          static_cast<unsigned>(droppedCommands));
    }
}

void clearReply(Reply *reply) {
    std::memset(reply->text, 0, sizeof reply->text);
    reply->count = 0;
}

void terminateField(char *field, size_t width) {
    field[width - 1] = '\0';
}

// Sends a command and reads its reply window; a command that could not be
// sent leaves the reply empty, so the step fails without waiting.
void exchange(const std::string &line, Reply *reply) {
    clearReply(reply);
    if (sendCommand(line)) {
        readWindow(reply);
    }
}

bool pingAnswered(bool echoPingReply) {
    Reply reply;
    exchange(kPingCommand, &reply);
    if (replyIs(reply, "ping")) {
        return true;
    }
    if (stopRequested()) {
        return false;
    }
    if (echoPingReply) {
        std::printf("Received:%s\n", reply.text);
    }
    printLine("device ping not received");
    return false;
}

// "ucfg", then close and reopen the port at the new rate and expect "OK".
// A port that will not reopen (the serial layer says why) is a refused
// configuration too: the chip has already switched its rate.
int switchLineRate(const DeviceSetting &rec) {
    sendCommand(ucfgCommand(rec.baudrate));
    serialport_close();
    Reply reply;
    clearReply(&reply);
    if (serialport_open(rec.device, static_cast<uint32_t>(rec.baudrate)) != 0) {
        readWindow(&reply);
    }
    if (!replyIs(reply, "OK") && stopRequested()) {
        return KELVO_INTERRUPTED;
    }
    if (!replyIs(reply, "OK")) {
        std::printf("Received:%s\n", reply.text);
        printLine("device configs not set, please retry.");
        return KELVO_CONFIG_REFUSED;
    }
    printLine("device Configs set successfully");
    return KELVO_SUCCESS;
}

int connectSequence(DeviceSetting *rec, const char *pingReceived, bool echoPingReply) {
    kelvo_set_phase(KELVO_PHASE_CONNECTING);
    // The serial layer has printed why the port cannot be opened.
    if (serialport_open(rec->device, kConnectBaud) == 0) {
        return KELVO_NO_PING;
    }
    announceFraming();
    serialport_flush();
    Reply reply;
    exchange(kReadWordCommand, &reply);
    rec->flash_pin = pinFromWordReply(reply.text, static_cast<size_t>(reply.count), rec->flash_pin);
    if (!pingAnswered(echoPingReply)) {
        return stopRequested() ? KELVO_INTERRUPTED : KELVO_NO_PING;
    }
    printLine(pingReceived);
    exchange(kWriteWordCommand, &reply); // the reply is not examined
    if (stopRequested()) {
        return KELVO_INTERRUPTED;
    }
    return switchLineRate(*rec);
}

// Another program with the port open (a serial monitor, a modem manager)
// takes the chip's replies away, and the failure then looks like a dead
// board: name those programs. Only for a path that is a serial line.
void reportPortHolders(const char *device) {
    if (!kelvo_line::lastOpenFoundSerialLine()) {
        return;
    }
    char text[2048];
    if (kelvo_describe_port_holders(device, text, sizeof text) == 0) {
        return;
    }
    for (char *line = text; *line != '\0';) {
        char *end = std::strchr(line, '\n');
        if (end == nullptr) {
            break; // cut short by the buffer
        }
        *end = '\0';
        infohelper_output(1, "%s", line);
        line = end + 1;
    }
}

} // namespace

void printLine(const char *s) {
    std::puts(s);
    std::fflush(stdout);
}

void reportSettingProblem(const char *reason) {
    printLine("Device setting not done");
    printLine(reason);
}

int loadCheckedSettings(DeviceSetting *rec) {
    int result = kelvo_load_download_settings(rec);
    return result == KELVO_SUCCESS ? checkSettingValues(rec) : result;
}

int checkSettingValues(DeviceSetting *rec) {
    // A damaged file may lack the terminators.
    terminateField(rec->device, sizeof rec->device);
    terminateField(rec->image, sizeof rec->image);
    terminateField(rec->flash_offset, sizeof rec->flash_offset);
    bool unset = rec->baudrate == KELVO_NOT_SET || rec->flash_pin == KELVO_NOT_SET ||
                 rec->baudrate <= 0 || std::strcmp(rec->device, "NaN") == 0;
    if (unset) {
        reportSettingProblem(kSettingsNotSet);
        return KELVO_SETTINGS_MISSING;
    }
    return KELVO_SUCCESS;
}

bool sendCommand(const std::string &line) {
    if (quick) {
        dropStaleInput(line);
    }
    // The serial layer prints why a write did not go out whole.
    int32_t sent = serialport_write(reinterpret_cast<const uint8_t *>(line.data()), line.size());
    return sent == static_cast<int32_t>(line.size());
}

void readWindow(Reply *reply) {
    readAfterPause(reply, 0);
}

void readAfterPause(Reply *reply, int pauseMs) {
    clearReply(reply);
    uint8_t *text = reinterpret_cast<uint8_t *>(reply->text);
    int32_t n = 0;
    if (quick) {
        uint32_t window = serialport_get_timeout() + static_cast<uint32_t>(pauseMs);
        n = serialport_read_framed(text, kReplyCapacity, window, serialport_quiet_gap_ms());
    } else {
        if (pauseMs > 0) {
            // A pause cut short by a stop request: the read then ends at once.
            kelvo_pause_ms(pauseMs);
        }
        n = serialport_read(text, kReplyCapacity);
    }
    reply->count = n > 0 ? n : 0;
}

bool quickReplies() {
    return quick;
}

bool pauseBeforeReply(int ms) {
    return quick || kelvo_pause_ms(ms);
}

bool replyIs(const Reply &reply, const char *text) {
    return std::strcmp(reply.text, text) == 0;
}

void pauseMs(int ms) {
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void beginOperation() {
    kelvo_clear_cancel();
    interruptionReported.store(false);
    quick = kelvo_quick_replies() != 0;
    droppedBytes = droppedCommands = 0;
    kelvo_operation_begin();
}

bool stopRequested() {
    return kelvo_cancel_requested() != 0;
}

int reportInterrupted(const char *prefix) {
    if (!interruptionReported.exchange(true)) {
        std::printf("%sOperation interrupted\n", prefix);
        std::fflush(stdout);
    }
    return KELVO_INTERRUPTED;
}

int endOperation(int result) {
    reportDropped();
    serialport_close();
    if (result != KELVO_SUCCESS && stopRequested()) {
        result = reportInterrupted("");
    }
    kelvo_set_phase(KELVO_PHASE_IDLE);
    kelvo_operation_end();
    return result;
}

int connectDevice(DeviceSetting *rec, const char *pingReceived, bool echoPingReply) {
    int result = connectSequence(rec, pingReceived, echoPingReply);
    if (result != KELVO_SUCCESS && result != KELVO_INTERRUPTED && !stopRequested()) {
        reportPortHolders(rec->device);
    }
    return result;
}

int awaitEraseAck(bool sent, int pausedMs) {
    char ack[kReplyCapacity + 1] = {};
    uint32_t extra = quick ? static_cast<uint32_t>(pausedMs) : 0;
    uint32_t gap = quick ? serialport_quiet_gap_ms() : 0;
    bool acknowledged = sent && !stopRequested() &&
                        serialport_block_read_framed(ack, kEraseAckMinChunk, extra, gap) == 1;
    if (!acknowledged && stopRequested()) {
        return KELVO_INTERRUPTED;
    }
    if (acknowledged && std::strcmp(ack, "OK") == 0) {
        printLine("Erase successful");
        return KELVO_SUCCESS;
    }
    std::printf("Received:%s\n", ack);
    printLine("Erase Unsuccessful, please retry.");
    return KELVO_ERASE_FAILED;
}

int eraseWholeChip(int pin, bool duringDownload) {
    kelvo_set_phase(KELVO_PHASE_ERASING);
    bool sent = sendCommand(cerasCommand(pin));
    if (duringDownload) {
        printLine("Erasing chip...\r");
        return awaitEraseAck(sent, 0);
    }
    if (!pauseBeforeReply(kErasePauseMs)) {
        return KELVO_INTERRUPTED;
    }
    return awaitEraseAck(sent, kErasePauseMs);
}

} // namespace kelvo

extern "C" int kelvo_load_download_settings(DeviceSetting *rec) {
    if (load_device_setting(rec) != KELVO_SUCCESS) {
        kelvo::reportSettingProblem(kelvo::kSettingsNotSet);
        return KELVO_SETTINGS_MISSING;
    }
    return KELVO_SUCCESS;
}
