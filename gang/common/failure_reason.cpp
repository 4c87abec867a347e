#include "common/failure_reason.h"

#include "KelvoPG_core.h"

#include <cstring>
#include <vector>

namespace gang {
namespace {

// Line starts that name the cause of a failed download. The region lines
// ("download failed." and the like) only follow the cause, so they are
// not among them.
const char *const kCauses[] = {
    "error: ",
    "Please set ",
    "Flash Offset ",
    "Cannot read image file ",
    "device ping not received",
    "device configs not set, please retry.",
    "Erase Unsuccessful, please retry.",
    "Xmodem not ready, please retry.",
    "Xmodem cannot send ",
    "Xmodem transmit error: status: ",
    "Xmodem Unsuccessful, please retry.",
    "HashVerify Fail",
    "Operation interrupted",
};

// The core's line naming another process that has the port open.
const char *const kWarning = "warning: ";
const char *const kHolderLine = " is also open in process ";

bool isCause(const std::string &line) {
    for (const char *cause : kCauses) {
        if (line.compare(0, std::strlen(cause), cause) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            out.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

} // namespace

std::string resultMeaning(int result) {
    switch (result) {
    case KELVO_SUCCESS:
        return "ok";
    case KELVO_SETTINGS_MISSING:
        return "Please set Device, baudrate & flash_pin";
    case KELVO_OFFSET_NOT_SET:
        return "Please set flash offset";
    case KELVO_OFFSET_FORMAT:
        return "Flash Offset format incorrect.(specify 0x...)";
    case KELVO_OFFSET_RANGE:
        return "Flash Offset out of range";
    case KELVO_NO_PING:
        return "device ping not received";
    case KELVO_CONFIG_REFUSED:
        return "device configs not set, please retry.";
    case KELVO_ERASE_FAILED:
        return "Erase Unsuccessful, please retry.";
    case KELVO_TRANSFER_FAILED:
        return "download failed.";
    case KELVO_HASH_MISMATCH:
        return "HashVerify Fail";
    case KELVO_FILE_ERROR:
        return "file error";
    case KELVO_INTERRUPTED:
        return "Operation interrupted";
    case KELVO_SETTINGS_CONFLICT:
        return "chip_erase with a keep option";
    default:
        return "result " + std::to_string(result);
    }
}

std::string failureReason(const std::string &output, int result) {
    std::string cause, holders;
    for (const std::string &line : lines(output)) {
        if (cause.empty() && isCause(line)) {
            cause = line;
        }
        // Another program on the port is the likelier culprit than the
        // board: it goes with the cause.
        size_t named = line.find(kHolderLine);
        if (line.compare(0, std::strlen(kWarning), kWarning) == 0 && named != std::string::npos) {
            holders += "; " + line.substr(std::strlen(kWarning));
        }
    }
    return (cause.empty() ? resultMeaning(result) : cause) + holders;
}

} // namespace gang
