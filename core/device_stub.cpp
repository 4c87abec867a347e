// Placeholder for the device operations until the boot-loader session lands.
#include "KelvoPG_core.h"

#include <cstdio>

static int32_t notAvailable() {
    std::puts("This operation is not available yet.");
    return KELVO_TRANSFER_FAILED;
}

extern "C" int32_t eraseChip(void) {
    return notAvailable();
}
extern "C" int32_t eraseChipSector(const char *, const char *) {
    return notAvailable();
}
extern "C" int32_t xmodem_download_image(void) {
    return notAvailable();
}
