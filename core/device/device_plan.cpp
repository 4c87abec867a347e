// Pure parts of device programming: user-typed offsets and lengths, the
// boot loader's command texts and the region plan of a download.
#include "device_internal.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace kelvo {
namespace {

// Bottom regions of the flash, 4 KiB each: partition table, system data,
// Wi-Fi data; the rest of the image follows at 0x3000 (kRestStartText).
constexpr uint32_t kRegionSize = 0x1000;
constexpr int kSystemDataRegion = 1;
constexpr int kWifiDataRegion = 2;
constexpr int kRegionCount = 3;

struct RegionInfo {
    const char *startText; // offset text of a write that begins at the region's start
    const char *announce;
    const char *failure;
};

const RegionInfo kRegions[kRegionCount] = {
    {nullptr /* only ever entered at the user's offset */, "Downloading partition.bin...\r",
     "download partition.bin failed."},
    {"0x00001000", "Downloading system data...\r", "download system.bin failed."},
    {"0x00002000", "Downloading wifi data...\r", "download wifi data failed."},
};
const char *const kRestStartText = "0x00003000";
const char *const kRestFailure = "download failed.";

bool hasHexPrefix(const char *text) {
    return text[0] == '0' && text[1] == 'x';
}

bool allMatch(const char *text, int (*pred)(int)) {
    if (*text == '\0') {
        return false;
    }
    for (const char *p = text; *p; ++p) {
        if (!pred(static_cast<unsigned char>(*p))) {
            return false;
        }
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

bool regionIsKept(int region, int keepSysData, int keepWifiData) {
    return (region == kSystemDataRegion && keepSysData != 0) ||
           (region == kWifiDataRegion && keepWifiData != 0);
}

uint64_t roundUpToBlock(size_t length) {
    const uint64_t block = 1024; // XModem data bytes per block
    return (uint64_t{length} + block - 1) / block * block;
}

} // namespace

OffsetCheck parseFlashOffset(const char *text, uint32_t *value) {
    if (text == nullptr || strnlen(text, kMaxNumberText + 1) > kMaxNumberText ||
        !hasHexPrefix(text) || !allMatch(text + 2, isxdigit)) {
        return OffsetCheck::BadFormat;
    }
    uint64_t v = 0;
    for (const char *p = text + 2; *p; ++p) {
        v = v * 16 + static_cast<uint64_t>(hexValue(*p));
        if (v > kMaxFlashOffset) {
            return OffsetCheck::OutOfRange; // stop before the sum can wrap
        }
    }
    *value = static_cast<uint32_t>(v);
    return OffsetCheck::Valid;
}

bool isLengthText(const char *text) {
    if (text == nullptr || strnlen(text, kMaxNumberText + 1) > kMaxNumberText) {
        return false;
    }
    if (hasHexPrefix(text)) {
        return allMatch(text + 2, isxdigit);
    }
    return allMatch(text, isdigit);
}

int pinFromWordReply(const char *reply, size_t replyLen, int fallback) {
    const size_t pinIndex = 21;
    if (replyLen <= pinIndex) {
        return fallback;
    }
    char c = reply[pinIndex];
    bool upperHex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (!upperHex) {
        return fallback;
    }
    return (hexValue(c) >> 1) & 1;
}

std::string ucfgCommand(int32_t baud) {
    return "ucfg " + std::to_string(baud) + " 0 0\n";
}

std::string cerasCommand(int pin) {
    return "ceras 0 " + std::to_string(pin) + "\n";
}

std::string serasCommand(const char *offsetText, const char *lengthText, int pin) {
    return std::string("seras ") + (offsetText + 2) + " " + lengthText + " 0 " +
           std::to_string(pin) + "\n";
}

std::string fwdCommand(int pin, const char *offsetText) {
    return "fwd 0 " + std::to_string(pin) + " " + (offsetText + 2) + "\n";
}

std::string hashqCommand(int64_t size, int pin) {
    return "hashq " + std::to_string(size) + " 0 " + std::to_string(pin) + "\n";
}

std::vector<RegionWrite> planImageWrites(size_t imageSize, uint32_t offset, const char *offsetText,
                                         int keepSysData, int keepWifiData) {
    std::vector<RegionWrite> plan;
    if (keepSysData != 1 && keepWifiData != 1) {
        plan.push_back({offsetText, offset, 0, imageSize, nullptr, kRestFailure});
        return plan;
    }
    size_t remaining = imageSize;
    std::string text = offsetText;
    uint32_t address = offset;
    // The first region touched is the one holding the offset; it may be
    // entered part way, later ones always at their start.
    uint32_t roomInFirst = kRegionSize - offset % kRegionSize;
    for (int region = static_cast<int>(offset / kRegionSize); region < kRegionCount; ++region) {
        size_t room = region == static_cast<int>(offset / kRegionSize) ? roomInFirst : kRegionSize;
        size_t length = std::min<size_t>(room, remaining);
        if (length > 0 && !regionIsKept(region, keepSysData, keepWifiData)) {
            plan.push_back({text, address, imageSize - remaining, length, kRegions[region].announce,
                            kRegions[region].failure});
        }
        remaining -= length;
        text = region + 1 < kRegionCount ? kRegions[region + 1].startText : kRestStartText;
        address = static_cast<uint32_t>(region + 1) * kRegionSize;
    }
    if (remaining > 0) {
        plan.push_back({text, address, imageSize - remaining, remaining, nullptr, kRestFailure});
    }
    return plan;
}

bool paddingHitsKeptRegion(const std::vector<RegionWrite> &plan, int keepSysData,
                           int keepWifiData) {
    if (keepSysData != 1 && keepWifiData != 1) {
        return false; // a plain write keeps nothing
    }
    for (const auto &write : plan) {
        uint64_t dataEnd = uint64_t{write.address} + write.length;
        uint64_t paddedEnd = uint64_t{write.address} + roundUpToBlock(write.length);
        for (int region = kSystemDataRegion; region < kRegionCount; ++region) {
            uint64_t begin = uint64_t{kRegionSize} * static_cast<uint64_t>(region);
            uint64_t end = begin + kRegionSize;
            bool kept = regionIsKept(region, keepSysData, keepWifiData);
            if (kept && std::max(dataEnd, begin) < std::min(paddedEnd, end)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace kelvo
