#include "command_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

CommandLog::~CommandLog() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool CommandLog::open(const std::string &path, std::string &error) {
    if (path.empty()) {
        return true;
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot open log " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CommandLog::append(const std::string &bytes) {
    if (fd_ < 0) {
        return true;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace sim
