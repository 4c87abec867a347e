// Erasing the whole flash ("ceras") or a range of it ("seras").
#include "device_internal.h"
#include "line/line.h"
#include "support/interrupt.h"
#include "support/phase.h"

#include <cstdio>

namespace {

constexpr int kSectorErasePauseMs = 700;
const char *const kPingReceived = "Ping received, beginning erase";

// The offset and length texts of a sector erase: 176, or 179/180 after the
// messages, before any serial traffic.
int checkEraseRange(const char *offset, const char *length) {
    uint32_t value = 0;
    switch (kelvo::parseFlashOffset(offset, &value)) {
    case kelvo::OffsetCheck::BadFormat:
        kelvo::reportSettingProblem("Erase Offset format incorrect.(specify 0x...)");
        return KELVO_OFFSET_FORMAT;
    case kelvo::OffsetCheck::OutOfRange:
        kelvo::reportSettingProblem("Erase Offset out of range");
        return KELVO_OFFSET_RANGE;
    case kelvo::OffsetCheck::Valid:
        break;
    }
    // The length goes out as typed, so only a plain number may pass: a
    // blank or a line break would end the command early.
    if (!kelvo::isLengthText(length)) {
        kelvo::reportSettingProblem("Erase Length format incorrect.(specify a number)");
        return KELVO_OFFSET_FORMAT;
    }
    return KELVO_SUCCESS;
}

// A large range takes the chip seconds per 64 KiB block, so the reply is
// awaited as that of a chip erase, not within one read window.
int eraseSectorRange(const char *offset, const char *length, int pin) {
    std::string command = kelvo::serasCommand(offset, length, pin);
    std::printf("Erase sec cmd:%s\n", command.c_str());
    std::fflush(stdout); // the wait below can be long
    kelvo_set_phase(KELVO_PHASE_ERASING);
    bool sent = kelvo::sendCommand(command);
    if (sent && !kelvo::pauseBeforeReply(kSectorErasePauseMs)) {
        return KELVO_INTERRUPTED;
    }
    return kelvo::awaitEraseAck(sent, kSectorErasePauseMs);
}

} // namespace

extern "C" int32_t eraseChip(void) {
    DeviceSetting rec;
    int result = kelvo::loadCheckedSettings(&rec);
    if (result != KELVO_SUCCESS) {
        return result;
    }
    kelvo::beginOperation();
    result = kelvo::connectDevice(&rec, kPingReceived, false);
    if (result == KELVO_SUCCESS) {
        result = kelvo::eraseWholeChip(rec.flash_pin, false);
    }
    return kelvo::endOperation(result);
}

extern "C" int32_t eraseChipSector(const char *offset, const char *length) {
    DeviceSetting rec;
    int result = kelvo::loadCheckedSettings(&rec);
    if (result == KELVO_SUCCESS) {
        result = checkEraseRange(offset, length);
    }
    if (result != KELVO_SUCCESS) {
        return result;
    }
    kelvo::beginOperation();
    result = kelvo::connectDevice(&rec, kPingReceived, false);
    if (result == KELVO_SUCCESS) {
        result = eraseSectorRange(offset, length, rec.flash_pin);
    }
    return kelvo::endOperation(result);
}
