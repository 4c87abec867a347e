#include "cfx_spool.h"

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
// A message is a few kilobytes: a far larger file in the spool is no
// message of ours, and is read only far enough to be set aside.
constexpr size_t kMaxMessageBytes = 1 << 20;

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

bool makeDir(const std::string &dir, std::string *error) {
    if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) {
        struct stat st;
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return true;
        }
        errno = ENOTDIR;
    }
    *error = sysError("cannot create the CFX spool " + dir);
    return false;
}

} // namespace

Spool::~Spool() {
    if (dirFd_ >= 0) {
        ::close(dirFd_);
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_); // releases the lock
    }
}

bool Spool::open(const std::string &dir, std::string *error) {
    dir_ = dir;
    if (!makeDir(dir, error) || !makeDir(dir + "/" + kRejectedDir, error)) {
        return false;
    }
    std::string lockPath = dir + "/.lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) {
        *error = sysError("cannot open " + lockPath);
        return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? "the CFX spool " + dir + " is in use by another station"
                                      : sysError("cannot lock " + lockPath);
        return false;
    }
    dirFd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) {
        *error = sysError("cannot open the CFX spool " + dir);
        return false;
    }
    return scan(error);
}

bool Spool::scan(std::string *error) {
    DIR *d = ::opendir(dir_.c_str());
    if (d == nullptr) {
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

std::string Spool::pathOf(uint64_t number) const {
    char name[32];
    std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(number), kSuffix);
    return dir_ + "/" + name;
}

bool Spool::append(const std::string &text, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t number = last_ + 1;
    std::string final = pathOf(number);
    std::string temp = dir_ + "/" + kTempPrefix + final.substr(final.rfind('/') + 1);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = sysError("cannot spool a CFX message in " + dir_);
        return false;
    }
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    // The rename makes it whole or absent; the directory sync makes it last.
    if (ok && ::rename(temp.c_str(), final.c_str()) == 0 && ::fsync(dirFd_) == 0) {
        last_ = number;
        numbers_.insert(number);
        return true;
    }
    if (ok) {
        saved = errno;
    }
    ::unlink(temp.c_str());
    errno = saved;
    *error = sysError("cannot spool a CFX message in " + dir_);
    return false;
}

bool Spool::next(uint64_t after, uint64_t *number, std::string *text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = numbers_.upper_bound(after); it != numbers_.end();) {
        FILE *f = std::fopen(pathOf(*it).c_str(), "rb");
        if (f == nullptr) {
            it = numbers_.erase(it); // removed behind our back: nothing to send
            continue;
        }
        text->clear();
        char buf[4096];
        size_t n;
        while (text->size() <= kMaxMessageBytes && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            text->append(buf, n);
        }
        std::fclose(f);
        *number = *it;
        return true;
    }
    return false;
}

void Spool::remove(uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    ::unlink(pathOf(number).c_str());
    numbers_.erase(number);
}

std::string Spool::setAside(uint64_t number, const std::string &why) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string from = pathOf(number);
    std::string name = from.substr(from.rfind('/') + 1);
    std::string to = dir_ + "/" + kRejectedDir + "/" + name;
    if (::rename(from.c_str(), to.c_str()) != 0) {
        to = from; // stays where it is, but is not sent again in this run
    }
    if (FILE *f = std::fopen((to + ".reason").c_str(), "w")) {
        std::fprintf(f, "%s\n", why.c_str());
        std::fclose(f);
    }
    numbers_.erase(number);
    return to;
}

size_t Spool::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return numbers_.size();
}

} // namespace factory
