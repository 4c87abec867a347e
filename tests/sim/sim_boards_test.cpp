// Boards that come and go in a simulated fixture: nobody answers while no
// board is in, each board has its own erased flash saved at its removal,
// and a board hears the host only at its own line rate.
#include "sim_fixture.h"

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace simtest {
namespace {

class SimBoards : public SimTest {
  protected:
    void control(const std::string &line) {
        int fd = ::open(dir.file("control").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        std::string text = line + "\n";
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the bay acts within 50 ms
    }
    // "ucfg" to rate: the host switches as the real tool does.
    void switchTo(long rate) {
        ASSERT_TRUE(host.write("ucfg " + std::to_string(rate) + " 0 0\n"));
        host.close();
        ASSERT_TRUE(host.open(sim->tty(), rate));
        EXPECT_EQ(host.readReply(), "OK");
    }
};

TEST_F(SimBoards, EachBoardAnswersAtItsRateAndLeavesItsFlash) {
    start({"--absent", "--control", dir.file("control"), "--flash-size", "8192"});
    EXPECT_EQ(ask(host, "ping\n", 600), "") << "no board yet";
    control("insert");
    EXPECT_EQ(ask(host, "ping\n"), "ping");
    switchTo(921600);
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 115200));
    // Past the moment of the switch (a line sent just before it still counts).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ask(host, "ping\n", 800), "") << "a switched board is deaf at 115200";
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 921600));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ask(host, "ping\n"), "ping");
    control("remove");
    EXPECT_EQ(ask(host, "ping\n", 600), "") << "taken out";
    EXPECT_EQ(kt::readFile(dir.file("simflash.bin.1")).size(), 8192u);
    control("insert");
    host.close();
    ASSERT_TRUE(host.open(sim->tty(), 115200));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ask(host, "ping\n"), "ping") << "a new board starts at 115200";
    control("remove");
    EXPECT_TRUE(kt::fileExists(dir.file("simflash.bin.2")));
    host.close();
    EXPECT_EQ(sim->stop(), 0);
    EXPECT_FALSE(kt::fileExists(dir.file("control"))) << "the FIFO is removed at exit";
}

TEST_F(SimBoards, FaultsOnlyForTheBoardsListed) {
    start({"--absent", "--control", dir.file("control"), "--no-ping", "--faulty-boards", "2"});
    control("insert");
    EXPECT_EQ(ask(host, "ping\n"), "ping");
    control("insert"); // takes board 1 out first
    EXPECT_EQ(ask(host, "ping\n", 600), "") << "board 2 is faulty";
    EXPECT_TRUE(kt::fileExists(dir.file("simflash.bin.1")));
}

// A board running its own firmware prints its banner and hears nothing;
// the next board is reset into its boot loader and has forgotten the words
// the last one was given.
TEST_F(SimBoards, ABootLogBoardTalksAndTheNextStartsAfresh) {
    start({"--absent", "--control", dir.file("control"), "--boot-log", "--faulty-boards", "2"});
    control("insert");
    EXPECT_EQ(ask(host, "EW 40002800 7EFFFFFF\n"), "OK");
    control("insert");
    std::string banner = ask(host, "ping\n", 1000);
    EXPECT_NE(banner.find("boot"), std::string::npos) << banner;
    EXPECT_EQ(banner.find("ping"), std::string::npos) << "the firmware takes no commands";
    control("insert");
    EXPECT_EQ(ask(host, "DW 40002800\r\n"), "0x40002800 = 0x00000000\r\n");
}

TEST(SimBoardOptions, RefusesWhatMakesNoSense) {
    kt::TempDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"--boards", "0"},
                                          {"--board-interval", "-1"},
                                          {"--faulty-boards", "1,,2"},
                                          {"--absent", "--plain-xmodem"}}) {
        args.insert(args.begin(), KELVO_SIM_PATH);
        kt::RunResult r = kt::run(args, dir.path(), 10000);
        EXPECT_EQ(r.exit_code, 2) << args[1];
    }
}

} // namespace
} // namespace simtest
