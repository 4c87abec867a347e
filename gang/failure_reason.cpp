#include "failure_reason.h"

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
    default:
        return "result " + std::to_string(result);
    }
}

std::string failureReason(const std::string &output, int result) {
    for (const std::string &line : lines(output)) {
        if (isCause(line)) {
            return line;
        }
    }
    return resultMeaning(result);
}

} // namespace gang
