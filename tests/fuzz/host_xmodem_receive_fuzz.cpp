// The host's XModem receiver on arbitrary bytes from the line (a
// pseudo-terminal pair). Two leading bytes give the destination's size.
#include "KelvoPG_core.h"
#include "fuzz_support.h"

#include <memory>
#include <vector>

namespace {

// Zeros after the input end every state of the receiver without a silence:
// they fill a block being read, never start one, and stop the flushing.
constexpr size_t kTail = 1100;

fuzz::FakeLine *line;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    infohelper_set_infolevel(0);
    line = new fuzz::FakeLine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    int32_t destsz = (data[0] << 8 | data[1]) % 8192;
    std::vector<uint8_t> bytes(data + 2, data + size);
    bytes.resize(bytes.size() + kTail, 0);
    line->load(bytes);
    std::unique_ptr<uint8_t[]> dest(new uint8_t[destsz > 0 ? destsz : 1]);
    int32_t got = xmodemReceive(dest.get(), destsz);
    if (got > destsz) {
        fuzz::fail("more bytes reported than the destination holds");
    }
    return 0;
}
