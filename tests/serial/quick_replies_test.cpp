// Quick replies at the serial layer: the quiet gap's rule, and replies and
// stale input framed on a pseudo-terminal (the bytes are all there before
// each read, so nothing depends on timing).
#include "KelvoPG_core.h"
#include "line/quick_replies.h"
#include "serial_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

TEST(QuietGap, LargestOfFloorLatencyTimerCharacterTimesAndTheUsersValue) {
    struct Case {
        int latencyTimerMs;
        uint32_t rate;
        const char *userMs; // KELVO_QUICK_GAP_MS, or nullptr
        uint32_t gapMs;
    };
    const Case cases[] = {
        {-1, 3000000, nullptr, 20}, // a pty at a fast rate: the floor
        {1, 1000000, nullptr, 20},  // low-latency adapter: still the floor
        {16, 1000000, nullptr, 48}, // default FTDI timer: three of them
        {-1, 9600, nullptr, 67},    // 64 characters at 9600, rounded up
        {-1, 2400, nullptr, 267},     {16, 115200, "100", 100}, // raised by the user
        {16, 115200, "5", 48},                                  // never lowered
        {-1, 115200, "99999", 1000},                            // capped at a whole window
        {-1, 115200, "ten", 20},                                // not a number: ignored
        {255, 1000000, nullptr, 765},
    };
    for (const Case &c : cases) {
        if (c.userMs != nullptr) {
            setenv("KELVO_QUICK_GAP_MS", c.userMs, 1);
        }
        EXPECT_EQ(kelvo_line::quietGapMs(c.latencyTimerMs, c.rate), c.gapMs)
            << c.latencyTimerMs << " ms timer, " << c.rate << " baud, "
            << (c.userMs ? c.userMs : "");
        unsetenv("KELVO_QUICK_GAP_MS");
    }
}

TEST(QuickRepliesSwitch, ProgramSettingOverridesTheEnvironment) {
    setenv("KELVO_QUICK_REPLIES", "1", 1);
    EXPECT_EQ(kelvo_quick_replies(), 1);
    kelvo_set_quick_replies(0);
    EXPECT_EQ(kelvo_quick_replies(), 0);
    unsetenv("KELVO_QUICK_REPLIES");
    kelvo_set_quick_replies(1);
    EXPECT_EQ(kelvo_quick_replies(), 1);
    kelvo_set_quick_replies(0);
}

TEST(FramedReply, StaleInputIsDroppedAndCountedAndAReplyEndsInItsWindow) {
    st::PtyPair pty;
    ASSERT_NE(serialport_open(pty.slave().c_str(), 115200), 0);
    st::writeBytes(pty.master(), "left over\r\n");
    // The terminal takes them in on its own time: drop until all came.
    uint32_t dropped = 0;
    for (int i = 0; i < 400 && dropped < 11; ++i) {
        dropped += serialport_discard_input();
        if (dropped < 11) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(dropped, 11u);
    EXPECT_EQ(serialport_discard_input(), 0u);

    st::writeBytes(pty.master(), "OK");
    uint8_t buf[100] = {};
    EXPECT_EQ(serialport_read_framed(buf, sizeof buf, 1000, 20), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 2), "OK");

    // A byte put back comes first; a reply that fills the buffer ends there.
    st::writeBytes(pty.master(), "abc");
    serialport_put_back(0x15);
    EXPECT_EQ(serialport_read_framed(buf, 2, 1000, 20), 2);
    EXPECT_EQ(buf[0], 0x15);
    EXPECT_EQ(buf[1], 'a');
    // Nothing comes: nothing is read, within the window.
    serialport_discard_input();
    EXPECT_EQ(serialport_read_framed(buf, sizeof buf, 50, 20), 0);
    serialport_close();
}

} // namespace
