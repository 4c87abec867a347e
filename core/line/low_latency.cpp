#include "low_latency.h"

#include "KelvoPG_core.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace kelvo_serial {
namespace {

constexpr int kDetailLevel = 2; // one step above the default level

// The adapter's latency timer in sysfs, for the terminal that path names.
std::string latencyTimerFile(const std::string &path) {
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) {
        return "";
    }
    const char *name = std::strrchr(real, '/');
    return std::string("/sys/class/tty/") + (name ? name + 1 : real) + "/device/latency_timer";
}

int readLatencyTimer(const std::string &file) {
    FILE *f = file.empty() ? nullptr : std::fopen(file.c_str(), "re");
    if (f == nullptr) {
        return -1; // not an adapter with a latency timer
    }
    int ms = -1;
    bool read = std::fscanf(f, "%d", &ms) == 1;
    std::fclose(f);
    return read && ms >= 0 ? ms : -1;
}

void hintAboutLatencyTimer(const std::string &path) {
    std::string file = latencyTimerFile(path);
    int ms = readLatencyTimer(file);
    if (ms > 1) {
        infohelper_output(kDetailLevel,
                          "%s reads %d ms: each reply may wait that long in the adapter "
                          "(write 1 to it to shorten the wait)",
                          file.c_str(), ms);
    }
}

} // namespace

LowLatencyState requestLowLatency(int fd, const std::string &path) {
    LowLatencyState state;
    struct serial_struct info;
    std::memset(&info, 0, sizeof info);
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) {
        infohelper_output(kDetailLevel, "%s: no low-latency mode: %s", path.c_str(),
                          std::strerror(errno));
        return state;
    }
    state.previousFlags = info.flags;
    if ((info.flags & ASYNC_LOW_LATENCY) == 0) {
        info.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &info) != 0) {
            infohelper_output(kDetailLevel, "%s: low-latency mode refused: %s", path.c_str(),
                              std::strerror(errno));
            return state;
        }
        state.changed = true;
    }
    hintAboutLatencyTimer(path);
    return state;
}

int adapterLatencyTimerMs(const std::string &path) {
    return readLatencyTimer(latencyTimerFile(path));
}

void restoreLowLatency(int fd, const LowLatencyState &state) {
    if (!state.changed) {
        return;
    }
    struct serial_struct info;
    std::memset(&info, 0, sizeof info);
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return; // unplugged meanwhile: nothing left to restore
    }
    info.flags = state.previousFlags;
    if (::ioctl(fd, TIOCSSERIAL, &info) != 0) {
        infohelper_output(kDetailLevel, "cannot restore the serial flags: %s",
                          std::strerror(errno));
    }
}

} // namespace kelvo_serial
