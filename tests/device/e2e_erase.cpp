// "-erase chip" and "-erase sector" end to end: command bytes, flash
// contents, accepted and refused offsets and lengths.
#include "e2e_support.h"

namespace dt {
namespace {

const std::string kConnected = "Ping received, beginning erase\n"
                               "device Configs set successfully\n";

class Erase : public DeviceTest {};

TEST_F(Erase, ChipEraseLeavesFlashErased) {
    seedFlash();
    startSim({"--erase-ms", "300"});
    kt::RunResult r = cli({"-erase", "chip"});
    EXPECT_EQ(r.out, kConnected + "Received:OK length:2\nErase successful\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(commandLog(), connectLog() + "ceras 0 1\n");
    EXPECT_TRUE(flash() == std::string(kFlashSize, '\xFF'));
}

TEST_F(Erase, SectorCommandGoesOutAsTyped) {
    std::string before = seedFlash();
    startSim();
    kt::RunResult r = cli({"-erase", "sector", "0x00004000", "1000"});
    EXPECT_EQ(r.out, kConnected + "Erase sec cmd:seras 00004000 1000 0 1\n\n"
                                  "Received:OK length:2\nErase successful\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(commandLog(), connectLog() + "seras 00004000 1000 0 1\n");
    std::string after = flash();
    ASSERT_EQ(after.size(), kFlashSize);
    EXPECT_TRUE(after.substr(0, 0x4000) == before.substr(0, 0x4000));
    EXPECT_TRUE(after.substr(0x4000, 1000) == std::string(1000, '\xFF'));
    EXPECT_TRUE(after.substr(0x4000 + 1000) == before.substr(0x4000 + 1000));
}

// Three 4 KiB sectors at 1.5 s each: far beyond one read window, well
// within the erase's bound.
TEST_F(Erase, SlowSectorEraseIsAwaited) {
    std::string before = seedFlash();
    startSim({"--sector-erase-ms", "1500"});
    kt::RunResult r = cli({"-erase", "sector", "0x4000", "0x3000"});
    EXPECT_EQ(r.out, kConnected + "Erase sec cmd:seras 4000 0x3000 0 1\n\n"
                                  "Received:OK length:2\nErase successful\n");
    EXPECT_EQ(r.exit_code, 0);
    std::string after = flash();
    ASSERT_EQ(after.size(), kFlashSize);
    EXPECT_TRUE(after.substr(0x4000, 0x3000) == std::string(0x3000, '\xFF'));
    EXPECT_TRUE(after.substr(0x7000) == before.substr(0x7000));
}

TEST_F(Erase, FifteenCharacterTextsGoOut) {
    startSim();
    kt::RunResult r = cli({"-erase", "sector", "0x0000000004000", "000000000004096"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(commandLog(), connectLog() + "seras 0000000004000 000000000004096 0 1\n");
}

TEST_F(Erase, SectorAcceptsShortOffsetAndHexLength) {
    rec_.flash_pin = 1;
    startSim({"--pin-char", "a"}); // lower case: the record's pin stays
    kt::RunResult r = cli({"-erase", "sector", "0x4000", "0x1000"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(commandLog(), connectLog() + "seras 4000 0x1000 0 1\n");
}

TEST_F(Erase, SectorPinZeroFromWordReply) {
    rec_.flash_pin = 1;
    startSim({"--pin-char", "9"});
    kt::RunResult r = cli({"-erase", "sector", "0x7000", "4096"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(commandLog(), connectLog() + "seras 7000 4096 0 0\n");
}

struct Refusal {
    const char *offset;
    const char *length;
    const char *reason;
};

TEST_F(Erase, SectorRefusalsSendNothing) {
    const char *format = "Erase Offset format incorrect.(specify 0x...)";
    const char *range = "Erase Offset out of range";
    const char *length = "Erase Length format incorrect.(specify a number)";
    const Refusal cases[] = {
        {"4000", "1000", format},
        {"0X4000", "1000", format},
        {"x4000", "1000", format},
        {"0xZZ", "1000", format},
        {"0x", "1000", format},
        {"0x10 ", "1000", format},
        {"0x80000000", "1000", range},
        {"0x100004000", "1000", range},
        {"0x4000", "10 0", length},
        {"0x4000", "1000\nceras 0 1", length},
        {"0x4000", "", length},
        {"0x4000", "-1", length},
        {"0x4000", "0x", length},
        {"0x4000", "1k", length},
        // Longer than 15 characters, however harmless the value.
        {"0x00000000004000", "1000", format},
        {"0x0000000004000", "0000000000001000", length},
    };
    startSim();
    std::string huge = "0x" + std::string(5000, '0') + "4000";
    kt::RunResult r = cli({"-erase", "sector", huge, "1000"});
    EXPECT_EQ(r.out, std::string("Device setting not done\n") + format + "\n");
    EXPECT_EQ(r.exit_code, 1);
    for (const Refusal &c : cases) {
        kt::RunResult r = cli({"-erase", "sector", c.offset, c.length});
        EXPECT_EQ(r.out, std::string("Device setting not done\n") + c.reason + "\n")
            << c.offset << " / " << c.length;
        EXPECT_EQ(r.exit_code, 1);
    }
    EXPECT_EQ(commandLog(), "");
}

} // namespace
} // namespace dt
