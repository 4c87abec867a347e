#include "station_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "KelvoPG_core.h"
#include "kelvo_test.h"

namespace gt {

using Clock = std::chrono::steady_clock;

bool waitFor(const std::function<bool()> &done, std::chrono::seconds limit) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

StationRun::StationRun(const std::string &dir, const std::vector<std::string> &args,
                       const std::string &outName)
    : out_(dir + "/" + outName) {
    std::vector<std::string> argv{KELVO_GANG_PATH, "--watch"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> raw;
    for (const std::string &a : argv) {
        raw.push_back(const_cast<char *>(a.c_str()));
    }
    raw.push_back(nullptr);
    int keys[2];
    EXPECT_EQ(::pipe2(keys, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
        int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(keys[0], 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (::chdir(dir.c_str()) == 0) {
            ::execv(raw[0], raw.data());
        }
        ::_exit(127);
    }
    ::close(keys[0]);
    keys_ = keys[1];
}

StationRun::~StationRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(keys_);
}

std::string StationRun::output() const {
    return kt::readFile(out_);
}

bool StationRun::sawTimes(const std::string &text, size_t n, int limit) {
    return waitFor([&] { return count(output(), text) >= n; }, std::chrono::seconds(limit));
}

void StationRun::key(char c) {
    ASSERT_EQ(::write(keys_, &c, 1), 1);
}

void StationRun::signal(int sig) {
    ::kill(pid_, sig);
}

int StationRun::exitStatus(int limit) {
    int status = 0;
    bool ended = waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                         std::chrono::seconds(limit));
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace gt
