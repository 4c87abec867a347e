// The command table, the flash file, the options and the line's life.
#include "sim_fixture.h"

#include <chrono>
#include <csignal>
#include <unistd.h>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string filled(size_t size, char byte) {
    return std::string(size, byte);
}

const std::string kPinReply = "0x40000038 = 0x00000060\r\n";

TEST_F(SimTest, PrintsTerminalPathAndKeepsLinkWhileRunning) {
    std::string link = dir.file("ttyKELVO0");
    start({"--link", link});
    EXPECT_EQ(sim->tty().rfind("/dev/pts/", 0), 0u) << sim->tty();
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim->tty());
    host.close();
    EXPECT_EQ(sim->stop(), 0);
    EXPECT_FALSE(kt::fileExists(link));
}

TEST(SimOptions, HelpListsEveryOption) {
    kt::TempDir dir;
    kt::RunResult r = kt::run({KELVO_SIM_PATH, "--help"}, dir.path(), 10000);
    EXPECT_EQ(r.exit_code, 0);
    for (const char *option : {"--flash ",       "--flash-size",
                               "--log",          "--link",
                               "--pin-char",     "--dw-reply",
                               "--erase-ms",     "--baud-model",
                               "--latency-us",   "--no-ping",
                               "--ping-extra",   "--refuse-ucfg",
                               "--fwd-crc",      "--silent-after-blocks",
                               "--nak-storm",    "--wrong-digest",
                               "--erase-no-ack", "--erase-extra",
                               "--hangup-on",    "--hangup-after-blocks"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
}

TEST(SimOptions, BadValuesAreRefusedWithTheirReason) {
    kt::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--flash-size", "0"}, "--flash-size wants a byte count from 1 to 268435456"},
        {{"--erase-ms", "ten"}, "--erase-ms wants milliseconds from 0 to 3600000"},
        {{"--pin-char", "66"}, "--pin-char wants exactly one character"},
        {{"--hangup-on", "reboot"}, "--hangup-on: unknown command reboot"},
        {{"--frobnicate"}, "unknown option or missing value: --frobnicate"},
        {{"stray"}, "unexpected argument: stray"},
        {{"--dw-reply", "ab\\q"}, "--dw-reply: bad escape (use \\r \\n \\t \\\\ \\xHH)"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv{KELVO_SIM_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        kt::RunResult r = kt::run(argv, dir.path(), 10000);
        EXPECT_EQ(r.exit_code, 2) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, "kelvo_chipsim: " + c.message + "\nTry kelvo_chipsim --help.\n");
    }
}

TEST(SimFlashFile, LargerThanTheFlashIsRefusedAndLeftAlone) {
    kt::TempDir dir;
    std::string image = kt::randomBytes(5000, 7);
    kt::writeFile(dir.file("big.bin"), image);
    kt::RunResult r =
        kt::run({KELVO_SIM_PATH, "--flash", dir.file("big.bin"), "--flash-size", "4096"},
                dir.path(), 10000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "kelvo_chipsim: flash file " + dir.file("big.bin") +
                         " holds 5000 bytes, more than the flash size of 4096\n");
    EXPECT_EQ(kt::readFile(dir.file("big.bin")), image);
}

TEST(SimFlashFile, UnwritableFlashFileIsReportedAtStart) {
    kt::TempDir dir;
    std::string file = dir.file("missing/flash.bin");
    kt::RunResult r = kt::run({KELVO_SIM_PATH, "--flash", file}, dir.path(), 10000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "kelvo_chipsim: cannot write flash file " + file + ": No such file or directory\n");
}

TEST_F(SimTest, ShortFlashFileIsLoadedAndSavedWholeOnStop) {
    std::string start_bytes = "0123456789";
    start({"--flash-size", "4096"}, &start_bytes);
    EXPECT_EQ(flash(), start_bytes + filled(4086, '\xFF'));
}

TEST_F(SimTest, NewFlashIsErasedDefaultSize) {
    start({});
    EXPECT_EQ(flash(), filled(4 * 1024 * 1024, '\xFF'));
}

TEST_F(SimTest, ReadWordReplyCarriesThePinCharacterAtIndex21) {
    start({});
    std::string reply = ask(host, "DW 40000038\r\n");
    EXPECT_EQ(reply, kPinReply);
    EXPECT_EQ(reply[21], '6');
    EXPECT_EQ(ask(host, "DW 3FF00004\n"), "0x3FF00004 = 0x00000000\r\n");
}

TEST_F(SimTest, PinCharacterAndWholeReplyCanBeChosen) {
    start({"--pin-char", "D"});
    EXPECT_EQ(ask(host, "DW 40000038\r\n"), "0x40000038 = 0x000000D0\r\n");
    sim->stop();
    start({"--dw-reply", "short\\r\\n"});
    EXPECT_EQ(ask(host, "DW 40000038\r\n"), "short\r\n");
}

TEST_F(SimTest, PingAndWriteWordAnswers) {
    start({});
    EXPECT_EQ(ask(host, "ping\n"), "ping");
    EXPECT_EQ(ask(host, "DW 40002800\r\n"), "0x40002800 = 0x00000000\r\n");
    EXPECT_EQ(ask(host, "EW 40002800 7EFFFFFF\n"), "OK");
    EXPECT_EQ(ask(host, "DW 40002800\r\n"), "0x40002800 = 0x7EFFFFFF\r\n") << "kept";
}

TEST_F(SimTest, PingFaults) {
    start({"--no-ping"});
    EXPECT_EQ(ask(host, "ping\n", 1200), "");
    sim->stop();
    start({"--ping-extra"});
    EXPECT_EQ(ask(host, "ping\n"), "ping\r\n");
}

// The host closes its port after "ucfg" and reopens it at the new rate.
TEST_F(SimTest, LineConfigAnswersOnlyOnceTheHostRunsAtTheNewRate) {
    start({});
    host.write("ucfg 921600 0 0\n");
    EXPECT_EQ(host.readFor(1000), "") << "answered before the host switched";
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 921600));
    EXPECT_EQ(host.readReply(1500), "OK");
}

TEST_F(SimTest, LineConfigAtAnArbitraryRateAndAtTheSameRate) {
    start({});
    host.write("ucfg 1234567 0 0\n");
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 1234567));
    EXPECT_EQ(host.readReply(1500), "OK");
    host.write("ucfg 1234567 0 0\n");
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 1234567));
    EXPECT_EQ(host.readReply(1500), "OK");
}

// At an unchanged rate only the host's discarding of its input on close
// tells that it is about to reopen; a slow host must not miss the answer.
TEST_F(SimTest, LineConfigAtTheSameRateWaitsForASlowHostsClose) {
    start({});
    host.write("ucfg 115200 0 0\n");
    usleep(400 * 1000);
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 115200));
    EXPECT_EQ(host.readReply(1500), "OK");
}

TEST_F(SimTest, RefusedLineConfig) {
    start({"--refuse-ucfg"});
    host.write("ucfg 115200 0 0\n");
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 115200));
    EXPECT_EQ(host.readReply(1500), "ERR ucfg refused\r\n");
}

TEST_F(SimTest, ChipEraseTakesTheEraseTimeThenErasesEverything) {
    std::string before = filled(8192, '\x5A');
    start({"--flash-size", "8192", "--erase-ms", "400"}, &before);
    auto sent = Clock::now();
    EXPECT_EQ(ask(host, "ceras 0 1\n", 3000), "OK");
    EXPECT_GE(msSince(sent), 400);
    EXPECT_EQ(kt::readFile(sim->flashFile()), filled(8192, '\xFF')) << "saved at once";
    EXPECT_EQ(flash(), filled(8192, '\xFF'));
}

TEST_F(SimTest, EraseAcknowledgementFaults) {
    std::string before = filled(4096, '\x11');
    start({"--flash-size", "4096", "--erase-ms", "50", "--erase-no-ack"}, &before);
    EXPECT_EQ(ask(host, "ceras 0 1\n", 1200), "");
    EXPECT_EQ(ask(host, "seras 0 16 0 1\n", 1200), "");
    EXPECT_EQ(flash(), filled(4096, '\xFF'));
    start({"--flash-size", "4096", "--erase-ms", "50", "--erase-extra"}, &before);
    EXPECT_EQ(ask(host, "ceras 0 1\n"), "OK\r\n");
    EXPECT_EQ(ask(host, "seras 0 16 0 1\n"), "OK\r\n");
}

TEST_F(SimTest, SectorEraseErasesExactlyTheRange) {
    std::string before = filled(8192, '\0');
    start({"--flash-size", "8192"}, &before);
    EXPECT_EQ(ask(host, "seras 100 0x200 0 1\n"), "OK");
    EXPECT_EQ(ask(host, "seras 00001000 16 0 1\n"), "OK");
    EXPECT_EQ(ask(host, "seras 1F00 0x101 0 1\n"), "ERR out of range\r\n");
    EXPECT_EQ(ask(host, "seras FFFFFFFFFFFFFFFF 2 0 1\n"), "ERR out of range\r\n");
    std::string expected = before;
    expected.replace(0x100, 0x200, filled(0x200, '\xFF'));
    expected.replace(0x1000, 16, filled(16, '\xFF'));
    EXPECT_EQ(flash(), expected);
}

TEST_F(SimTest, CommandsNamingAnotherFlashPinAreRefused) {
    start({});
    EXPECT_EQ(ask(host, "ceras 0 0\n"), "ERR flash pin\r\n");
    EXPECT_EQ(ask(host, "fwd 0 0 1000\n"), "ERR flash pin\r\n");
    sim->stop();
    // A pin character the host cannot read leaves the host's own choice.
    start({"--pin-char", "x", "--erase-ms", "0"});
    EXPECT_EQ(ask(host, "ceras 0 0\n"), "OK");
    EXPECT_EQ(ask(host, "ceras 0 1\n"), "OK");
}

TEST_F(SimTest, MalformedLinesGetAnErrorAndTheLoaderGoesOn) {
    start({});
    EXPECT_EQ(ask(host, "reboot now\n"), "ERR unknown command\r\n");
    EXPECT_EQ(ask(host, "ping 1\n"), "ERR wrong number of arguments\r\n");
    EXPECT_EQ(ask(host, "DW 4000zz38\n"), "ERR bad argument\r\n");
    EXPECT_EQ(ask(host, "ucfg 115200 1 0\n"), "ERR bad argument\r\n");
    EXPECT_EQ(ask(host, "seras 100 -5 0 1\n"), "ERR bad argument\r\n");
    EXPECT_EQ(ask(host, "hashq 99999999999999999999 0 1\n"), "ERR bad argument\r\n");
    EXPECT_EQ(ask(host, "\n"), "ERR empty command\r\n");
    EXPECT_EQ(ask(host, "fwd 0 1 " + filled(5000, '0') + "\n"), "ERR line too long\r\n");
    EXPECT_EQ(ask(host, "hashq 16 0 1\n"), "ERR nothing written\r\n");
    EXPECT_EQ(ask(host, "ping\n"), "ping");
}

TEST_F(SimTest, CommandLogHoldsEachLineExactlyAsReceived) {
    start({"--erase-ms", "0"});
    ask(host, "DW 40000038\r\n");
    ask(host, "ping\n");
    ask(host, "bogus\n");
    ask(host, "ceras 0 1\n");
    EXPECT_EQ(sim->commandLog(), "DW 40000038\r\nping\nbogus\nceras 0 1\n");
}

TEST_F(SimTest, HangUpOnACommandClosesTheLineAndSavesTheFlash) {
    start({"--flash-size", "1024", "--hangup-on", "ping"});
    EXPECT_EQ(ask(host, "EW 40002800 7EFFFFFF\n"), "OK");
    auto sent = Clock::now();
    EXPECT_EQ(ask(host, "ping\n", 3000), "");
    EXPECT_TRUE(host.hungUp());
    EXPECT_LT(msSince(sent), 2500);
    EXPECT_EQ(sim->stop(), 0);
    EXPECT_EQ(kt::readFile(sim->flashFile()), filled(1024, '\xFF'));
}

TEST_F(SimTest, StopDuringALongEraseIsPromptAndSaves) {
    std::string before = filled(2048, '\x22');
    start({"--flash-size", "2048", "--erase-ms", "600000"}, &before);
    host.write("ceras 0 1\n");
    host.readFor(200);
    auto stopAt = Clock::now();
    EXPECT_EQ(sim->stop(), 0);
    EXPECT_LT(msSince(stopAt), 5000);
    EXPECT_EQ(kt::readFile(sim->flashFile()), before) << "an interrupted erase erases nothing";
}

TEST_F(SimTest, LatencyDelaysEveryReply) {
    start({"--latency-us", "300000"});
    auto sent = Clock::now();
    EXPECT_EQ(ask(host, "ping\n"), "ping");
    EXPECT_GE(msSince(sent), 300);
}

} // namespace
} // namespace simtest
