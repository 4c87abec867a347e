// The SLIP receive path on arbitrary bytes from the line (the scripted
// line, whose silences take no time). Two leading bytes give the frame
// length asked for.
#include "KelvoPG_core.h"
#include "fuzz_support.h"
#include "scripted_line.h"

#include <memory>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    infohelper_set_infolevel(0);
    fuzz::scripted_line::installAndOpen();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    bool withDelimiters = data[0] & 0x80;
    int32_t n = (data[0] << 8 | data[1]) % 4096;
    fuzz::scripted_line::feed(data + 2, size - 2);
    std::unique_ptr<uint8_t[]> frame(new uint8_t[n > 0 ? n : 1]);
    if (withDelimiters) {
        serialport_receive_C0();
    }
    int32_t got = serialport_receive_slip(frame.get(), n);
    if (got != 0 && got != n) {
        fuzz::fail("a partial frame reported");
    }
    return 0;
}
