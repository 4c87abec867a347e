#include "common/port_claim.h"

#include "KelvoPG_core.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace gang {
namespace {

enum class Claim { Taken, Busy, NotSerial, Unavailable };

std::string processName(const std::string &procRoot, const std::string &pid) {
    char name[256];
    kelvo_process_name((procRoot + "/" + pid).c_str(), name, sizeof name);
    return name;
}

// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": the pid of the holder
// and the file's device (hexadecimal major:minor) and inode. Waiters
// ("1: -> FLOCK ...") hold nothing.
bool parseLockLine(const std::string &line, std::string *pid, std::string *file) {
    std::istringstream words(line);
    std::string id, kind, mode, access;
    words >> id >> kind;
    if (kind == "->" || kind != "FLOCK") {
        return false;
    }
    return static_cast<bool>(words >> mode >> access >> *pid >> *file);
}

Claim claimOne(const std::string &port, int *fd) {
    *fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) {
        return errno == EBUSY ? Claim::Busy : Claim::Unavailable; // EBUSY: exclusive mode
    }
    if (!::isatty(*fd)) {
        // /dev/null and the like: no board can ever answer there.
        ::close(*fd);
        *fd = -1;
        return Claim::NotSerial;
    }
    if (::flock(*fd, LOCK_EX | LOCK_NB) != 0) {
        bool busy = errno == EWOULDBLOCK;
        ::close(*fd);
        *fd = -1;
        return busy ? Claim::Busy : Claim::Unavailable;
    }
    // Refuses later opens by programs that do not lock (root aside) until
    // the worker takes over.
    ::ioctl(*fd, TIOCEXCL);
    return Claim::Taken;
}

std::string busyLine(const std::string &port) {
    std::string holders = lockHolders(port, "/proc/locks", "/proc");
    return port + ": busy, " +
           (holders.empty() ? std::string("held by another program") : "locked by " + holders);
}

} // namespace

std::string lockHolders(const std::string &device, const std::string &locksFile,
                        const std::string &procRoot) {
    struct stat st;
    if (::stat(device.c_str(), &st) != 0) {
        return "";
    }
    char want[64];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream in(locksFile);
    std::string line, holders;
    while (std::getline(in, line)) {
        std::string pid, file;
        if (parseLockLine(line, &pid, &file) && file == want) {
            holders += (holders.empty() ? "" : ", ") + std::string("process ") + pid + " (" +
                       processName(procRoot, pid) + ")";
        }
    }
    return holders;
}

bool claimPorts(const std::vector<std::string> &ports, std::vector<int> *fds, std::string *error) {
    fds->assign(ports.size(), -1);
    error->clear();
    for (size_t i = 0; i < ports.size(); ++i) {
        Claim claim = claimOne(ports[i], &(*fds)[i]);
        if (claim == Claim::Busy || claim == Claim::NotSerial) {
            *error +=
                (error->empty() ? "" : "\n") +
                (claim == Claim::Busy ? busyLine(ports[i]) : ports[i] + ": not a serial port");
        }
    }
    if (error->empty()) {
        return true;
    }
    for (int &fd : *fds) {
        releasePort(fd);
        fd = -1;
    }
    return false;
}

void releasePort(int fd) {
    if (fd >= 0) {
        // A pseudo-terminal keeps its exclusive mode past the last close
        // while the other side is open.
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
        ::close(fd);
    }
}

void handOverPort(int own, const std::vector<int> &others) {
    for (int fd : others) {
        if (fd >= 0 && fd != own) {
            ::close(fd); // the lock stays with the parent's copy
        }
    }
    if (own >= 0) {
        // Kept open, unlocked, until the worker ends: a last close between
        // this open and the download's would drop the modem lines, a reset
        // on many boards.
        ::ioctl(own, TIOCNXCL);
        ::flock(own, LOCK_UN);
    }
}

} // namespace gang
