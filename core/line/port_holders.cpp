// Other processes that have a serial device open: found through /proc, by
// the device number behind each of their descriptors. A monitor or a modem
// manager holding the port without a lock eats the chip's replies, and the
// failure then looks like a dead board.
#include "KelvoPG_core.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kProc = "/proc";

bool isNumber(const char *s) {
    if (*s == '\0') {
        return false;
    }
    for (; *s != '\0'; ++s) {
        if (!std::isdigit(static_cast<unsigned char>(*s))) {
            return false;
        }
    }
    return true;
}

// The index of a pseudo-terminal's slave ("/dev/pts/N"), or -1.
long ptsIndex(const char *device) {
    char real[PATH_MAX];
    if (::realpath(device, real) == nullptr) {
        return -1;
    }
    const char prefix[] = "/dev/pts/";
    if (std::strncmp(real, prefix, sizeof prefix - 1) != 0 || !isNumber(real + sizeof prefix - 1)) {
        return -1;
    }
    return std::strtol(real + sizeof prefix - 1, nullptr, 10);
}

std::string readSmallFile(const std::string &path) {
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "re")) {
        char buf[512];
        size_t n = std::fread(buf, 1, sizeof buf, f);
        text.assign(buf, n);
        std::fclose(f);
    }
    return text;
}

std::string baseName(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program as its user started it: the kernel's own name (comm) is cut
// to 15 characters, "kelvo_pgtool_ga". Its command line's first word, else
// the executable; comm only for kernel threads and processes gone meanwhile.
std::string programName(const std::string &pidDir) {
    std::string cmdline = readSmallFile(pidDir + "/cmdline");
    std::string name = baseName(cmdline.substr(0, cmdline.find('\0')));
    if (name.empty()) {
        char exe[PATH_MAX];
        ssize_t n = ::readlink((pidDir + "/exe").c_str(), exe, sizeof exe - 1);
        name = n > 0 ? baseName(std::string(exe, static_cast<size_t>(n))) : "";
    }
    if (name.empty()) {
        name = readSmallFile(pidDir + "/comm");
        while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) {
            name.pop_back();
        }
    }
    return name.empty() ? "?" : name;
}

// True when the descriptor is the master side of pseudo-terminal index.
bool isPtyMaster(const std::string &pidDir, const char *fd, long index) {
    std::string info = readSmallFile(pidDir + "/fdinfo/" + fd);
    std::string line = "tty-index:\t" + std::to_string(index) + "\n";
    return index >= 0 && info.find(line) != std::string::npos;
}

struct Target {
    dev_t rdev;
    long ptsIndex; // -1 for a device that is no pseudo-terminal
};

// True when the process holds the device and is not the other side of its
// pseudo-terminal (that one always has the device open, by design).
bool holdsDevice(const std::string &pidDir, const Target &target) {
    DIR *fds = ::opendir((pidDir + "/fd").c_str());
    if (fds == nullptr) {
        return false; // gone, or not ours to look at
    }
    bool holds = false, master = false;
    while (struct dirent *entry = ::readdir(fds)) {
        if (!isNumber(entry->d_name)) {
            continue;
        }
        struct stat st;
        std::string link = pidDir + "/fd/" + entry->d_name;
        if (::stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            continue;
        }
        if (st.st_rdev == target.rdev) {
            holds = true;
        } else if (target.ptsIndex >= 0 && isPtyMaster(pidDir, entry->d_name, target.ptsIndex)) {
            master = true;
        }
    }
    ::closedir(fds);
    return holds && !master;
}

// Appends text to buf, cut short when it does not fit.
void append(char *buf, size_t size, size_t *used, const std::string &text) {
    if (*used + 1 >= size) {
        return;
    }
    size_t n = std::min(text.size(), size - 1 - *used);
    std::memcpy(buf + *used, text.data(), n);
    *used += n;
    buf[*used] = '\0';
}

} // namespace

extern "C" size_t kelvo_process_name(const char *pid_dir, char *buf, size_t size) {
    std::string name = programName(pid_dir);
    if (buf == nullptr || size == 0) {
        return name.size();
    }
    size_t n = std::min(name.size(), size - 1);
    std::memcpy(buf, name.data(), n);
    buf[n] = '\0';
    return name.size();
}

extern "C" int kelvo_describe_port_holders(const char *device, char *buf, size_t size) {
    if (buf != nullptr && size > 0) {
        buf[0] = '\0';
    }
    struct stat st;
    if (device == nullptr || ::stat(device, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return 0;
    }
    Target target{st.st_rdev, ptsIndex(device)};
    DIR *proc = ::opendir(kProc);
    if (proc == nullptr) {
        return 0;
    }
    std::string self = std::to_string(::getpid());
    int found = 0;
    size_t used = 0;
    while (struct dirent *entry = ::readdir(proc)) {
        if (!isNumber(entry->d_name) || self == entry->d_name) {
            continue;
        }
        std::string pidDir = std::string(kProc) + "/" + entry->d_name;
        if (!holdsDevice(pidDir, target)) {
            continue;
        }
        ++found;
        if (buf != nullptr && size > 0) {
            append(buf, size, &used,
                   std::string(device) + " is also open in process " + entry->d_name + " (" +
                       programName(pidDir) + ")\n");
        }
    }
    ::closedir(proc);
    return found;
}
