// SLIP stuffing on the port, and the CRC-16 of the XModem blocks.
#include "KelvoPG_core.h"
#include "serial_util.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using st::timeMs;

class SerialSlip : public ::testing::Test {
  protected:
    void SetUp() override {
        st::StdoutCapture quiet;
        fd = serialport_open(pty.slave().c_str(), 115200);
        ASSERT_GT(fd, 0);
        serialport_set_timeout(200);
    }
    void TearDown() override {
        serialport_close();
        infohelper_set_infolevel(1);
    }

    int32_t send(const std::string &data) {
        return serialport_send_slip(reinterpret_cast<const uint8_t *>(data.data()),
                                    static_cast<uint32_t>(data.size()));
    }

    // What the other end sees for expectedSize bytes.
    std::string onTheLine(size_t expectedSize) {
        return st::readBytes(pty.master(), expectedSize + 1, 1000);
    }

    st::PtyPair pty;
    int32_t fd = -1;
};

// Every byte doubled: the worst case for the single-write buffer.
std::string allSpecial(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(i % 2 ? '\xDB' : '\xC0');
    }
    return s;
}

std::string stuffed(const std::string &data) {
    std::string s;
    for (char c : data) {
        s += c == '\xC0'   ? std::string("\xDB\xDC")
             : c == '\xDB' ? std::string("\xDB\xDD")
                           : std::string(1, c);
    }
    return s;
}

TEST_F(SerialSlip, SpecialBytesAreEscapedInOneWrite) {
    st::resetWriteCount();
    EXPECT_EQ(send(std::string("\x01\xC0\xDB", 3)), 3);
    EXPECT_EQ(st::writesOn(fd), 1);
    EXPECT_EQ(onTheLine(5), std::string("\x01\xDB\xDC\xDB\xDD", 5));
}

TEST_F(SerialSlip, LongBuffersGoOutByteByByte) {
    std::string limit = allSpecial(2047);
    st::resetWriteCount();
    EXPECT_EQ(send(limit), 2047);
    EXPECT_EQ(st::writesOn(fd), 1);
    EXPECT_EQ(onTheLine(4094), stuffed(limit));

    std::string longer = allSpecial(2046) + "ab";
    st::resetWriteCount();
    EXPECT_EQ(send(longer), 2048);
    EXPECT_EQ(st::writesOn(fd), 2048);
    EXPECT_EQ(onTheLine(4094), stuffed(longer));
}

TEST_F(SerialSlip, SingleWritePathRefusesWhatDoesNotFit) {
    std::string big(2048, 'a');
    st::StdoutCapture cap;
    EXPECT_EQ(serialport_send_slip_static(reinterpret_cast<const uint8_t *>(big.data()), 2048), 0);
    EXPECT_EQ(cap.finish(), "error: serialport_send_slip_static: 2048 bytes, at most 2047 fit\n");
    EXPECT_EQ(st::readBytes(pty.master(), 1, 200), "");
}

TEST_F(SerialSlip, ReceiveUnescapes) {
    st::writeBytes(pty.master(), std::string("\xDB\xDC\xDB\xDD\xC0\x41", 6));
    uint8_t buf[4] = {};
    EXPECT_EQ(serialport_receive_slip(buf, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), std::string("\xC0\xDB\xC0\x41", 4));
}

TEST_F(SerialSlip, ReceiveFailuresSayWhy) {
    uint8_t buf[4] = {};
    st::StdoutCapture cap;
    st::writeBytes(pty.master(), std::string("\xDB\x41", 2));
    EXPECT_EQ(serialport_receive_slip(buf, 1), 0);
    st::writeBytes(pty.master(), "x");
    EXPECT_EQ(serialport_receive_slip(buf, 2), 0);
    st::writeBytes(pty.master(), "\xDB");
    EXPECT_EQ(serialport_receive_slip(buf, 1), 0);
    EXPECT_EQ(serialport_receive_slip(buf, 0), 0);
    EXPECT_EQ(cap.finish(), "error: unslip sequence wrong\n"
                            "error: failed reading byte\n"
                            "error: failed reading byte for unslip\n");
    EXPECT_EQ(buf[0], 'x'); // what was stored stays
}

TEST_F(SerialSlip, Delimiters) {
    EXPECT_EQ(serialport_send_C0(), 1);
    EXPECT_EQ(onTheLine(1), "\xC0");
    st::StdoutCapture cap;
    st::writeBytes(pty.master(), "\xC0\x41");
    EXPECT_EQ(serialport_receive_C0(), 1);
    EXPECT_EQ(serialport_receive_C0(), 0);
    long silent = timeMs([] { EXPECT_EQ(serialport_receive_C0(), 0); });
    EXPECT_EQ(cap.finish(), "");
    EXPECT_GE(silent, 200);
    EXPECT_LT(silent, 1500);

    infohelper_set_infolevel(3);
    st::StdoutCapture detail;
    st::writeBytes(pty.master(), "\x41");
    EXPECT_EQ(serialport_receive_C0(), 0);
    EXPECT_EQ(detail.finish(), "\tserialport_receive_C0: 41 instead of C0\n");
}

TEST_F(SerialSlip, SendingWithoutAPortFails) {
    serialport_close();
    st::StdoutCapture cap;
    EXPECT_EQ(serialport_send_C0(), 0);
    EXPECT_EQ(send("ab"), 0);
    EXPECT_EQ(send(std::string(3000, 'a')), 0);
    EXPECT_EQ(cap.finish(), "error: failed sending 0xC0\n"
                            "error: failed sending 2 bytes\n"
                            "error: failed sending byte 0\n");
}

// Bit by bit, as the polynomial defines it.
uint16_t referenceCrc(const std::string &data) {
    uint16_t crc = 0;
    for (unsigned char c : data) {
        crc ^= static_cast<uint16_t>(c << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = crc & 0x8000 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                               : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

TEST(SerialCrc, MatchesTheXModemCrc) {
    EXPECT_EQ(crc16_ccitt("123456789", 9), 0x31C3);
    EXPECT_EQ(crc16_ccitt("123456789", 0), 0);
    EXPECT_EQ(crc16_ccitt("123456789", -5), 0);
    std::mt19937 gen(7);
    for (int round = 0; round < 50; ++round) {
        std::string data(gen() % 1100, '\0');
        for (char &c : data) {
            c = static_cast<char>(gen());
        }
        ASSERT_EQ(crc16_ccitt(data.data(), static_cast<int32_t>(data.size())), referenceCrc(data));
    }
}

} // namespace
