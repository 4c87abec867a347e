// Writing one block of bytes into the flash: "fwd", the XModem transfer
// with its progress monitor thread, the end-of-write check and the
// optional "hashq" verification.
#include "device_internal.h"

#include "line/line.h"
#include "support/interrupt.h"
#include "support/phase.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>

namespace {

constexpr int kWritePauseMs = 700;
constexpr int kMonitorPollMs = 20;
constexpr uint8_t kNak = 0x15;
constexpr size_t kDigestSize = 32;
constexpr size_t kDigestReplyOffset = 6; // the chip's prefix before the digest

enum TransferState { kIdle, kRunning, kSucceeded, kFailed };

// Byte count of the transfer in flight, read by the monitor.
std::atomic<int64_t> FileSize{0};
// Progress counter reading taken before the transfer started: the counter
// keeps the previous transfer's last value until the new transfer sets it.
std::atomic<int32_t> counterBeforeTransfer{0};
std::atomic<int> transferState{kIdle};

// The image download's plan as a whole, for displays on other threads:
// its byte count (0 while no download writes) and the bytes of its writes
// before the one in flight.
std::atomic<int64_t> planTotal{0};
std::atomic<int64_t> planBefore{0};

void printPercent(int percent) {
    infohelper_output_progress("\rDownloading ---- %d%%", percent);
}

// Start of a message that follows a transfer: below the progress line,
// unless a diagnostic printed during the transfer has already left it.
const char *belowProgress() {
    return infohelper_end_progress() ? "" : "\n";
}

int percentFor(int32_t remaining) {
    int64_t size = FileSize.load();
    if (remaining <= 0 || size <= 0) {
        return 100;
    }
    float done = 100.0f * (1.0f - static_cast<float>(remaining) / static_cast<float>(size));
    return done < 0.0f ? 0 : static_cast<int>(done);
}

void sleepPoll() {
    kelvo::pauseMs(kMonitorPollMs);
}

// Waits until the counter has left the reading taken before the transfer,
// unless that reading already is the new size, or the transfer is over.
void waitForFreshCounter() {
    int32_t before = counterBeforeTransfer.load();
    if (before == FileSize.load()) {
        return;
    }
    while (transferState.load() == kRunning && checkremaining_bytes() == before) {
        sleepPoll();
    }
}

// Prints the percentage sent whenever it changes; ends when the data phase
// is over or the transfer has returned, whatever the counter holds.
void check_download_process() {
    waitForFreshCounter();
    int last = 0; // 0 is never printed at the start
    while (transferState.load() == kRunning) {
        int32_t remaining = checkremaining_bytes();
        int percent = percentFor(remaining);
        if (percent != last) {
            printPercent(percent);
            last = percent;
        }
        if (remaining <= 0) {
            return;
        }
        sleepPoll();
    }
    if (transferState.load() == kSucceeded && last != 100) {
        printPercent(100);
    }
}

void *monitorThreadBody(void *) {
    check_download_process();
    return nullptr;
}

// The transfer with its monitor beside it; the monitor has ended when
// this returns.
int32_t transmitWithProgress(const uint8_t *data, int32_t size) {
    FileSize.store(size);
    counterBeforeTransfer.store(checkremaining_bytes());
    transferState.store(kRunning);
    pthread_t monitor;
    bool monitored = pthread_create(&monitor, nullptr, monitorThreadBody, nullptr) == 0;
    if (!monitored) {
        infohelper_output(1, "no progress display: the monitor thread could not start");
    }
    int32_t status = xmodemTransmit(data, size);
    transferState.store(status >= 0 ? kSucceeded : kFailed);
    if (monitored) {
        pthread_join(monitor, nullptr);
    }
    return status;
}

// The chip's "ERR <reason>" to "fwd", as one line with the way out.
void explainRefusal(const char *reply, const char *offset) {
    const char prefix[] = "ERR ";
    if (std::strncmp(reply, prefix, sizeof prefix - 1) != 0) {
        return;
    }
    std::string reason(reply + sizeof prefix - 1, std::strcspn(reply + sizeof prefix - 1, "\r\n"));
    if (reason == "out of range") {
        infohelper_output(0,
                          "the chip refused flash offset %s as out of range: it lies past the "
                          "end of the flash; set a lower flash offset",
                          offset);
    } else {
        infohelper_output(0, "the chip refused the write at flash offset %s: %s", offset,
                          reason.c_str());
    }
}

// A receiver that cancels part way has most likely reached the end of its
// flash: where that was, from the bytes it had acknowledged.
void explainCancelledTransfer(const char *offset, int64_t size) {
    uint32_t start = 0;
    kelvo::parseFlashOffset(offset, &start);
    int64_t written = std::clamp<int64_t>(xmodem_acknowledged_bytes(), 0, size);
    infohelper_output(0,
                      "the chip cancelled the transfer at flash offset 0x%08" PRIX64 ", %" PRId64
                      " of the %" PRId64 " bytes written from %s: the image most "
                      "likely runs past the end of the flash; set a lower flash offset or use a "
                      "smaller image",
                      static_cast<int64_t>(start) + written, written, size, offset);
}

bool flashAcceptsWrite(int pin, const char *offset) {
    kelvo::Reply reply{};
    if (kelvo::sendCommand(kelvo::fwdCommand(pin, offset))) {
        kelvo::readAfterPause(&reply, kWritePauseMs);
    }
    if (static_cast<uint8_t>(reply.text[0]) == kNak) {
        if (kelvo::quickReplies()) {
            // The chip's offer to receive: the transfer starts on it
            // instead of waiting for the next one.
            serialport_put_back(kNak);
        }
        return true;
    }
    if (kelvo::stopRequested()) {
        return false;
    }
    std::printf("Received:%s\n", reply.text);
    kelvo::printLine("Xmodem not ready, please retry.");
    explainRefusal(reply.text, offset);
    return false;
}

bool hashMatches(const uint8_t *data, int64_t size, int pin) {
    uint8_t digest[kDigestSize];
    sha256_context ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, static_cast<uint64_t>(size));
    sha256_final(&ctx, digest);
    kelvo_set_phase(KELVO_PHASE_VERIFYING);
    kelvo::Reply reply{};
    if (kelvo::sendCommand(kelvo::hashqCommand(size, pin))) {
        kelvo::readAfterPause(&reply, kWritePauseMs);
    }
    bool complete = reply.count >= static_cast<int32_t>(kDigestReplyOffset + kDigestSize);
    bool equal = complete && std::memcmp(reply.text + kDigestReplyOffset, digest, kDigestSize) == 0;
    if (!equal && kelvo::stopRequested()) {
        return false;
    }
    kelvo::printLine(equal ? "HashVerify success" : "HashVerify Fail");
    return equal;
}

// Refuses a request that cannot be announced to the chip as asked.
bool writeRequestValid(const uint8_t *data, int64_t size, const char *offset) {
    uint32_t value = 0;
    if (kelvo::parseFlashOffset(offset, &value) != kelvo::OffsetCheck::Valid) {
        kelvo::printLine("Flash Offset format incorrect.(specify 0x...)");
        return false;
    }
    if (size < 0 || size > INT32_MAX || (data == nullptr && size > 0)) {
        std::printf("Xmodem cannot send %" PRId64 " bytes\n", size);
        return false;
    }
    return true;
}

// Bytes of the transfer in flight that the chip has acknowledged: none
// until the transfer has set the counter (which keeps the previous
// transfer's last value until then), all of them once it has succeeded.
int64_t sentInTransfer() {
    int state = transferState.load();
    int64_t size = FileSize.load();
    if (state == kSucceeded) {
        return size;
    }
    if (state != kRunning) {
        return 0;
    }
    int32_t remaining = checkremaining_bytes();
    if (remaining == counterBeforeTransfer.load() && remaining != size) {
        return 0;
    }
    return std::clamp<int64_t>(size - remaining, 0, size);
}

} // namespace

namespace kelvo {

void startPlanProgress(int64_t total) {
    transferState.store(kIdle);
    planBefore.store(0);
    planTotal.store(total);
}

// Idle first: for a moment the sum may lag, but it never counts the
// previous write twice.
void startPlanWrite(int64_t bytesBefore) {
    transferState.store(kIdle);
    planBefore.store(bytesBefore);
}

void endPlanProgress() {
    planTotal.store(0);
    planBefore.store(0);
}

} // namespace kelvo

extern "C" int32_t kelvo_xmodem_write(const uint8_t *data, int64_t size, int flash_pin,
                                      const char *offset, int hash_verify) {
    if (!writeRequestValid(data, size, offset)) {
        return KELVO_TRANSFER_FAILED;
    }
    kelvo_set_phase(KELVO_PHASE_WRITING);
    if (!flashAcceptsWrite(flash_pin, offset)) {
        return kelvo::stopRequested() ? KELVO_INTERRUPTED : KELVO_TRANSFER_FAILED;
    }
    kelvo::printLine("Xmodem Downloading...");
    int32_t sent = transmitWithProgress(data, static_cast<int32_t>(size));
    if (sent == KELVO_XMODEM_CANCELLED_HERE) {
        return kelvo::reportInterrupted(belowProgress());
    }
    if (sent < 0) {
        std::printf("%sXmodem transmit error: status: %d\n", belowProgress(), sent);
        std::fflush(stdout);
        if (sent == KELVO_XMODEM_CANCELLED_BY_RECEIVER) {
            explainCancelledTransfer(offset, size);
        }
        return KELVO_TRANSFER_FAILED;
    }
    kelvo::Reply reply;
    kelvo::readWindow(&reply);
    if (!kelvo::replyIs(reply, "K") && kelvo::stopRequested()) {
        return kelvo::reportInterrupted(belowProgress());
    }
    if (!kelvo::replyIs(reply, "K")) {
        std::printf("%sReceived:%s\n", belowProgress(), reply.text);
        kelvo::printLine("Xmodem Unsuccessful, please retry.");
        return KELVO_TRANSFER_FAILED;
    }
    std::printf("%sRecv OK successful\n", belowProgress());
    std::printf("Xmodem successfully transmitted %d bytes\n", sent);
    std::fflush(stdout);
    if (hash_verify == 1 && !hashMatches(data, size, flash_pin)) {
        return kelvo::stopRequested() ? KELVO_INTERRUPTED : KELVO_HASH_MISMATCH;
    }
    return KELVO_SUCCESS;
}

extern "C" int64_t kelvo_transfer_size(void) {
    return FileSize.load();
}

extern "C" int64_t kelvo_download_progress(int64_t *total) {
    int64_t planned = planTotal.load();
    if (total != nullptr) {
        *total = planned;
    }
    if (planned <= 0) {
        return 0;
    }
    return std::min(planBefore.load() + sentInTransfer(), planned);
}
