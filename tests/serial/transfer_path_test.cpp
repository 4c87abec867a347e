// The transfer path on a pseudo-terminal: blocks in one write (and whole
// when the line takes them in pieces), cancellation on the line, the line
// held against later opens, low-latency refusal, and reads that stay
// bounded while another process reads the same terminal.
#include "KelvoPG_core.h"
#include "kelvo_test.h"
#include "serial_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using st::timeMs;

const char STX = 0x02, EOT = 0x04, ACK = 0x06, CAN = 0x18;

class TransferPath : public ::testing::Test {
  protected:
    void SetUp() override {
        st::StdoutCapture quiet;
        fd = serialport_open(pty.slave().c_str(), 115200);
        ASSERT_GT(fd, 0);
    }
    void TearDown() override {
        if (sender.joinable()) {
            sender.join();
        }
        st::limitWrites(fd, 0);
        serialport_close();
        kelvo_clear_cancel();
    }
    void startSend(const std::string &image) {
        data = image;
        sender = std::thread([this] {
            result = xmodemTransmit(reinterpret_cast<const uint8_t *>(data.data()),
                                    static_cast<int32_t>(data.size()));
        });
    }
    void reply(const std::string &bytes) { st::writeBytes(pty.master(), bytes); }
    std::string receive(size_t n) { return st::readBytes(pty.master(), n, 5000); }

    st::PtyPair pty;
    int32_t fd = -1;
    std::string data;
    std::thread sender;
    std::atomic<int32_t> result{0};
};

class TransferPathPieces : public TransferPath, public ::testing::WithParamInterface<size_t> {};

// A block goes out in one write; a line that takes at most `piece` bytes
// per write still gets every block whole and in order.
TEST_P(TransferPathPieces, BlocksArriveWhole) {
    size_t piece = GetParam();
    st::limitWrites(fd, piece);
    st::resetWriteCount();
    startSend(kt::randomBytes(3000, 5));
    reply("C");
    size_t writesPerBlock = piece == 0 ? 1 : (1029 + piece - 1) / piece;
    for (int number = 1; number <= 3; ++number) {
        std::string block = receive(1029);
        ASSERT_EQ(block.size(), 1029u);
        EXPECT_EQ(block[0], STX);
        EXPECT_EQ(block[1], static_cast<char>(number));
        std::string expected = data.substr(static_cast<size_t>(number - 1) * 1024, 1024);
        expected.resize(1024, '\0');
        EXPECT_EQ(block.substr(3, 1024), expected);
        reply(std::string(1, ACK));
    }
    EXPECT_EQ(receive(1), std::string(1, EOT));
    reply(std::string(1, ACK));
    reply("OK");
    sender.join();
    EXPECT_EQ(result.load(), 3072);
    // The blocks and the one EOT: nothing byte by byte.
    EXPECT_EQ(st::writesOn(fd), static_cast<int>(3 * writesPerBlock + 1));
}

INSTANTIATE_TEST_SUITE_P(Writes, TransferPathPieces, ::testing::Values(0u, 100u, 1u),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             return info.param == 0 ? std::string("OneWrite")
                                                    : "Pieces" + std::to_string(info.param);
                         });

// A stop request while the sender waits for an ACK: three CAN bytes on the
// line and the "cancelled here" result, without waiting out the retries.
TEST_F(TransferPath, StopRequestCancelsOnTheLine) {
    startSend(kt::randomBytes(5000, 6));
    reply("C");
    ASSERT_EQ(receive(1029).size(), 1029u);
    kelvo_request_cancel();
    EXPECT_EQ(receive(3), std::string(3, CAN));
    sender.join();
    EXPECT_EQ(result.load(), KELVO_XMODEM_CANCELLED_HERE);
    EXPECT_EQ(st::readUntilQuiet(pty.master(), 300), "");
}

TEST(SerialLine, LowLatencyRefusalIsOnlyMentionedInDetail) {
    st::PtyPair pty;
    st::StdoutCapture cap;
    infohelper_set_infolevel(2);
    int32_t fd = serialport_open(pty.slave().c_str(), 115200);
    infohelper_set_infolevel(1);
    std::string said = cap.finish();
    ASSERT_GT(fd, 0);
    EXPECT_NE(said.find(pty.slave() + ": no low-latency mode: "), std::string::npos) << said;
    // The line works all the same.
    st::writeBytes(pty.master(), "ping");
    uint8_t buf[4];
    EXPECT_EQ(serialport_read(buf, 4), 4);
    EXPECT_EQ(serialport_write(reinterpret_cast<const uint8_t *>("pong"), 4), 4);
    EXPECT_EQ(st::readBytes(pty.master(), 4, 5000), "pong");
    serialport_close();
}

// What an unprivileged program gets when it opens the terminal (root is
// let through an exclusive terminal, so the attempt runs as nobody).
int openErrnoAsNobody(const std::string &path) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 &&
            (chmod(path.c_str(), 0666) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        int other = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(other >= 0 ? 0 : (errno > 0 && errno < 100 ? errno : 99));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SerialLine, HeldLineRefusesLaterOpensUntilClosed) {
    st::PtyPair pty;
    st::StdoutCapture quiet;
    ASSERT_GT(serialport_open(pty.slave().c_str(), 115200), 0);
    EXPECT_EQ(openErrnoAsNobody(pty.slave()), EBUSY);
    serialport_close();
    EXPECT_EQ(openErrnoAsNobody(pty.slave()), 0);
}

// Another process blocked reading the same terminal takes the bytes we
// were woken for: our waits must still end at their bounds.
TEST(SerialLine, ReadsStayBoundedBesideAnotherReader) {
    st::PtyPair pty;
    int other = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    st::StdoutCapture quiet;
    ASSERT_GT(serialport_open(pty.slave().c_str(), 115200), 0);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char sink[64];
        while (!stop.load()) {
            if (read(other, sink, sizeof sink) < 0 && errno != EINTR) {
                break;
            }
        }
    });
    // A few replies, then silence: a read that lost one of them to the
    // other reader must not wait for more.
    std::thread talker([&] {
        for (int i = 0; i < 10; ++i) {
            st::writeBytes(pty.master(), "xy");
            usleep(10000);
        }
    });
    serialport_set_block_timeout(1500);
    long blocked = timeMs([] {
        char buf[101];
        serialport_block_read(buf, 2); // may see chunks or nothing, but ends
    });
    serialport_set_timeout(500);
    long timed = timeMs([] {
        uint8_t buf[100];
        serialport_read(buf, sizeof buf);
    });
    stop = true;
    talker.join();
    reader.join();
    quiet.finish();
    serialport_set_block_timeout(KELVO_BLOCK_READ_TIMEOUT_MS);
    serialport_close();
    close(other);
    EXPECT_LT(blocked, 20000);
    EXPECT_LT(timed, 20000);
}

} // namespace
