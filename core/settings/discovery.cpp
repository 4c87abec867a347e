// Listing of the serial devices that could be the programming adapter:
// USB-to-UART bridges (ttyUSB*) and USB communication-class devices (ttyACM*).
#include "KelvoPG_core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace {

// Working size of a device path, terminator included.
constexpr size_t kDevicePathSize = 128;

bool isDotEntry(const char *name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

void reportCandidate(const char *name) {
    char path[kDevicePathSize];
    int n = std::snprintf(path, sizeof path, "/dev/%s", name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        return; // no device name is this long; skip rather than cut it
    }
    // A name holding both words is reported once for each, as listed.
    if (std::strstr(name, "ttyUSB")) {
        std::printf("Available device port: %s\n", path);
    }
    if (std::strstr(name, "ttyACM")) {
        std::printf("Available device port: %s\n", path);
    }
}

} // namespace

extern "C" int getComListIn(const char *sysfs_dir) {
    struct dirent **entries = nullptr;
    int count = ::scandir(sysfs_dir, &entries, nullptr, nullptr);
    if (count < 0) {
        std::fflush(stdout);
        std::perror("scandir");
        return KELVO_FILE_ERROR;
    }
    std::puts("Path scanned...");
    for (int i = count - 1; i >= 0; --i) {
        if (!isDotEntry(entries[i]->d_name)) {
            reportCandidate(entries[i]->d_name);
        }
        std::free(entries[i]);
    }
    std::free(entries);
    std::fflush(stdout);
    return KELVO_SUCCESS;
}

extern "C" int getComList(void) {
    return getComListIn("/sys/class/tty/");
}
