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

// The core's explanation that may follow a refused or cancelled write:
// where it happened and what to do, worth the column's room.
const char *const kDetail = "error: the chip ";

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

constexpr char kEsc = 0x1B;
constexpr char kBel = 0x07;

bool printableAscii(char c) {
    return c >= 0x20 && c < 0x7F;
}

// The index just past the escape sequence that starts at text[at] (an ESC).
size_t skipEscape(const std::string &text, size_t at) {
    size_t i = at + 1;
    if (i >= text.size()) {
        return i;
    }
    char kind = text[i++];
    if (kind == '[') { // CSI: parameters and intermediates, then one final byte
        while (i < text.size() && text[i] >= 0x20 && text[i] < 0x40) {
            ++i;
        }
        return i < text.size() && text[i] >= 0x40 && text[i] < 0x7F ? i + 1 : i;
    }
    if (kind == ']' || kind == 'P' || kind == '_' || kind == '^' || kind == 'X') {
        // A string (title, device control...): up to BEL or ESC backslash.
        while (i < text.size() && text[i] != kBel && text[i] != kEsc) {
            ++i;
        }
        if (i < text.size() && text[i] == kEsc && i + 1 < text.size() && text[i + 1] == '\\') {
            return i + 2;
        }
        return i < text.size() && text[i] == kBel ? i + 1 : i;
    }
    while (i < text.size() && text[i] >= 0x20 && text[i] < 0x30) {
        ++i; // intermediates of a two-character sequence such as ESC ( B
    }
    return i < text.size() && printableAscii(text[i]) ? i + 1 : i;
}

} // namespace

std::string printableText(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == kEsc) {
            i = skipEscape(text, i);
            continue;
        }
        if (printableAscii(c)) {
            out += c;
        } else if (c == '\t') {
            out += ' ';
        }
        ++i;
    }
    return out;
}

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
    bool causeJustFound = false;
    for (const std::string &line : lines(output)) {
        if (causeJustFound && line.compare(0, std::strlen(kDetail), kDetail) == 0) {
            cause += " (" + line.substr(std::strlen("error: ")) + ")";
        }
        causeJustFound = cause.empty() && isCause(line);
        if (causeJustFound) {
            cause = line;
        }
        // Another program on the port is the likelier culprit than the
        // board: it goes with the cause.
        size_t named = line.find(kHolderLine);
        if (line.compare(0, std::strlen(kWarning), kWarning) == 0 && named != std::string::npos) {
            holders += "; " + line.substr(std::strlen(kWarning));
        }
    }
    // Device echoes and other programs' names are in the output: only
    // plain text goes on to the screen, the log and the factory.
    return printableText((cause.empty() ? resultMeaning(result) : cause) + holders);
}

} // namespace gang
