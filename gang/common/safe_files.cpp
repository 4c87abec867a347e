#include "common/safe_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gang {
namespace {

constexpr size_t kMaxSecretBytes = 4096;

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// "belongs to user N, not to you (user M)"; empty when it is the
// effective user's.
std::string foreignOwner(const struct stat &st) {
    uid_t me = ::geteuid();
    if (st.st_uid == me) {
        return "";
    }
    return "belongs to user " + std::to_string(st.st_uid) + ", not to you (user " +
           std::to_string(me) + ")";
}

// Why the open file fd cannot hold a secret; empty when it can.
std::string secretFileProblem(int fd, const std::string &path) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return "not a regular file";
    }
    std::string owner = foreignOwner(st);
    if (!owner.empty()) {
        return owner;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return "other users may read or change it (mode " + modeText(st.st_mode) +
               "); make it readable by its owner only (chmod 600 " + path + ")";
    }
    return "";
}

} // namespace

int createNewFile(const std::string &path, std::string *error) {
    int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        int saved = errno;
        *error = "cannot create " + path + ": " + std::strerror(saved) +
                 (saved == EEXIST ? " (an existing file or link is never written over)" : "");
        errno = saved;
    }
    return fd;
}

bool checkOwnDirectory(const std::string &dir, std::string *error) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) {
        *error = "cannot use " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = "cannot use " + dir + ": " + std::strerror(ENOTDIR);
        return false;
    }
    std::string owner = foreignOwner(st);
    if (!owner.empty()) {
        *error = dir + " " + owner +
                 ": its owner could replace or read what is written there; "
                 "use a directory of your own";
        return false;
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        *error = dir + " is writable by every user (mode " + modeText(st.st_mode) +
                 "), who could put files or links in it; use a directory of your own, or "
                 "remove that permission (chmod o-w " +
                 dir + ")";
        return false;
    }
    return true;
}

bool makeOwnDirectory(const std::string &dir, std::string *error) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    return checkOwnDirectory(dir, error);
}

bool readSecretFile(const std::string &path, std::string *text, std::string *error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string why = secretFileProblem(fd, path);
    text->clear();
    char buf[512];
    ssize_t n;
    while (why.empty() && (n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || text->size() + static_cast<size_t>(n) > kMaxSecretBytes) {
            why = n < 0 ? std::strerror(errno) : "larger than a password";
            break;
        }
        text->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    text->erase(std::min(text->find('\n'), text->size())); // the first line
    if (!text->empty() && text->back() == '\r') {
        text->pop_back();
    }
    if (why.empty() && text->empty()) {
        why = "empty";
    }
    if (!why.empty()) {
        text->clear();
        *error = "cannot take the password from " + path + ": " + why;
        return false;
    }
    return true;
}

} // namespace gang
