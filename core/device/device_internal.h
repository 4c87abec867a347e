// Shared between the device-programming files of the core: the boot
// loader's command texts, checks of user-typed offsets and lengths, the
// region plan of an image download, and the command session helpers.
#pragma once

#include "KelvoPG_core.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {

// ---- Pure parts (device_plan.cpp): no I/O.

// Highest flash offset the boot loader takes (a signed 32-bit address).
constexpr uint32_t kMaxFlashOffset = 0x7FFFFFFFu;

enum class OffsetCheck { Valid, BadFormat, OutOfRange };

// "0x" followed by one or more hexadecimal digits and nothing else, at most
// kMaxNumberText characters; the value counts every digit, with no wrap.
OffsetCheck parseFlashOffset(const char *text, uint32_t *value);

// Longest offset or length text taken from the user: as the record's offset
// field holds. A longer one would only ever be leading zeros or an
// overflowing value, and it goes out on the command line.
constexpr size_t kMaxNumberText = 15;

// Decimal digits, or "0x" followed by hexadecimal digits; nothing else, and
// at most kMaxNumberText characters.
bool isLengthText(const char *text);

// Flash pin selection from the reply to "DW 40000038": bit 1 of the
// upper-case hex digit at index 21, else the fallback.
int pinFromWordReply(const char *reply, size_t replyLen, int fallback);

// Command lines, terminator included. Offset texts start with "0x": the
// digits after it go out as typed.
std::string ucfgCommand(int32_t baud);
std::string cerasCommand(int pin);
std::string serasCommand(const char *offsetText, const char *lengthText, int pin);
std::string fwdCommand(int pin, const char *offsetText);
std::string hashqCommand(int64_t size, int pin);

// One write of an image download: image bytes [position, position+length)
// go to the flash at offset (text with "0x").
struct RegionWrite {
    std::string offset;
    uint32_t address; // the offset's value
    size_t position;
    size_t length;
    const char *announce; // printed before the write, or nullptr
    const char *failure;  // printed when the write fails
};

// The writes of an image of imageSize bytes at flash offset (value and text
// as typed). Regions kept on the chip and empty regions get no write.
std::vector<RegionWrite> planImageWrites(size_t imageSize, uint32_t offset, const char *offsetText,
                                         int keepSysData, int keepWifiData);

// XModem fills a write's last 1024-byte block with zeros, and the chip
// writes whole blocks: true when that filling of some write of the plan
// would land in a region the keep options protect.
bool paddingHitsKeptRegion(const std::vector<RegionWrite> &plan, int keepSysData, int keepWifiData);

// ---- Progress of a download over its whole plan (flash_write.cpp), read
// through kelvo_download_progress.

// The plan's byte count, when its writes begin.
void startPlanProgress(int64_t total);
// Before each write of the plan: the bytes of the writes before it.
void startPlanWrite(int64_t bytesBefore);
// After the download, successful or not: no download is writing.
void endPlanProgress();

// ---- Command session (session.cpp).

// Reply of one read window: 100 bytes and a zero that always stays.
constexpr size_t kReplyCapacity = 100;
struct Reply {
    char text[kReplyCapacity + 1];
    int32_t count;
};

// Prints s and a newline, flushed.
void printLine(const char *s);
// "Device setting not done" and the reason, as two lines.
void reportSettingProblem(const char *reason);

// Loads "record.dat" into rec and checks device, baud rate and flash pin:
// 176, or 177 after its message. Text fields come back zero-terminated.
int loadCheckedSettings(DeviceSetting *rec);
// The same checks on a record already in memory.
int checkSettingValues(DeviceSetting *rec);

// Sends one command line in a single write; false (the serial layer
// printed why) when the line did not take it whole.
bool sendCommand(const std::string &line);
// One read window: up to 100 bytes within the port's time-out. With quick
// replies, the bytes up to the first quiet gap within that window.
void readWindow(Reply *reply);
// A fixed pause, then a read window; with quick replies one framed read
// whose first byte may take the pause and the window together.
void readAfterPause(Reply *reply, int pauseMs);
// True while the operation in flight frames replies by silence.
bool quickReplies();
// A fixed pause before a reply (none with quick replies, whose read takes
// it in): false when a stop request cut it short.
bool pauseBeforeReply(int ms);
// The reply holds exactly this text and nothing after it.
bool replyIs(const Reply &reply, const char *text);
// A pause that nothing cuts short (the progress monitor's).
void pauseMs(int ms);

// ---- Device operations and their interruption (session.cpp).

// Starts a device operation: forgets a stale stop request, and lets a
// signal cancel the operation instead of ending the process.
void beginOperation();
// Closes the port the normal way and ends the operation. A failure that a
// stop request caused becomes KELVO_INTERRUPTED, announced once.
int endOperation(int result);
// True when a stop request is pending: the step gives up without its own
// failure messages.
bool stopRequested();
// Prints "Operation interrupted" once per operation, after prefix (a line
// break to leave an open progress line); KELVO_INTERRUPTED.
int reportInterrupted(const char *prefix);

// Opens the port, learns the flash pin into rec->flash_pin, checks the
// ping and switches the line to rec->baudrate. 176 with the port open, or
// 181/182 after the messages. The caller closes the port in every case.
int connectDevice(DeviceSetting *rec, const char *pingReceived, bool echoPingReply);

// The acknowledgement of an erase command (sent: it went out whole): a
// bounded wait for a reply beginning with "O", echoing what arrives. 176
// when it is exactly "OK", else 183 after the messages; 188 when cancelled.
// pausedMs: the pause before it (pauseBeforeReply), which quick replies
// add to the wait instead.
int awaitEraseAck(bool sent, int pausedMs);

// "ceras" and its acknowledgement: 176 or 183 after the messages.
// duringDownload: announce "Erasing chip..." instead of pausing first.
int eraseWholeChip(int pin, bool duringDownload);

} // namespace kelvo
