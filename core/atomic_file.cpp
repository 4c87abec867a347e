#include "atomic_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Distinguishes temporary names of one process (a GUI worker and the
// window thread may both save).
std::atomic<unsigned> temp_counter{0};

constexpr int kTempNameAttempts = 100;

std::string tempNameFor(const std::string &target) {
    return target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(temp_counter++);
}

// Fails the file: prints the reason, removes the temporary file.
bool fail(AtomicFile *file, int err) {
    print_file_error(err);
    atomic_abort(file);
    return false;
}

bool syncAndClose(AtomicFile *file) {
    if (::fsync(file->fd) != 0) {
        return fail(file, errno);
    }
    int fd = file->fd;
    file->fd = -1;
    if (::close(fd) != 0) {
        return fail(file, errno);
    }
    return true;
}

bool renameOverTarget(AtomicFile *file) {
    if (::rename(file->temp.c_str(), file->target.c_str()) != 0) {
        return fail(file, errno);
    }
    file->temp.clear();
    return true;
}

// A replaced file keeps its permission bits (a shared record may be
// group-writable on purpose).
void keepModeOfTarget(const AtomicFile *file) {
    struct stat st;
    if (::stat(file->target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        ::fchmod(file->fd, st.st_mode & 07777);
    }
}

// A target reached through a symbolic link is replaced where the link
// points, as a plain open for writing would update it: a record shared
// through a link must not turn into a private copy.
std::string resolvedTarget(const char *target) {
    char *real = ::realpath(target, nullptr);
    if (!real) {
        return target; // not there yet (or a dangling link): use the name
    }
    std::string path(real);
    std::free(real);
    return path;
}

} // namespace

void print_file_error(int err) {
    print_file_problem(std::strerror(err));
}

void print_file_problem(const char *reason) {
    std::printf("error in opening file : %s\n", reason);
    std::fflush(stdout);
}

bool atomic_begin(AtomicFile *file, const char *target) {
    file->target = resolvedTarget(target);
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        file->temp = tempNameFor(file->target);
        // Mode 0666 under the umask, as a plain fopen("wb") would create it.
        file->fd = ::open(file->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file->fd >= 0) {
            keepModeOfTarget(file);
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    int err = errno;
    file->temp.clear();
    print_file_error(err);
    return false;
}

bool atomic_append(AtomicFile *file, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = ::write(file->fd, p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail(file, n < 0 ? errno : ENOSPC);
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool atomic_commit(AtomicFile *file) {
    return syncAndClose(file) && renameOverTarget(file);
}

bool atomic_commit_new(AtomicFile *file, bool *existed) {
    *existed = false;
    if (!syncAndClose(file)) {
        return false;
    }
    if (::link(file->temp.c_str(), file->target.c_str()) == 0) {
        atomic_abort(file); // the target now holds the data; drop the temporary name
        return true;
    }
    if (errno == EEXIST) {
        *existed = true;
        atomic_abort(file);
        return true;
    }
    // Some file systems have no hard links; a rename is still all-or-nothing.
    return renameOverTarget(file);
}

void atomic_abort(AtomicFile *file) {
    if (file->fd >= 0) {
        ::close(file->fd);
        file->fd = -1;
    }
    if (!file->temp.empty()) {
        ::unlink(file->temp.c_str());
        file->temp.clear();
    }
}

bool atomic_write_file(const char *target, const void *data, size_t len) {
    AtomicFile file;
    return atomic_begin(&file, target) && atomic_append(&file, data, len) && atomic_commit(&file);
}

bool atomic_create_file(const char *target, const void *data, size_t len) {
    AtomicFile file;
    bool existed = false;
    return atomic_begin(&file, target) && atomic_append(&file, data, len) &&
           atomic_commit_new(&file, &existed);
}
