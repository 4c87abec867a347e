#include "board_bay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr long kBootRate = 115200;

std::string trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

void say(const std::string &what) {
    std::cerr << "kelvo_chipsim: " << what << std::endl;
}

} // namespace

BoardBay::~BoardBay() {
    for (int fd : {fifo_, fifoWriter_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (createdFifo_) {
        ::unlink(options_.controlFifo.c_str());
    }
}

bool BoardBay::open(std::string &error) {
    if (!options_.controlFifo.empty()) {
        const char *path = options_.controlFifo.c_str();
        struct stat st {};
        if (::mkfifo(path, 0600) == 0) {
            createdFifo_ = true;
        } else if (errno != EEXIST || ::stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            error = "cannot create the control FIFO " + options_.controlFifo + ": " +
                    (errno == EEXIST ? "it exists and is not a FIFO" : std::strerror(errno));
            return false;
        }
        fifo_ = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        fifoWriter_ = fifo_ < 0 ? -1 : ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fifoWriter_ < 0) {
            error = "cannot open the control FIFO " + options_.controlFifo + ": " +
                    std::strerror(errno);
            return false;
        }
    }
    if (!options_.absent) {
        // The first board holds what the flash file held, as without a bay.
        present_ = true;
        board_ = 1;
    } else if (options_.boards > 0) {
        insertDue_ = true;
        nextInsert_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options_.intervalSeconds));
    }
    return true;
}

bool BoardBay::faulty() const {
    return !active() || options_.faulty.empty() ||
           std::find(options_.faulty.begin(), options_.faulty.end(), board_) !=
               options_.faulty.end();
}

void BoardBay::noteWork(uint64_t hostFlushes) {
    worked_ = true;
    workMark_ = hostFlushes;
}

void BoardBay::tick(uint64_t hostFlushes) {
    if (!active()) {
        return;
    }
    readControl();
    if (options_.boards <= 0) {
        return;
    }
    if (present_ && worked_ && hostFlushes > workMark_) {
        remove();
    }
    if (!present_ && insertDue_ && Clock::now() >= nextInsert_) {
        insert();
    }
}

void BoardBay::readControl() {
    if (fifo_ < 0) {
        return;
    }
    char buf[256];
    ssize_t n;
    while ((n = ::read(fifo_, buf, sizeof buf)) > 0) {
        pending_.append(buf, static_cast<size_t>(n));
    }
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        std::string line = trimmed(pending_.substr(0, nl));
        pending_.erase(0, nl + 1);
        handleControl(line);
    }
}

void BoardBay::handleControl(const std::string &line) {
    if (line == "insert") {
        if (present_) {
            remove(); // a board can only go in where none is
        }
        insert();
    } else if (line == "remove") {
        if (present_) {
            remove();
        }
    } else if (!line.empty()) {
        say("control: unknown line \"" + line + "\" (insert or remove)");
    }
}

void BoardBay::insert() {
    ++board_;
    present_ = true;
    rate_ = kBootRate;
    worked_ = false;
    insertDue_ = false;
    flash_.eraseAll();
}

void BoardBay::remove() {
    present_ = false;
    if (!flashFile_.empty()) {
        std::string error;
        if (!flash_.saveTo(flashFile_ + "." + std::to_string(board_), error)) {
            say(error);
        }
    }
    if (options_.boards > board_) {
        insertDue_ = true;
        nextInsert_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options_.intervalSeconds));
    }
}

} // namespace sim
