#include "csv_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gang {
namespace {

std::string quoted(const std::string &field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string out = "\"";
    for (char c : field) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

} // namespace

std::string csvLine(const std::vector<std::string> &fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        line += (i ? "," : "") + quoted(fields[i]);
    }
    return line + "\r\n";
}

CsvLog::~CsvLog() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool CsvLog::open(const std::string &path, const std::vector<std::string> &header,
                  std::string *error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd_ < 0) {
        *error = "cannot open log file " + path + ": " + std::strerror(errno);
        return false;
    }
    // The lock only keeps two stations from both writing a header into the
    // same new file; the lines themselves rely on O_APPEND.
    ::flock(fd_, LOCK_EX);
    struct stat st;
    bool ok = ::fstat(fd_, &st) == 0;
    if (!ok) {
        *error = "cannot read log file " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) {
        *error = "log file " + path + " is not a regular file";
        ok = false;
    } else if (st.st_size == 0 && S_ISREG(st.st_mode)) {
        ok = writeLine(csvLine(header), error);
    }
    ::flock(fd_, LOCK_UN);
    return ok;
}

bool CsvLog::append(const std::vector<std::string> &fields, std::string *error) {
    return writeLine(csvLine(fields), error);
}

bool CsvLog::writeLine(const std::string &line, std::string *error) {
    ssize_t n;
    do {
        n = ::write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(line.size())) {
        return true;
    }
    *error = "cannot write log file " + path_ + ": " +
             (n < 0 ? std::strerror(errno) : "short write (disk full?)");
    return false;
}

bool CsvLog::close(std::string *error) {
    if (fd_ < 0) {
        return true;
    }
    bool ok = ::fsync(fd_) == 0 || errno == EINVAL; // EINVAL: a pipe or terminal
    if (!ok) {
        *error = "cannot sync log file " + path_ + ": " + std::strerror(errno);
    }
    if (::close(fd_) != 0 && ok) {
        *error = "cannot close log file " + path_ + ": " + std::strerror(errno);
        ok = false;
    }
    fd_ = -1;
    return ok;
}

} // namespace gang
