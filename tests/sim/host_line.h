// The host's end of the simulator's line, with nothing but open, ioctl,
// write and read: what a serial tool does, without any core code.
#pragma once

#include <string>

namespace simtest {

class HostLine {
  public:
    HostLine() = default;
    ~HostLine() { close(); }
    HostLine(const HostLine &) = delete;
    HostLine &operator=(const HostLine &) = delete;

    // Opens the terminal raw 8N1 at any rate (termios2); false on failure.
    bool open(const std::string &path, long baud);
    // Discards pending input and closes, as the host does before reopening.
    void close();
    bool write(const std::string &bytes);
    // Everything that arrives within the window.
    std::string readFor(int ms);
    // Up to count bytes, returning early when they are complete.
    std::string readBytes(size_t count, int timeoutMs);
    // A reply: from its first byte until the line has been quiet for
    // quietMs, or whatever came within timeoutMs.
    std::string readReply(int timeoutMs = 2000, int quietMs = 150);
    // True once the other side has hung up (end of file, POLLHUP or EIO).
    bool hungUp() const { return hungUp_; }

  private:
    // -1 time-out, -2 hang-up, else the count read.
    int readSome(char *buf, size_t size, int timeoutMs);
    int fd_ = -1;
    bool hungUp_ = false;
};

// write + readReply.
std::string ask(HostLine &line, const std::string &command, int timeoutMs = 2000);

} // namespace simtest
