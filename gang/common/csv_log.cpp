#include "common/csv_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gang {
namespace {

// Another station holds the lock for one row at a time: a lock still taken
// after this long belongs to something stuck, and the row goes in without
// it (a single O_APPEND write stays whole all the same).
constexpr int kLockTries = 500;
constexpr useconds_t kLockRetryUs = 10000;
constexpr size_t kMaxHeaderBytes = 4096;

bool needsQuotes(const std::string &field) {
    return field.find_first_of(",\"\r\n") != std::string::npos;
}

std::string quoted(const std::string &field) {
    std::string out = "\"";
    for (char c : field) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

std::string plainOrQuoted(const std::string &field) {
    return needsQuotes(field) ? quoted(field) : field;
}

// Spreadsheets run a cell starting with one of these as a formula; a port
// name or an adapter's serial string (chosen by the device) could be one.
bool looksLikeFormula(const std::string &field) {
    return !field.empty() && std::strchr("=+-@\t\r", field[0]) != nullptr;
}

bool lockBounded(int fd) {
    for (int i = 0; i < kLockTries; ++i) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        ::usleep(kLockRetryUs);
    }
    return false;
}

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

} // namespace

std::string csvLine(const std::vector<std::string> &fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        line += (i ? "," : "") + plainOrQuoted(fields[i]);
    }
    return line + "\r\n";
}

std::string csvRow(const std::vector<CsvColumn> &columns, const std::vector<std::string> &fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        bool text = i >= columns.size() || !columns[i].numeric;
        line += i ? "," : "";
        line += text && looksLikeFormula(fields[i]) ? quoted("'" + fields[i])
                                                    : plainOrQuoted(fields[i]);
    }
    return line + "\r\n";
}

CsvLog::~CsvLog() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool CsvLog::open(const std::string &path, const std::vector<CsvColumn> &columns,
                  std::string *error) {
    path_ = path;
    columns_ = columns;
    const std::string notRegular = "cannot open log file " + path + ": not a regular file";
    // Checked before the open too: opening a FIFO or a device may already
    // block or act.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = notRegular;
        return false;
    }
    fd_ =
        ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd_ < 0) {
        *error = "cannot open log file " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fstat(fd_, &st) == 0;
    if (!ok) {
        *error = "cannot read log file " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *error = notRegular;
        ok = false;
    } else {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        // The lock keeps two stations from both writing a header into the
        // same new file.
        bool locked = lockBounded(fd_);
        ok = ::fstat(fd_, &st) == 0 && st.st_size > 0 ? checkHeader(st.st_size, error)
                                                      : writeLine(headerLine(), locked, error);
        if (locked) {
            ::flock(fd_, LOCK_UN);
        }
    }
    if (!ok) {
        ::close(fd_);
        fd_ = -1;
    }
    return ok;
}

bool CsvLog::checkHeader(off_t size, std::string *error) {
    std::string head(std::min<size_t>(kMaxHeaderBytes, static_cast<size_t>(size)), '\0');
    ssize_t n = ::pread(fd_, &head[0], head.size(), 0);
    if (n < 0) {
        *error = "cannot read log file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    head.resize(static_cast<size_t>(n));
    std::string header = withoutLineEnd(headerLine());
    if (withoutLineEnd(head.substr(0, head.find('\n'))) == header) {
        return true;
    }
    *error = "log file " + path_ + " has other columns: its first line is not \"" + header +
             "\"; give a new file to --log";
    return false;
}

std::string CsvLog::headerLine() const {
    std::vector<std::string> names;
    for (const CsvColumn &column : columns_) {
        names.push_back(column.name);
    }
    return csvLine(names);
}

bool CsvLog::append(const std::vector<std::string> &fields, std::string *error) {
    bool locked = lockBounded(fd_);
    bool ok = writeLine(csvRow(columns_, fields), locked, error);
    if (locked) {
        ::flock(fd_, LOCK_UN);
    }
    return ok;
}

// Other stations of this program only write while holding the lock: with
// it held, the rest of a short write may follow in a second write, and the
// length before the line is still the file's end when it came up short.
bool CsvLog::writeLine(const std::string &line, bool locked, std::string *error) {
    struct stat st;
    off_t before = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
    std::string text = line;
    char last = '\n';
    if (before > 0 && ::pread(fd_, &last, 1, before - 1) == 1 && last != '\n') {
        text = "\r\n" + line; // a row cut short by someone else must not swallow ours
    }
    size_t done = 0;
    int err = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
        if (!locked && done < text.size()) {
            err = ENOSPC; // the usual cause; a second write could land after another row
            break;
        }
    }
    if (done == text.size()) {
        return true;
    }
    *error = "cannot write log file " + path_ + ": " + std::strerror(err);
    if (done > 0 && locked && before >= 0 && ::fstat(fd_, &st) == 0 &&
        st.st_size == before + static_cast<off_t>(done) && ::ftruncate(fd_, before) != 0) {
        *error += " (a partial line remains)";
    }
    return false;
}

bool CsvLog::close(std::string *error) {
    if (fd_ < 0) {
        return true;
    }
    bool ok = ::fsync(fd_) == 0;
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
