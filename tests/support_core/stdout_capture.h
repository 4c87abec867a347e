// Captures what the code under test writes to a standard stream (fd 1 or 2)
// by pointing the descriptor at a temporary file for the capture's lifetime.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

class FdCapture {
  public:
    explicit FdCapture(int fd) : fd_(fd) {
        std::fflush(nullptr);
        char name[] = "/tmp/kelvo-capture-XXXXXX";
        file_ = ::mkstemp(name);
        ::unlink(name);
        saved_ = ::dup(fd_);
        ::dup2(file_, fd_);
    }
    ~FdCapture() { restore(); }
    FdCapture(const FdCapture &) = delete;
    FdCapture &operator=(const FdCapture &) = delete;

    // Everything written so far; ends the capture.
    std::string text() {
        restore();
        std::string out;
        char buf[4096];
        ssize_t n;
        ::lseek(file_, 0, SEEK_SET);
        while ((n = ::read(file_, buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(nullptr);
            ::dup2(saved_, fd_);
            ::close(saved_);
            saved_ = -1;
        }
    }
    int fd_;
    int file_ = -1;
    int saved_ = -1;
};
