// The host's XModem receiver on arbitrary bytes from the line (the
// scripted line, whose silences take no time). Two leading bytes give the
// destination's size.
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
    int32_t destsz = (data[0] << 8 | data[1]) % 8192;
    fuzz::scripted_line::feed(data + 2, size - 2);
    std::unique_ptr<uint8_t[]> dest(new uint8_t[destsz > 0 ? destsz : 1]);
    int32_t got = xmodemReceive(dest.get(), destsz);
    if (got > destsz) {
        fuzz::fail("more bytes reported than the destination holds");
    }
    return 0;
}
