// The host's handling of the chip's replies: a download, a chip erase or a
// sector erase against a scripted line (scripted_line.h) that answers each
// command and each block with bytes from the input, under a virtual clock.
// Three leading bytes choose the operation and the record:
//   byte 0  bits 0-1 operation (0, 1 download; 2 chip erase; 3 sector
//           erase), bit 2 chip erase, bit 3 hash verify, bit 4 keep system
//           data, bit 5 keep Wi-Fi data, bit 6 flash pin, bit 7 baud rate
//   byte 1  image size, 1 + b * b / 4 bytes; its bit 0 also chooses quick
//           replies (replies framed by silence)
//   byte 2  bits 0-2 flash offset; bits 3-7 the host write (from 1)
//           that comes with a stop request (0: none)
// The rest is the script of the chip's replies.
#include "KelvoPG_core.h"
#include "fuzz_support.h"
#include "scripted_line.h"

#include <cstdio>
#include <vector>

namespace {

constexpr size_t kOptionBytes = 3;
const char *const kOffsets[] = {"0x0",    "0x400",  "0x1000",     "0x2000",
                                "0x3000", "0x0100", "0x7FFFF000", "0x10000"};
const char *const kImage = "image.bin";

struct Choice {
    int operation;
    DeviceSetting record;
    size_t imageSize;
    uint32_t cancelAtWrite;
    int quickReplies;
};

Choice choose(const uint8_t *data) {
    Choice c;
    c.operation = data[0] & 3;
    default_device_setting(&c.record);
    std::snprintf(c.record.device, sizeof c.record.device, "%s", "/dev/kelvo-fuzz-line");
    std::snprintf(c.record.image, sizeof c.record.image, "%s", kImage);
    std::snprintf(c.record.flash_offset, sizeof c.record.flash_offset, "%s", kOffsets[data[2] & 7]);
    c.record.chip_erase = data[0] >> 2 & 1;
    c.record.hash_verify = data[0] >> 3 & 1;
    c.record.keep_sys_data = data[0] >> 4 & 1;
    c.record.keep_wifi_data = data[0] >> 5 & 1;
    c.record.flash_pin = data[0] >> 6 & 1;
    c.record.baudrate = data[0] & 0x80 ? 1000000 : 115200;
    c.imageSize = 1 + static_cast<size_t>(data[1]) * data[1] / 4;
    c.quickReplies = data[1] & 1;
    c.cancelAtWrite = data[2] >> 3;
    return c;
}

// The same bytes for a size every time, so that a digest in the script
// can match.
void writeImage(size_t size) {
    static size_t written = 0;
    if (size == written) {
        return;
    }
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    fuzz::writeFile(kImage, bytes.data(), size);
    written = size;
}

int32_t run(const Choice &c) {
    switch (c.operation) {
    case 2:
        return eraseChip();
    case 3:
        return eraseChipSector(c.record.flash_offset, "4096");
    default:
        return xmodem_download_image();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::enterScratchDirectory();
    fuzz::silenceStdout();
    infohelper_set_infolevel(0);
    fuzz::scripted_line::install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kOptionBytes) {
        return 0;
    }
    Choice c = choose(data);
    if (save_device_setting(&c.record) != KELVO_SUCCESS) {
        fuzz::fail("cannot write record.dat");
    }
    writeImage(c.imageSize);
    kelvo_set_quick_replies(c.quickReplies);
    fuzz::scripted_line::start(data + kOptionBytes, size - kOptionBytes, c.cancelAtWrite);
    int32_t result = run(c);
    bool stopAsked = c.cancelAtWrite != 0 && fuzz::scripted_line::writes() >= c.cancelAtWrite;
    kelvo_clear_cancel();
    if (result < KELVO_SUCCESS || result > KELVO_SETTINGS_CONFLICT) {
        fuzz::fail("a result outside the defined codes");
    }
    if (fuzz::scripted_line::isOpen()) {
        fuzz::fail("the port left open");
    }
    if (result == KELVO_INTERRUPTED && !stopAsked) {
        fuzz::fail("interrupted without a stop request");
    }
    if (stopAsked && result != KELVO_INTERRUPTED && result != KELVO_SUCCESS) {
        fuzz::fail("a stopped operation reported as an ordinary failure");
    }
    return 0;
}
