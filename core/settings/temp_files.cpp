#include "temp_files.h"

#include "support/interrupt.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Distinguishes temporary names of one process (a GUI worker and the
// window thread may both save).
std::atomic<unsigned> temp_counter{0};

constexpr int kTempNameAttempts = 100;
const char kTempInfix[] = ".tmp.";

std::string tempNameFor(const std::string &target) {
    return target + kTempInfix + std::to_string(::getpid()) + "." + std::to_string(temp_counter++);
}

// One or more decimal digits from pos up to end (or the next '.' when
// stopAtDot); the position after them, or npos.
size_t skipDigits(const std::string &s, size_t pos, bool stopAtDot) {
    size_t start = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        ++pos;
    }
    if (pos == start || (stopAtDot ? pos >= s.size() || s[pos] != '.' : pos != s.size())) {
        return std::string::npos;
    }
    return pos;
}

// "<base>.tmp.<digits>.<digits>" and nothing else.
bool isTempNameOf(const std::string &name, const std::string &base) {
    std::string prefix = base + kTempInfix;
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    size_t dot = skipDigits(name, prefix.size(), true);
    return dot != std::string::npos && skipDigits(name, dot + 1, false) != std::string::npos;
}

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes name from the directory if nobody holds it locked. The lock taken
// here keeps a writer that is just starting from adopting the file (it
// checks that its file is still linked once it holds the lock).
void removeIfAbandoned(int dirFd, const char *name) {
    int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return; // gone meanwhile, or not ours to judge
    }
    struct stat opened, named;
    bool abandoned = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
                     ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                     ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                     sameFile(opened, named);
    if (abandoned) {
        ::unlinkat(dirFd, name, 0);
    }
    ::close(fd);
}

// Locks a freshly created temporary file. False when a sweep of another
// process caught it between its creation and the lock (it is being removed).
bool lockFresh(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Without lock support no sweep can lock it either, so it is safe.
        return errno != EWOULDBLOCK;
    }
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

} // namespace

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int temp_create_locked(const std::string &target, std::string *temp) {
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        std::string name = tempNameFor(target);
        // Named before it exists, so that a signal arriving just after the
        // creation still removes it (the name is ours alone: it has our pid).
        kelvo_register_temp_file(name.c_str());
        // Mode 0666 under the umask, as a plain fopen("wb") would create it.
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 && lockFresh(fd)) {
            *temp = name;
            return fd;
        }
        int err = errno;
        kelvo_unregister_temp_file();
        if (fd >= 0) {
            ::close(fd);
        } else if (err != EEXIST) {
            errno = err;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

void temp_remove_abandoned(const std::string &target) {
    size_t slash = target.rfind('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    DIR *d = ::opendir(directory_of(target).c_str());
    if (!d) {
        return; // the save itself will report the directory's problem
    }
    int dirFd = ::dirfd(d);
    while (struct dirent *entry = ::readdir(d)) {
        if (isTempNameOf(entry->d_name, base)) {
            removeIfAbandoned(dirFd, entry->d_name);
        }
    }
    ::closedir(d);
}
