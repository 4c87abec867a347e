#include "cfx_spool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace factory {
namespace {

const char *const kSuffix = ".json";
const char *const kTempPrefix = "tmp-";
const char *const kRejectedDir = "rejected";
const char *const kNumbersFile = "numbers";
const char *const kReasonSuffix = ".reason";
// Numbers reserved at a time: one write of the numbers file per block.
constexpr uint64_t kNumberBlock = 1000;
// A message is a few kilobytes: a far larger file in the spool is no
// message of ours, and is read only far enough to be set aside.
constexpr size_t kMaxMessageBytes = 1 << 20;
constexpr int kMaxAsideNames = 10000;
// The spool is the station's own: nobody else reads its messages.
constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirMode = 0700;
constexpr int kNewFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

std::string sysError(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// "00000000000000000042.json" -> 42; false for any other name.
bool numberOf(const char *name, uint64_t *number) {
    size_t len = std::strlen(name);
    size_t suffix = std::strlen(kSuffix);
    if (len != 20 + suffix || std::strcmp(name + 20, kSuffix) != 0) {
        return false;
    }
    for (size_t i = 0; i < 20; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    *number = std::strtoull(name, nullptr, 10);
    return true;
}

std::string nameOf(uint64_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(number), kSuffix);
    return name;
}

// Creates name (in the directory at) when missing and opens it as a
// directory; a symbolic link is followed only where follow says so (the
// spool's own path, which its user may have made a link).
int openDirectory(int at, const std::string &name, bool follow, const std::string &shown,
                  std::string *error) {
    if (::mkdirat(at, name.c_str(), kDirMode) != 0 && errno != EEXIST) {
        *error = sysError("cannot create the CFX spool " + shown);
        return -1;
    }
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
    int fd = ::openat(at, name.c_str(), flags);
    if (fd < 0) {
        *error = sysError("cannot create the CFX spool " + shown);
    }
    return fd;
}

// Writes text to a new file temp in dirFd, synced, then renames it to
// final and syncs the directory: final is whole or absent. false with
// errno set when any step failed; temp is gone then.
bool writeInPlace(int dirFd, const std::string &temp, const std::string &final,
                  const std::string &text) {
    ::unlinkat(dirFd, temp.c_str(), 0); // a leftover of a failed attempt
    int fd = ::openat(dirFd, temp.c_str(), kNewFileFlags, kFileMode);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    if (ok && ::renameat(dirFd, temp.c_str(), dirFd, final.c_str()) == 0 && ::fsync(dirFd) == 0) {
        return true;
    }
    if (ok) {
        saved = errno;
    }
    ::unlinkat(dirFd, temp.c_str(), 0);
    errno = saved;
    return false;
}

// At most limit bytes of the regular file name in dirFd; false when it
// cannot be opened (no symbolic link is followed, no FIFO waited on).
bool readSmallFile(int dirFd, const std::string &name, size_t limit, std::string *text) {
    int fd =
        ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    text->clear();
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[4096];
        ssize_t n;
        while (text->size() <= limit && (n = ::read(fd, buf, sizeof buf)) != 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                break;
            }
            text->append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return true;
}

} // namespace

Spool::~Spool() {
    for (int fd : {rejectedFd_, dirFd_, lockFd_}) { // the lock goes with its descriptor
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool Spool::open(const std::string &dir, std::string *error) {
    dir_ = dir;
    if (!openDirectories(dir, error)) {
        return false;
    }
    std::string lockPath = dir + "/.lock";
    lockFd_ =
        ::openat(dirFd_, ".lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, kFileMode);
    if (lockFd_ < 0) {
        *error = sysError("cannot open " + lockPath);
        return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? "the CFX spool " + dir + " is in use by another station"
                                      : sysError("cannot lock " + lockPath);
        return false;
    }
    return readReserved(error) && scan(error);
}

bool Spool::openDirectories(const std::string &dir, std::string *error) {
    dirFd_ = openDirectory(AT_FDCWD, dir, true, dir, error);
    if (dirFd_ < 0) {
        return false;
    }
    rejectedFd_ = openDirectory(dirFd_, kRejectedDir, false, dir + "/" + kRejectedDir, error);
    return rejectedFd_ >= 0;
}

bool Spool::readReserved(std::string *error) {
    std::string text;
    if (!readSmallFile(dirFd_, kNumbersFile, 64, &text)) {
        if (errno == ENOENT) {
            return true; // a new spool
        }
        *error = sysError("cannot read " + dir_ + "/" + kNumbersFile);
        return false;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || errno != 0 ||
        std::strcmp(end, "\n") != 0) {
        // Starting again from what is there could give a number twice.
        *error = dir_ + "/" + kNumbersFile +
                 " does not hold the spool's last message number; write there a number above "
                 "every number the spool has given";
        return false;
    }
    reserved_ = value;
    last_ = value;
    return true;
}

bool Spool::scan(std::string *error) {
    int fd = ::dup(dirFd_);
    DIR *d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        *error = sysError("cannot read the CFX spool " + dir_);
        return false;
    }
    while (dirent *entry = ::readdir(d)) {
        uint64_t number;
        if (numberOf(entry->d_name, &number)) {
            numbers_.insert(number);
            last_ = std::max(last_, number);
        } else if (std::strncmp(entry->d_name, kTempPrefix, std::strlen(kTempPrefix)) == 0) {
            // Never renamed into place, so never reported as spooled.
            ::unlinkat(dirFd_, entry->d_name, 0);
        }
    }
    ::closedir(d);
    return true;
}

bool Spool::reserveNumbers(std::string *error) {
    uint64_t end = last_ + kNumberBlock;
    std::string text = std::to_string(end) + "\n";
    if (!writeInPlace(dirFd_, std::string(kTempPrefix) + kNumbersFile, kNumbersFile, text)) {
        *error = sysError("cannot write " + dir_ + "/" + kNumbersFile);
        return false;
    }
    reserved_ = end;
    return true;
}

bool Spool::append(const std::string &text, std::string *error, uint64_t *numberOut) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t number = last_ + 1;
    if (number > reserved_ && !reserveNumbers(error)) {
        return false;
    }
    std::string name = nameOf(number);
    if (!writeInPlace(dirFd_, kTempPrefix + name, name, text)) {
        *error = sysError("cannot spool a CFX message in " + dir_);
        return false;
    }
    last_ = number;
    numbers_.insert(number);
    if (numberOut != nullptr) {
        *numberOut = number;
    }
    return true;
}

bool Spool::next(uint64_t after, uint64_t *number, std::string *text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = numbers_.upper_bound(after); it != numbers_.end();) {
        if (!readSmallFile(dirFd_, nameOf(*it), kMaxMessageBytes, text)) {
            it = numbers_.erase(it); // removed behind our back: nothing to send
            continue;
        }
        *number = *it;
        return true;
    }
    return false;
}

void Spool::remove(uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    ::unlinkat(dirFd_, nameOf(number).c_str(), 0);
    numbers_.erase(number);
}

std::string Spool::setAside(uint64_t number, const std::string &why) {
    std::lock_guard<std::mutex> lock(mutex_);
    numbers_.erase(number);
    std::string name = nameOf(number);
    std::string aside = asideName(number, why);
    if (aside.empty()) {
        return dir_ + "/" + name; // stays where it is, but is not sent again in this run
    }
    ::unlinkat(dirFd_, name.c_str(), 0);
    ::fsync(rejectedFd_);
    ::fsync(dirFd_);
    return dir_ + "/" + kRejectedDir + "/" + aside;
}

// Links the message into rejected/ under the first name that neither it
// nor its reason file has had before (NUMBER.json, NUMBER-2.json ...), and
// writes the reason; the name, or empty when that failed.
std::string Spool::asideName(uint64_t number, const std::string &why) {
    std::string name = nameOf(number);
    std::string stem = name.substr(0, name.size() - std::strlen(kSuffix));
    for (int n = 1; n <= kMaxAsideNames; ++n) {
        std::string to = n == 1 ? name : stem + "-" + std::to_string(n) + kSuffix;
        // A link is never made over an existing name: nothing is replaced.
        if (::linkat(dirFd_, name.c_str(), rejectedFd_, to.c_str(), 0) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return "";
        }
        int fd = ::openat(rejectedFd_, (to + kReasonSuffix).c_str(), kNewFileFlags, kFileMode);
        if (fd < 0) {
            int saved = errno;
            ::unlinkat(rejectedFd_, to.c_str(), 0);
            if (saved == EEXIST) {
                continue; // a reason without its message: the name was used
            }
            return "";
        }
        writeAll(fd, why + "\n");
        ::close(fd);
        return to;
    }
    return "";
}

size_t Spool::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return numbers_.size();
}

} // namespace factory
