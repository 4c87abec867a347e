// "fwd" and "hashq": XModem transfers into the flash, scripted byte by byte.
#include "sim_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/wait.h>
#include <unistd.h>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

const char kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;

uint16_t crc16(const std::string &data) {
    uint16_t crc = 0;
    for (unsigned char byte : data) {
        for (int bit = 7; bit >= 0; --bit) {
            bool feedback = ((crc >> 15) & 1) != ((byte >> bit) & 1);
            crc = static_cast<uint16_t>(crc << 1);
            if (feedback) {
                crc ^= 0x1021;
            }
        }
    }
    return crc;
}

// One block as a sender puts it on the line; data is padded with 0x00.
std::string block(uint8_t number, std::string data, bool crc, size_t size = 1024) {
    data.resize(size, '\0');
    std::string b;
    b += size == 128 ? kSoh : kStx;
    b += static_cast<char>(number);
    b += static_cast<char>(~number);
    b += data;
    if (crc) {
        uint16_t c = crc16(data);
        b += static_cast<char>(c >> 8);
        b += static_cast<char>(c & 0xFF);
    } else {
        unsigned sum = 0;
        for (unsigned char byte : data) {
            sum += byte;
        }
        b += static_cast<char>(sum & 0xFF);
    }
    return b;
}

std::string sha256(const std::string &data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
    return std::string(reinterpret_cast<char *>(digest), sizeof digest);
}

// Runs lrzsz's sx on the terminal (its standard input and output) and
// returns its exit status, or -1 when it had to be killed.
int runSx(const std::string &tty, const std::string &file, const std::string &dir) {
    int pid = fork();
    if (pid == 0) {
        int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
        int quiet = open("/dev/null", O_WRONLY);
        if (fd < 0 || quiet < 0 || chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(quiet, 2);
        execlp("sx", "sx", "-k", file.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    auto deadline = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SimXmodemTest : public SimTest {
  protected:
    // Sends "fwd" and reads the first offer, as the host does after its pause.
    std::string announce(const std::string &offsetDigits) {
        host.write("fwd 0 1 " + offsetDigits + "\n");
        return host.readBytes(1, 2000);
    }
    // Sends each block and returns the byte answering each one.
    std::string sendBlocks(const std::vector<std::string> &blocks) {
        std::string answers;
        for (const std::string &b : blocks) {
            host.write(b);
            answers += host.readBytes(1, 3000);
        }
        return answers;
    }
};

TEST(SimXmodemCrc, CheckValue) {
    EXPECT_EQ(crc16("123456789"), 0x31C3);
}

TEST_F(SimXmodemTest, OffersNakAboutEverySecondUntilTheFirstBlock) {
    start({});
    host.write("fwd 0 1 0\n");
    std::string offers = host.readFor(2500);
    EXPECT_GE(offers.size(), 2u);
    EXPECT_LE(offers.size(), 4u);
    EXPECT_EQ(offers, std::string(offers.size(), kNak));
}

// A host that gives up closes its port; stray offers would spoil the
// replies of its next session.
TEST_F(SimXmodemTest, OffersStopWhenTheHostClosesItsPort) {
    start({"--fwd-crc"});
    EXPECT_EQ(announce("0"), "C");
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 115200));
    EXPECT_EQ(host.readFor(2500), "");
    EXPECT_EQ(ask(host, "ping\n"), "ping");
}

TEST_F(SimXmodemTest, ChecksumTransferOfLongAndShortBlocksLandsAtTheOffset) {
    std::string image = kt::randomBytes(1500, 1);
    start({"--flash-size", "16384"});
    EXPECT_EQ(announce("00001000"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, image.substr(0, 1024), false),
                          block(2, image.substr(1024, 128), false, 128),
                          block(3, image.substr(1152), false)}),
              std::string(3, kAck));
    host.write(std::string(1, kEot));
    EXPECT_EQ(host.readReply(), std::string(1, kAck) + "OK");
    EXPECT_EQ(ask(host, "hashq 1500 0 1\n"), "SHA256" + sha256(image));
    EXPECT_EQ(ask(host, "hashq 0x100 0 1\n"), "SHA256" + sha256(image.substr(0, 256)));

    std::string expected(16384, '\xFF');
    expected.replace(0x1000, 1500, image);
    expected.replace(0x1000 + 1500, 1024 + 128 + 1024 - 1500, std::string(676, '\0'));
    EXPECT_EQ(flash(), expected);
}

TEST_F(SimXmodemTest, CrcModeOnRequestAndBadBlocksAreRejected) {
    std::string image = kt::randomBytes(2048, 2);
    start({"--flash-size", "4096", "--fwd-crc"});
    EXPECT_EQ(announce("0"), "C");
    std::string corrupt = block(1, image.substr(0, 1024), true);
    corrupt[100] ^= 1;
    std::string wrongComplement = block(1, image.substr(0, 1024), true);
    wrongComplement[2] = 0;
    EXPECT_EQ(sendBlocks({corrupt, wrongComplement}), std::string(2, kNak));
    EXPECT_EQ(sendBlocks({block(1, image.substr(0, 1024), true),
                          block(1, std::string(1024, 'x'), true), // a repeat: not written again
                          block(3, image.substr(1024), true),     // out of sequence
                          block(2, image.substr(1024), true)}),
              std::string({kAck, kAck, kNak, kAck}));
    host.write(std::string(1, kEot));
    EXPECT_EQ(host.readReply(), std::string(1, kAck) + "OK");
    EXPECT_EQ(flash(), image + std::string(2048, '\xFF'));
}

// A sender nobody here wrote, in checksum and in CRC mode.
TEST_F(SimXmodemTest, AcceptsLrzszSender) {
    std::string image = kt::randomBytes(5000, 4);
    kt::writeFile(dir.file("image.bin"), image);
    for (const char *mode : {"--flash-size", "--fwd-crc"}) {
        bool crc = std::string(mode) == "--fwd-crc";
        std::vector<std::string> args{"--flash-size", "65536"};
        if (crc) {
            args.push_back(mode);
        }
        start(args);
        EXPECT_EQ(announce("100"), crc ? "C" : std::string(1, kNak));
        EXPECT_EQ(runSx(sim->tty(), "image.bin", dir.path()), 0) << mode;
        host.readFor(300);
        EXPECT_EQ(ask(host, "hashq 5000 0 1\n"), "SHA256" + sha256(image)) << mode;
        std::string flashed = flash();
        EXPECT_EQ(flashed.substr(0x100, 5000), image) << mode;
        EXPECT_EQ(flashed.substr(0x100 + 6144), std::string(65536 - 0x100 - 6144, '\xFF'));
    }
}

TEST_F(SimXmodemTest, BlockNumbersWrapPast255) {
    std::string image = kt::randomBytes(300 * 128, 3);
    start({"--flash-size", "65536"});
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    std::vector<std::string> blocks;
    for (size_t i = 0; i < 300; ++i) {
        blocks.push_back(
            block(static_cast<uint8_t>(i + 1), image.substr(i * 128, 128), false, 128));
    }
    EXPECT_EQ(sendBlocks(blocks), std::string(300, kAck));
    host.write(std::string(1, kEot));
    EXPECT_EQ(host.readReply(), std::string(1, kAck) + "OK");
    EXPECT_EQ(flash().substr(0, image.size() + 1), image + '\xFF');
}

TEST_F(SimXmodemTest, EmptyTransferAndCancelReturnToCommands) {
    start({"--flash-size", "4096"});
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    host.write(std::string(1, kEot));
    EXPECT_EQ(host.readReply(), std::string(1, kAck) + "OK");
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, "abc", false)}), std::string(1, kAck));
    host.write(std::string(3, kCan));
    host.readFor(400);
    EXPECT_EQ(ask(host, "ping\n"), "ping");
    EXPECT_EQ(flash().substr(0, 1025), "abc" + std::string(1021, '\0') + '\xFF');
}

TEST_F(SimXmodemTest, NeverWritesOutsideTheFlash) {
    start({"--flash-size", "2048"});
    EXPECT_EQ(ask(host, "fwd 0 1 800\n"), "ERR out of range\r\n");
    EXPECT_EQ(announce("400"), std::string(1, kNak));
    // The part past the end may only be padding; real data there cancels.
    EXPECT_EQ(sendBlocks({block(1, std::string(1024, 'a'), false)}), std::string(1, kAck));
    host.write(block(2, "b", false));
    EXPECT_EQ(host.readReply(), std::string(3, kCan));
    EXPECT_EQ(ask(host, "hashq 0x10000 0 1\n"), "ERR out of range\r\n");
    // Zeros wholly past the end are data too, not padding.
    EXPECT_EQ(announce("400"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, std::string(1024, 'a'), false)}), std::string(1, kAck));
    host.write(block(2, std::string(1, '\0'), false));
    EXPECT_EQ(host.readReply(), std::string(3, kCan));
    EXPECT_EQ(flash(), std::string(1024, '\xFF') + std::string(1024, 'a'));
}

TEST_F(SimXmodemTest, SilentAfterBlocksUntilTheSenderCancels) {
    start({"--flash-size", "4096", "--silent-after-blocks", "1"});
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, "one", false)}), std::string(1, kAck));
    host.write(block(2, "two", false));
    EXPECT_EQ(host.readFor(1500), "");
    host.write(block(2, "two", false));
    EXPECT_EQ(host.readFor(1200), "");
    host.write(std::string(3, kCan));
    host.readFor(400);
    EXPECT_EQ(ask(host, "ping\n"), "ping");
    EXPECT_EQ(flash().substr(0, 1025), "one" + std::string(1021, '\0') + '\xFF');
}

TEST_F(SimXmodemTest, NakStormRejectsEveryBlock) {
    start({"--flash-size", "4096", "--nak-storm"});
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, "x", false), block(1, "x", false), block(1, "x", false)}),
              std::string(3, kNak));
    host.write(std::string(3, kCan));
    host.readFor(400);
    EXPECT_EQ(flash(), std::string(4096, '\xFF'));
}

TEST_F(SimXmodemTest, WrongDigestFault) {
    std::string image = "firmware";
    start({"--flash-size", "4096", "--wrong-digest"});
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, image, false)}), std::string(1, kAck));
    host.write(std::string(1, kEot));
    EXPECT_EQ(host.readReply(), std::string(1, kAck) + "OK");
    std::string reply = ask(host, "hashq 8 0 1\n");
    std::string right = sha256(image);
    ASSERT_EQ(reply.size(), 38u);
    EXPECT_EQ(reply.substr(0, 6), "SHA256");
    EXPECT_NE(reply.substr(6), right);
    EXPECT_EQ(reply.substr(7), right.substr(1));
}

TEST_F(SimXmodemTest, NoWriteOkLeavesTheTransferUnanswered) {
    start({"--flash-size", "4096", "--no-write-ok"});
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, "data", false)}), std::string(1, kAck));
    host.write(std::string(1, kEot));
    EXPECT_EQ(host.readReply(), std::string(1, kAck));
    EXPECT_EQ(ask(host, "ping\n"), "ping");
}

TEST_F(SimXmodemTest, HangUpAfterBlocks) {
    start({"--flash-size", "4096", "--hangup-after-blocks", "1"});
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    EXPECT_EQ(sendBlocks({block(1, "kept", false)}), std::string(1, kAck));
    host.write(block(2, "lost", false));
    EXPECT_EQ(host.readReply(3000), "");
    EXPECT_TRUE(host.hungUp());
    EXPECT_EQ(sim->stop(), 0);
    EXPECT_EQ(kt::readFile(sim->flashFile()).substr(0, 1025),
              "kept" + std::string(1020, '\0') + '\xFF');
}

TEST_F(SimXmodemTest, WireModelPacesABlockAtTheLineRate) {
    start({"--flash-size", "4096", "--baud-model"});
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 9600));
    EXPECT_EQ(announce("0"), std::string(1, kNak));
    auto sent = Clock::now();
    // 1029 bytes at 9600 baud, ten bits each: about 1.07 s on the wire.
    EXPECT_EQ(sendBlocks({block(1, "slow", false)}), std::string(1, kAck));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    EXPECT_GE(took.count(), 1000);
}

// The plain receiving mode: no commands, each transfer from the start of
// the flash, one line per transfer in the event log.
TEST_F(SimXmodemTest, PlainModeTakesLrzszTransfersAtOffsetZero) {
    std::string first = kt::randomBytes(5000, 8), second = kt::randomBytes(3000, 9);
    kt::writeFile(dir.file("first.bin"), first);
    kt::writeFile(dir.file("second.bin"), second);
    for (bool crc : {false, true}) {
        std::vector<std::string> args{"--flash-size", "65536", "--plain-xmodem", "--events",
                                      dir.file("events.log")};
        if (crc) {
            args.push_back("--fwd-crc");
        }
        std::remove(dir.file("events.log").c_str());
        start(args);
        EXPECT_EQ(host.readBytes(1, 3000), crc ? "C" : std::string(1, kNak));
        host.close(); // sx alone on the line
        EXPECT_EQ(runSx(sim->tty(), "first.bin", dir.path()), 0) << crc;
        EXPECT_EQ(runSx(sim->tty(), "second.bin", dir.path()), 0) << crc;
        std::string flashed = sim->flash();
        EXPECT_EQ(flashed.substr(0, 3000), second) << crc;
        EXPECT_EQ(flashed.substr(5120, 1024), std::string(1024, '\xFF')) << crc;
        std::string events = kt::readFile(dir.file("events.log"));
        EXPECT_EQ(events.rfind("xmodem completed ", 0), 0u) << events;
        EXPECT_NE(events.find("\nxmodem completed "), std::string::npos) << events;
        EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 2) << events;
    }
}

} // namespace
} // namespace simtest
