// The serial port on a pseudo-terminal: settings seen from the other end,
// rates, read budgets, hang-up, block reads, locking and open failures.
#include "KelvoPG_core.h"
#include "kelvo_test.h"
#include "line/serial_rate.h"
#include "serial_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using st::timeMs;

class SerialPort : public ::testing::Test {
  protected:
    void TearDown() override {
        serialport_close();
        serialport_set_block_timeout(KELVO_BLOCK_READ_TIMEOUT_MS);
        infohelper_set_infolevel(1);
    }

    int32_t openPort(uint32_t rate = 115200) {
        st::StdoutCapture cap;
        int32_t fd = serialport_open(pty.slave().c_str(), rate);
        EXPECT_EQ(cap.finish(), "");
        EXPECT_GT(fd, 0);
        return fd;
    }

    uint32_t lineRate() {
        uint32_t in = 0, out = 0;
        EXPECT_EQ(kelvo_serial::readLineRate(pty.master(), &in, &out), 0);
        EXPECT_EQ(in, out);
        return out;
    }

    std::string hangUpMessage() const {
        return "error: " + pty.slave() + ": hung up (unplugged, or closed at the other end)\n";
    }

    st::PtyPair pty;
};

const uint32_t kTableRates[] = {2400,   4800,   9600,   19200,   38400,   57600,   115200,
                                230400, 460800, 921600, 1000000, 1500000, 2000000, 3000000};

TEST_F(SerialPort, OpensRawEightNoneOneWithReadPeriod) {
    int32_t fd = openPort();
    termios t = pty.settings();
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(serialport_get_timeout(), 1000u);
    // Non-blocking for good (every wait polls against its deadline); not
    // inherited by programs started later.
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(SerialPort, EveryTableRateIsSetSilently) {
    for (uint32_t rate : kTableRates) {
        SCOPED_TRACE(rate);
        openPort(rate);
        EXPECT_EQ(lineRate(), rate);
        EXPECT_EQ(serialport_close(), 1);
    }
}

TEST_F(SerialPort, OffTableRatesAreSetExactlyWithAWarning) {
    for (uint32_t rate : {250000u, 500000u, 1200u, 74880u}) {
        SCOPED_TRACE(rate);
        st::StdoutCapture cap;
        EXPECT_GT(serialport_open(pty.slave().c_str(), rate), 0);
        EXPECT_EQ(cap.finish(), "warning: serialport_set_baudrate: baud rate " +
                                    std::to_string(rate) + " may not work\n");
        EXPECT_EQ(lineRate(), rate);
        EXPECT_EQ(serialport_close(), 1);
    }
    // Back to a table rate on the next open.
    openPort(921600);
    EXPECT_EQ(lineRate(), 921600u);
}

TEST_F(SerialPort, BlockReadRestoresAnOffTableRate) {
    st::StdoutCapture quiet;
    ASSERT_GT(serialport_open(pty.slave().c_str(), 250000), 0);
    st::writeBytes(pty.master(), "OK");
    char buf[101];
    EXPECT_EQ(serialport_block_read(buf, 2), 1);
    quiet.finish();
    EXPECT_EQ(lineRate(), 250000u);
    EXPECT_EQ(pty.settings().c_cc[VMIN], 0);
    EXPECT_EQ(pty.settings().c_cc[VTIME], 1);
}

TEST_F(SerialPort, TimedReadKeepsItsBudget) {
    openPort();
    uint8_t buf[100];
    serialport_set_timeout(300);
    long silent = timeMs([&] { EXPECT_EQ(serialport_read(buf, 10), 0); });
    EXPECT_GE(silent, 300);
    EXPECT_LT(silent, 1500);

    serialport_set_timeout(5000);
    st::writeBytes(pty.master(), "ping");
    long complete = timeMs([&] { ASSERT_EQ(serialport_read(buf, 4), 4); });
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), "ping");
    EXPECT_LT(complete, 2000);

    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        st::writeBytes(pty.master(), "ng");
    });
    st::writeBytes(pty.master(), "pi");
    long pieces = timeMs([&] { EXPECT_EQ(serialport_read(buf, 4), 4); });
    late.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), "ping");
    EXPECT_LT(pieces, 2000);

    serialport_set_timeout(400);
    st::writeBytes(pty.master(), "O");
    long shortReply = timeMs([&] { EXPECT_EQ(serialport_read(buf, 100), 1); });
    EXPECT_GE(shortReply, 400);
    EXPECT_LT(shortReply, 1600);
    EXPECT_LT(timeMs([&] { EXPECT_EQ(serialport_read(buf, 0), 0); }), 300);
}

TEST_F(SerialPort, HangUpEndsReadsAtOnce) {
    openPort();
    serialport_set_timeout(5000);
    serialport_set_block_timeout(60000);
    pty.closeMaster();
    uint8_t buf[10];
    char reply[101] = "stale";
    st::StdoutCapture cap;
    long first = timeMs([&] { EXPECT_EQ(serialport_read(buf, sizeof buf), 0); });
    long second = timeMs([&] { EXPECT_EQ(serialport_read(buf, sizeof buf), 0); });
    long block = timeMs([&] { EXPECT_EQ(serialport_block_read(reply, 2), 0); });
    EXPECT_EQ(cap.finish(), hangUpMessage()); // reported once, no chunk printed
    EXPECT_LT(first, 1000);
    EXPECT_LT(second, 1000);
    EXPECT_LT(block, 1000);
    EXPECT_STREQ(reply, "");
}

TEST_F(SerialPort, BlockReadWaitsForAChunkStartingWithO) {
    openPort();
    serialport_set_block_timeout(10000);
    std::thread chip([&] {
        st::writeBytes(pty.master(), "xx");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        st::writeBytes(pty.master(), "OK");
    });
    char buf[101];
    st::StdoutCapture cap;
    int32_t result = serialport_block_read(buf, 2);
    chip.join();
    EXPECT_EQ(cap.finish(), "Received:xx length:2\nReceived:OK length:2\n");
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(buf, "OK");
    EXPECT_EQ(pty.settings().c_cc[VMIN], 0);
    EXPECT_EQ(pty.settings().c_cc[VTIME], 1);
}

TEST_F(SerialPort, BlockReadKeepsInputFromBeforeTheCall) {
    openPort();
    st::writeBytes(pty.master(), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buf[101];
    st::StdoutCapture cap;
    EXPECT_EQ(serialport_block_read(buf, 2), 1);
    EXPECT_EQ(cap.finish(), "Received:OK length:2\n");
}

TEST_F(SerialPort, BlockReadGivesUpAtItsBound) {
    openPort();
    serialport_set_block_timeout(300);
    char buf[101] = "junk";
    st::StdoutCapture cap;
    long waited = timeMs([&] { EXPECT_EQ(serialport_block_read(buf, 2), 0); });
    EXPECT_EQ(cap.finish(), "error: no reply from " + pty.slave() + " within 300 ms\n");
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 3000);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(pty.settings().c_cc[VTIME], 1);
}

TEST_F(SerialPort, BlockReadFailsWhenTheLineHangsUp) {
    openPort();
    serialport_set_block_timeout(60000);
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pty.closeMaster();
    });
    char buf[101];
    st::StdoutCapture cap;
    long waited = timeMs([&] { EXPECT_EQ(serialport_block_read(buf, 2), 0); });
    unplug.join();
    EXPECT_EQ(cap.finish(), hangUpMessage());
    EXPECT_LT(waited, 5000);
    EXPECT_STREQ(buf, "");
}

TEST_F(SerialPort, PortLockedElsewhereIsRefusedAsBusy) {
    int other = open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    st::StdoutCapture cap;
    EXPECT_EQ(serialport_open(pty.slave().c_str(), 115200), 0);
    EXPECT_EQ(cap.finish(), "error: cannot access " + pty.slave() + ": busy\n");
    EXPECT_EQ(serialport_close(), 0);
    close(other);
    openPort();
}

TEST_F(SerialPort, OpenPortIsHeldUntilClosed) {
    openPort();
    // flock locks per open file description: a second one is refused.
    int other = open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);

    // So is another process.
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        _exit(serialport_open(pty.slave().c_str(), 115200) == 0 ? 0 : 1);
    }
    close(pipefd[1]);
    std::string childOut = st::readUntilQuiet(pipefd[0], 2000);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(childOut, "error: cannot access " + pty.slave() + ": busy\n");

    EXPECT_EQ(serialport_close(), 1);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

// A child that holds the terminal (and, when asked, the pseudo-terminal's
// master as well, as the program at the other end of it does) until killed.
pid_t startHolder(const std::string &slave, int master, bool keepMaster) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, "port-holder");
        if (!keepMaster) {
            close(master);
        }
        int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ssize_t n = write(ready[1], fd >= 0 ? "y" : "n", 1);
        for (;;) {
            pause();
        }
        _exit(n == 1 ? 0 : 1);
    }
    close(ready[1]);
    char c = 0;
    ssize_t n = read(ready[0], &c, 1);
    close(ready[0]);
    return n == 1 && c == 'y' ? pid : -1;
}

TEST(PortHolders, NamesOtherProcessesButNotTheTerminalsOtherSide) {
    st::PtyPair pty;
    char buf[256];
    EXPECT_EQ(kelvo_describe_port_holders(pty.slave().c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(kelvo_describe_port_holders("/nonexistent/ttyKELVO", buf, sizeof buf), 0);
    const struct {
        bool keepMaster;
        int found;
    } cases[] = {{false, 1}, {true, 0}};
    for (const auto &c : cases) {
        pid_t holder = startHolder(pty.slave(), pty.master(), c.keepMaster);
        ASSERT_GT(holder, 0);
        // A forked copy of this program: its name is ours, not its comm.
        std::string line = pty.slave() + " is also open in process " + std::to_string(holder) +
                           " (" + program_invocation_short_name + ")\n";
        EXPECT_EQ(kelvo_describe_port_holders(pty.slave().c_str(), buf, sizeof buf), c.found);
        EXPECT_EQ(buf, c.found ? line : "") << c.keepMaster;
        if (c.found) {
            // A buffer too small keeps the count and a terminated start.
            char small[8];
            EXPECT_EQ(kelvo_describe_port_holders(pty.slave().c_str(), small, sizeof small), 1);
            EXPECT_EQ(std::string(small), line.substr(0, sizeof small - 1));
        }
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
}

// The kernel's name stops at 15 characters; the program's own does not.
TEST(PortHolders, ProgramNameFromTheCommandLineElseTheExecutableElseTheKernel) {
    kt::TempDir proc;
    struct Case {
        const char *pid;
        std::string cmdline, exe, comm, name;
    } cases[] = {
        {"1", std::string("/usr/bin/kelvo_pgtool_gang\0--watch\0", 35), "", "kelvo_pgtool_ga\n",
         "kelvo_pgtool_gang"},
        {"2", std::string("minicom\0", 8), "/usr/bin/minicom", "minicom\n", "minicom"},
        {"3", "", "/opt/tools/kelvo_pgtool_cli", "kelvo_pgtool_cl\n", "kelvo_pgtool_cli"},
        {"4", "", "", "kworker/0:1\n", "kworker/0:1"},
        {"5", "", "", "", "?"},
    };
    for (const Case &c : cases) {
        std::string dir = proc.file(c.pid);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        kt::writeFile(dir + "/cmdline", c.cmdline);
        kt::writeFile(dir + "/comm", c.comm);
        if (!c.exe.empty()) {
            ASSERT_EQ(symlink(c.exe.c_str(), (dir + "/exe").c_str()), 0);
        }
        char buf[64];
        EXPECT_EQ(kelvo_process_name(dir.c_str(), buf, sizeof buf), c.name.size()) << c.pid;
        EXPECT_EQ(std::string(buf), c.name) << c.pid;
    }
    char small[6];
    EXPECT_EQ(kelvo_process_name(proc.file("1").c_str(), small, sizeof small), 17u);
    EXPECT_STREQ(small, "kelvo");
}

TEST_F(SerialPort, OpenFailuresSayWhy) {
    kt::TempDir dir;
    std::string plain = dir.file("not-a-tty");
    kt::writeFile(plain, "x");
    st::StdoutCapture cap;
    EXPECT_EQ(serialport_open("/nonexistent/ttyKELVO", 115200), 0);
    EXPECT_EQ(serialport_open(plain.c_str(), 115200), 0);
    EXPECT_EQ(cap.finish(),
              "error: cannot access /nonexistent/ttyKELVO: No such file or directory\n"
              "error: cannot access " +
                  plain + ": not a serial port\n");
    // Nothing stays open or locked after a failed open.
    EXPECT_EQ(serialport_close(), 0);
    int again = open(plain.c_str(), O_RDWR);
    EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
    close(again);
}

// The port's group, as the hint should name it; as root the port is given
// to dialout and the child drops its privileges, so that access is denied.
std::string denyAccess(const std::string &path) {
    if (geteuid() == 0) {
        struct group *dialout = getgrnam("dialout");
        EXPECT_EQ(chown(path.c_str(), 0, dialout ? dialout->gr_gid : 20), 0);
        EXPECT_EQ(chmod(path.c_str(), 0660), 0);
    } else {
        EXPECT_EQ(chmod(path.c_str(), 0), 0);
    }
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    struct group *owner = getgrgid(st.st_gid);
    return owner ? owner->gr_name : std::to_string(st.st_gid);
}

TEST_F(SerialPort, PermissionDeniedNamesTheGroupToJoin) {
    std::string group = denyAccess(pty.slave());
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        _exit(serialport_open(pty.slave().c_str(), 115200) == 0 ? 0 : 1);
    }
    close(pipefd[1]);
    std::string childOut = st::readUntilQuiet(pipefd[0], 2000);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(childOut, "error: cannot access " + pty.slave() +
                            ": Permission denied\n"
                            "error: the user must be in the group \"" +
                            group + "\" that owns " + pty.slave() + " (sudo usermod -aG " + group +
                            " $USER, then log in again)\n");
}

TEST_F(SerialPort, CloseWithoutAPortDoesNothing) {
    st::StdoutCapture cap;
    EXPECT_EQ(serialport_close(), 0);
    EXPECT_EQ(serialport_open("/nonexistent/ttyKELVO", 115200), 0);
    serialport_flush();
    serialport_drain();
    serialport_set_dtr(true);
    serialport_set_rts(true);
    EXPECT_EQ(serialport_close(), 0);
    cap.finish();
    openPort();
    EXPECT_EQ(serialport_close(), 1);
    EXPECT_EQ(serialport_close(), 0);
}

TEST_F(SerialPort, CloseSendsPendingOutputAndDropsPendingInput) {
    // Repeated: losing the unread output happened about half the time.
    for (int round = 0; round < 20; ++round) {
        openPort();
        st::writeBytes(pty.master(), "stale");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::string command = "ucfg 921600\n";
        ASSERT_EQ(serialport_write(reinterpret_cast<const uint8_t *>(command.data()),
                                   static_cast<uint32_t>(command.size())),
                  static_cast<int32_t>(command.size()));
        EXPECT_EQ(serialport_close(), 1);
        EXPECT_EQ(st::readBytes(pty.master(), command.size(), 2000), command);
    }
    openPort();
    serialport_set_timeout(200);
    uint8_t buf[10];
    EXPECT_EQ(serialport_read(buf, sizeof buf), 0);
}

TEST_F(SerialPort, FlushDiscardsInputUntilTheLineIsQuiet) {
    openPort();
    st::writeBytes(pty.master(), "noise");
    serialport_flush();
    serialport_set_timeout(200);
    st::writeBytes(pty.master(), "OK");
    uint8_t buf[10];
    ASSERT_EQ(serialport_read(buf, sizeof buf), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 2), "OK");
}

TEST_F(SerialPort, WriteToAPeerThatStoppedReadingIsBounded) {
    openPort(3000000);
    std::string block(1 << 20, 'x');
    int32_t written = 0;
    st::StdoutCapture cap;
    long waited = timeMs([&] {
        written = serialport_write(reinterpret_cast<const uint8_t *>(block.data()),
                                   static_cast<uint32_t>(block.size()));
    });
    // Once the line is known dead, the next write does not wait again.
    long next =
        timeMs([&] { EXPECT_EQ(serialport_write(reinterpret_cast<const uint8_t *>("x"), 1), -1); });
    EXPECT_EQ(cap.finish(),
              "error: " + pty.slave() + ": output not taken (the other end stopped reading)\n");
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(block.size()));
    EXPECT_LT(waited, 30000);
    EXPECT_LT(next, 500);
}

} // namespace
