#include "atomic_file.h"

#include "support/interrupt.h"
#include "temp_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Fails the file: prints the reason, removes the temporary file.
bool fail(AtomicFile *file, int err) {
    print_file_error(err);
    atomic_abort(file);
    return false;
}

bool syncData(AtomicFile *file) {
    if (::fsync(file->fd) != 0) {
        return fail(file, errno);
    }
    return true;
}

// Forgets the temporary name once the data has reached the target.
void dropTempName(AtomicFile *file) {
    file->temp.clear();
    kelvo_unregister_temp_file();
}

// A rename or link lives in the directory: without this a power loss could
// bring the old file back (or none) although the save was reported done.
bool syncDirectory(const std::string &target) {
    int fd = ::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        print_file_error(errno);
        return false;
    }
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    // Some file systems cannot sync a directory; their renames are as
    // durable as they get.
    if (rc != 0 && err != EINVAL && err != ENOTSUP) {
        print_file_error(err);
        return false;
    }
    return true;
}

// The descriptor holds the lock that marks the temporary file as in use,
// so it is closed only once the data is under the target's name.
bool closeCommitted(AtomicFile *file) {
    int fd = file->fd;
    file->fd = -1;
    if (::close(fd) != 0) {
        print_file_error(errno);
        return false;
    }
    return syncDirectory(file->target);
}

bool renameOverTarget(AtomicFile *file) {
    if (::rename(file->temp.c_str(), file->target.c_str()) != 0) {
        return fail(file, errno);
    }
    dropTempName(file);
    return closeCommitted(file);
}

// A replaced file keeps its owner and group where this process may set
// them (root running a setter must not take the owner's record away, and
// a member of the file's group keeps the group), and its permission bits
// (a shared record may be group-writable on purpose). The mode comes last:
// a change of owner clears the set-ID bits.
void keepOwnerAndModeOfTarget(const AtomicFile *file) {
    struct stat st;
    if (::stat(file->target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    if (::fchown(file->fd, st.st_uid, st.st_gid) != 0 &&
        ::fchown(file->fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // Neither is ours to give: the new file is ours, as any new file is.
    }
    ::fchmod(file->fd, st.st_mode & 07777);
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

// Only a regular file is replaced: a device node or a named pipe reached
// through a link must stay what it is.
bool targetReplaceable(const std::string &target) {
    struct stat st;
    if (::stat(target.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
        return true; // a missing target is created; other problems show later
    }
    print_file_problem("not a regular file");
    return false;
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
    if (!targetReplaceable(file->target)) {
        return false;
    }
    // What a killed save left behind goes now, before this save adds its own.
    temp_remove_abandoned(file->target);
    file->fd = temp_create_locked(file->target, &file->temp);
    if (file->fd < 0) {
        int err = errno;
        file->temp.clear();
        print_file_error(err);
        return false;
    }
    keepOwnerAndModeOfTarget(file);
    return true;
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
    return syncData(file) && renameOverTarget(file);
}

bool atomic_commit_new(AtomicFile *file, bool *existed) {
    *existed = false;
    if (!syncData(file)) {
        return false;
    }
    if (::link(file->temp.c_str(), file->target.c_str()) == 0) {
        ::unlink(file->temp.c_str()); // the target now holds the data
        dropTempName(file);
        return closeCommitted(file);
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
    if (!file->temp.empty()) {
        ::unlink(file->temp.c_str());
        dropTempName(file);
    }
    if (file->fd >= 0) {
        ::close(file->fd);
        file->fd = -1;
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
