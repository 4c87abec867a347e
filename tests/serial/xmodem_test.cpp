// XModem: the sender against a scripted receiver (exact blocks, progress
// counter, failures), and both directions against lrzsz's rx and sx.
#include "KelvoPG_core.h"
#include "kelvo_test.h"
#include "serial_util.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using st::timeMs;

const char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

std::string expectedBlock(const std::string &data, size_t offset, uint8_t number, bool crc) {
    std::string payload = data.substr(offset, 1024);
    payload.resize(1024, '\0');
    std::string block{STX, static_cast<char>(number), static_cast<char>(~number)};
    block += payload;
    if (crc) {
        uint16_t sum = crc16_ccitt(payload.data(), 1024);
        block.push_back(static_cast<char>(sum >> 8));
        block.push_back(static_cast<char>(sum & 0xFF));
    } else {
        unsigned sum = 0;
        for (unsigned char c : payload) {
            sum += c;
        }
        block.push_back(static_cast<char>(sum & 0xFF));
    }
    return block;
}

// The test plays the chip's receiver on the master side while the core
// sends from another thread.
class SerialXModemSend : public ::testing::Test {
  protected:
    void SetUp() override {
        st::StdoutCapture quiet;
        ASSERT_GT(serialport_open(pty.slave().c_str(), 115200), 0);
    }
    void TearDown() override {
        if (sender.joinable()) {
            sender.join();
        }
        serialport_close();
    }

    void startSend(const std::string &image) {
        data = image;
        sender = std::thread([this] {
            result = xmodemTransmit(reinterpret_cast<const uint8_t *>(data.data()),
                                    static_cast<int32_t>(data.size()));
        });
    }
    int32_t finishSend() {
        sender.join();
        return result;
    }
    void reply(const std::string &bytes) { st::writeBytes(pty.master(), bytes); }
    std::string receive(size_t n, int timeout_ms = 5000) {
        return st::readBytes(pty.master(), n, timeout_ms);
    }
    // The chip's "OK" after the transfer: the sender's flush stops at the O.
    void answerOkAndExpectK() {
        reply("OK");
        finishSend();
        uint8_t k = 0;
        EXPECT_EQ(serialport_read(&k, 1), 1);
        EXPECT_EQ(k, 'K');
    }

    st::PtyPair pty;
    std::string data;
    std::thread sender;
    int32_t result = 0;
};

struct ProgressCase {
    int size;
    bool crc;
    std::vector<int32_t> counter; // after each block, after EOT, at the end
};

void PrintTo(const ProgressCase &c, std::ostream *os) {
    *os << c.size << " bytes, " << (c.crc ? "CRC" : "checksum");
}

class SerialXModemProgress : public SerialXModemSend,
                             public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(SerialXModemProgress, BlocksAndCounterAreExact) {
    const ProgressCase &c = GetParam();
    startSend(kt::randomBytes(static_cast<size_t>(c.size), 3));
    reply(c.crc ? "C" : std::string(1, NAK));
    std::vector<int32_t> seen;
    size_t blockSize = c.crc ? 1029 : 1028;
    for (size_t offset = 0, number = 1; offset < data.size(); offset += 1024, ++number) {
        ASSERT_EQ(receive(blockSize),
                  expectedBlock(data, offset, static_cast<uint8_t>(number), c.crc));
        seen.push_back(checkremaining_bytes());
        reply(std::string(1, ACK));
    }
    ASSERT_EQ(receive(1), std::string(1, EOT));
    seen.push_back(checkremaining_bytes());
    reply(std::string(1, ACK));
    answerOkAndExpectK();
    seen.push_back(checkremaining_bytes());
    EXPECT_EQ(result, 2048);
    EXPECT_EQ(seen, c.counter);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SerialXModemProgress,
                         ::testing::Values(ProgressCase{1500, true, {1500, 476, -548, 0}},
                                           ProgressCase{2048, false, {2048, 1024, 0, 0}}),
                         [](const ::testing::TestParamInfo<ProgressCase> &info) {
                             return std::to_string(info.param.size);
                         });

TEST_F(SerialXModemSend, EmptyImageSendsOnlyEot) {
    startSend("");
    reply("C");
    EXPECT_EQ(receive(1), std::string(1, EOT));
    reply(std::string(1, ACK));
    answerOkAndExpectK();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(checkremaining_bytes(), 0);
}

TEST_F(SerialXModemSend, TwoCansCancelAndAreAcknowledged) {
    startSend(kt::randomBytes(3000, 5));
    // A single CAN only uses up a try.
    reply(std::string(1, CAN));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    reply("C");
    ASSERT_EQ(receive(1029), expectedBlock(data, 0, 1, true));
    reply(std::string{CAN, CAN});
    EXPECT_EQ(receive(1), std::string(1, ACK));
    answerOkAndExpectK();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(checkremaining_bytes(), 3000); // kept: the flush found the O
}

TEST_F(SerialXModemSend, BlockNeverAcknowledgedGivesUpAfter25Sends) {
    startSend(kt::randomBytes(100, 6));
    reply(std::string(1, NAK));
    std::string block = expectedBlock(data, 0, 1, false);
    for (int send = 0; send < 25; ++send) {
        ASSERT_EQ(receive(block.size()), block) << "send " << send;
        reply(std::string(1, NAK));
    }
    EXPECT_EQ(receive(3), std::string(3, CAN));
    answerOkAndExpectK();
    EXPECT_EQ(result, -4);
}

TEST_F(SerialXModemSend, EotNeverAcknowledgedGivesUpAfter10) {
    startSend(kt::randomBytes(10, 7));
    reply("C");
    ASSERT_EQ(receive(1029), expectedBlock(data, 0, 1, true));
    reply(std::string(1, ACK));
    for (int send = 0; send < 10; ++send) {
        ASSERT_EQ(receive(1), std::string(1, EOT)) << "send " << send;
        reply(std::string(1, NAK));
    }
    reply(std::string(1, '\0')); // 0x00 also ends the flush
    finishSend();
    EXPECT_EQ(result, -5);
    EXPECT_EQ(checkremaining_bytes(), 0);
    EXPECT_EQ(receive(1, 300), "");
}

TEST_F(SerialXModemSend, ReceiverThatNeverStartsIsCancelled) {
    long waited = timeMs([&] {
        startSend("abc");
        finishSend();
    });
    EXPECT_EQ(result, -2);
    EXPECT_EQ(receive(4, 500), std::string(3, CAN));
    // 16 waits of about 2 s, then the flush finds the line silent.
    EXPECT_GE(waited, 32000);
    EXPECT_LT(waited, 45000);
    EXPECT_EQ(checkremaining_bytes(), 0);
}

// The test plays the sender; the core receives.
TEST(SerialXModemReceive, RejectsBadBlocksAndAcknowledgesRepeatsOnce) {
    st::PtyPair pty;
    {
        st::StdoutCapture quiet;
        ASSERT_GT(serialport_open(pty.slave().c_str(), 115200), 0);
    }
    std::vector<uint8_t> buf(4096, 0xEE);
    int32_t got = 0;
    std::thread receiver(
        [&] { got = xmodemReceive(buf.data(), static_cast<int32_t>(buf.size())); });
    std::string first = kt::randomBytes(1024, 11);
    std::string good = expectedBlock(first, 0, 1, true);
    std::string bad = good;
    bad.back() ^= 1;
    std::string second = kt::randomBytes(128, 12);
    std::string shortBlock{SOH, 2, static_cast<char>(~2)};
    shortBlock += second;
    uint16_t sum = crc16_ccitt(second.data(), 128);
    shortBlock += std::string{static_cast<char>(sum >> 8), static_cast<char>(sum & 0xFF)};

    EXPECT_EQ(st::readBytes(pty.master(), 1, 3000), "C");
    const std::pair<std::string, char> exchanges[] = {
        {bad, NAK}, {good, ACK}, {good, ACK}, {shortBlock, ACK}, {std::string(1, EOT), ACK}};
    for (const auto &[send, answer] : exchanges) {
        st::writeBytes(pty.master(), send);
        // A rejected block or the EOT first waits for the line to go quiet.
        EXPECT_EQ(st::readBytes(pty.master(), 1, 5000), std::string(1, answer));
    }
    receiver.join();
    serialport_close();
    EXPECT_EQ(got, 1024 + 128);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data()), 1152), first + second);
    EXPECT_EQ(buf[1152], 0xEE);
}

// ---- Against lrzsz, relayed between the core's pseudo-terminal and the peer.

struct Transfer {
    size_t size;
    bool crc;
};

void PrintTo(const Transfer &t, std::ostream *os) {
    *os << t.size << " bytes, " << (t.crc ? "CRC" : "checksum");
}

std::string describe(const ::testing::TestParamInfo<Transfer> &info) {
    return std::to_string(info.param.size) + (info.param.crc ? "_crc" : "_checksum");
}

class SerialXModemLrzsz : public ::testing::TestWithParam<Transfer> {
  protected:
    void TearDown() override { serialport_close(); }

    void openCoreSide() {
        st::StdoutCapture quiet;
        ASSERT_GT(serialport_open(core.slave().c_str(), 115200), 0);
    }

    kt::TempDir dir;
    st::PtyPair core;
};

class SerialXModemToRx : public SerialXModemLrzsz {};
class SerialXModemFromSx : public SerialXModemLrzsz {};

TEST_P(SerialXModemToRx, FileArrivesByteExact) {
    const Transfer &t = GetParam();
    std::vector<std::string> argv{KELVO_RX_PATH, "-b", "-q"};
    if (t.crc) {
        argv.push_back("-c");
    }
    argv.push_back("out.bin");
    openCoreSide(); // raw before the peer talks: a NAK is ^U to a cooked line
    st::Peer rx(argv, dir.path());
    st::Relay relay(core.master(), rx.line());
    std::string image = kt::randomBytes(t.size, static_cast<unsigned>(t.size));
    int32_t sent = xmodemTransmit(reinterpret_cast<const uint8_t *>(image.data()),
                                  static_cast<int32_t>(image.size()));
    size_t rounded = (t.size + 1023) / 1024 * 1024;
    EXPECT_EQ(sent, static_cast<int32_t>(rounded)) << kt::readFile(dir.file("peer.log"));
    EXPECT_EQ(rx.wait(30000), 0) << kt::readFile(dir.file("peer.log"));
    // rx keeps the padding of the last block, which is 0x00 here.
    EXPECT_EQ(kt::readFile(dir.file("out.bin")), image + std::string(rounded - t.size, '\0'));
    EXPECT_EQ(checkremaining_bytes(), 0);
}

TEST_P(SerialXModemFromSx, FileArrivesByteExact) {
    const Transfer &t = GetParam();
    std::string image = kt::randomBytes(t.size, static_cast<unsigned>(t.size) + 1);
    kt::writeFile(dir.file("in.bin"), image);
    openCoreSide();
    st::Peer sx({KELVO_SX_PATH, "-k", "-b", "-q", "in.bin"}, dir.path());
    // Without the C, sx can only take the receiver's NAK: checksum mode.
    st::Relay relay(core.master(), sx.line(), !t.crc);
    std::vector<uint8_t> buf(t.size + 2048, 0xEE);
    int32_t got = xmodemReceive(buf.data(), static_cast<int32_t>(buf.size()));
    EXPECT_EQ(sx.wait(30000), 0) << kt::readFile(dir.file("peer.log"));
    ASSERT_GE(got, static_cast<int32_t>(t.size));
    EXPECT_LT(got, static_cast<int32_t>(t.size) + 1024);
    EXPECT_EQ(got % 128, 0);
    std::string received(reinterpret_cast<char *>(buf.data()), static_cast<size_t>(got));
    // sx pads its last block with 0x1A.
    EXPECT_EQ(received, image + std::string(static_cast<size_t>(got) - t.size, '\x1A'));
    EXPECT_EQ(relay.droppedC() > 0, !t.crc);
}

const size_t kLarge = 300 * 1024 + 77; // block numbers wrap past 255

INSTANTIATE_TEST_SUITE_P(Sizes, SerialXModemToRx,
                         ::testing::Values(Transfer{0, true}, Transfer{1, true},
                                           Transfer{1023, true}, Transfer{1024, true},
                                           Transfer{1025, true}, Transfer{1500, true},
                                           Transfer{kLarge, true}, Transfer{0, false},
                                           Transfer{1, false}, Transfer{1023, false},
                                           Transfer{1024, false}, Transfer{1025, false},
                                           Transfer{1500, false}, Transfer{kLarge, false}),
                         describe);

// Checksum mode starts only after 16 unanswered C (about 32 s): fewer sizes.
INSTANTIATE_TEST_SUITE_P(Sizes, SerialXModemFromSx,
                         ::testing::Values(Transfer{0, true}, Transfer{1, true},
                                           Transfer{1023, true}, Transfer{1024, true},
                                           Transfer{1025, true}, Transfer{1500, true},
                                           Transfer{kLarge, true}, Transfer{1, false},
                                           Transfer{1025, false}, Transfer{kLarge, false}),
                         describe);

} // namespace
