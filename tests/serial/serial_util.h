// Pseudo-terminals and peers for the serial-link tests: the core opens the
// terminal side, the test plays the other end on the master.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

namespace st {

// A fresh pseudo-terminal; the test holds the master side.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    int master() const { return master_; }
    const std::string &slave() const { return slave_; }
    // Closing the master hangs up the terminal side.
    void closeMaster();
    // The terminal side's settings, read through the master.
    termios settings() const;

  private:
    int master_ = -1;
    std::string slave_;
};

// Up to n bytes from fd, waiting at most timeout_ms in all.
std::string readBytes(int fd, size_t n, int timeout_ms);
// Everything that arrives until quiet_ms pass without a byte.
std::string readUntilQuiet(int fd, int quiet_ms);
void writeBytes(int fd, const std::string &bytes);

// Everything the process writes on its standard output meanwhile.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish();

  private:
    int saved_ = -1;
    int file_ = -1;
};

// Milliseconds that f takes.
template <class F> long timeMs(F f);

// Copies bytes between the core's line (a pty master) and a peer's line;
// can drop the letter C on the way to the peer.
class Relay {
  public:
    Relay(int core_side, int peer_side, bool drop_c_to_peer = false);
    ~Relay();
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;
    int droppedC() const { return dropped_c_.load(); }

  private:
    void run();
    bool forward(int from, int to, bool drop_c);
    int core_, peer_;
    bool drop_c_;
    std::atomic<bool> stop_{false};
    std::atomic<int> dropped_c_{0};
    std::thread thread_;
};

// A program whose standard input and output are one end of a socket pair
// (line() is the other end), running in cwd with its standard error in
// cwd/peer.log. Not a terminal: lrzsz flushes its terminal's output when it
// exits, which on a pseudo-terminal throws away its last ACK unread.
class Peer {
  public:
    Peer(const std::vector<std::string> &argv, const std::string &cwd);
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    int line() const { return line_; }
    // Exit status, or -1 when it had to be killed after timeout_ms.
    int wait(int timeout_ms);

  private:
    int pid_ = -1;
    int line_ = -1;
};

// Writes on each descriptor since the last reset (the tests link with
// --wrap=write).
int writesOn(int fd);
void resetWriteCount();
// From now on a write on fd takes at most max_bytes (0: no limit).
void limitWrites(int fd, size_t max_bytes);

} // namespace st

#include <chrono>

template <class F> long st::timeMs(F f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}
