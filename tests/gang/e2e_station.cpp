// kelvo_pgtool_gang --watch end to end: simulated fixtures whose boards are
// put in and taken out through the simulator's control FIFO, or by its
// simulated operator, and one station that programs each board once.
#include "KelvoPG_core.h"
#include "kelvo_test.h"
#include "station_run.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <dirent.h>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <random>
#include <regex>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

using gt::count;
using gt::sha256Hex;
using gt::StationRun;
using gt::waitFor;

// A fixture: a simulator in a directory of its own, with a control FIFO.
class Fixture {
  public:
    Fixture(const std::string &dir, const std::string &name, std::vector<std::string> args)
        : home_(dir + "/" + name) {
        ::mkdir(home_.c_str(), 0755);
        plugIn(args);
    }
    const std::string &tty() const { return sim_->tty(); }
    // Unplugs the fixture's adapter: the simulator and its terminal go away.
    void unplug() { sim_.reset(); }
    // Plugs it in again under the same link, with a new simulator.
    void plugIn(std::vector<std::string> args) {
        args.insert(args.end(),
                    {"--absent", "--control", home_ + "/control", "--flash-size", "262144"});
        sim_ = std::make_unique<kt::ChipSim>(home_, args);
    }
    void control(const std::string &line) {
        int fd = ::open((home_ + "/control").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << "no control FIFO";
        std::string text = line + "\n";
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }
    // The flash of board n once it has been taken out.
    std::string removedFlash(int n) const {
        return kt::readFile(sim_->flashFile() + "." + std::to_string(n));
    }
    std::string commands() const { return sim_->commandLog(); }
    // The flash of the board in the fixture, as saved after its last write.
    std::string flash() const { return kt::readFile(sim_->flashFile()); }

  private:
    std::string home_;
    std::unique_ptr<kt::ChipSim> sim_;
};

class Station : public ::testing::Test {
  protected:
    // The image and a recipe for it; extra lines replace or add keys.
    void writeRecipe(size_t imageSize, const std::string &sha = "", const std::string &extra = "",
                     int baud = 921600) {
        image_ = kt::randomBytes(imageSize, 7);
        kt::writeFile(dir_.file("image.bin"), image_);
        std::string text = "name = \"widget-fw 2.1\"\n"
                           "image = \"image.bin\"\n"
                           "sha256 = \"" +
                           (sha.empty() ? sha256Hex(image_) : sha) +
                           "\"\n"
                           "flash_offset = \"0x0\"\n"
                           "baudrate = " +
                           std::to_string(baud) +
                           "\n"
                           "chip_erase = false\n"
                           "hash_verify = true\n"
                           "keep_sys_data = false\n"
                           "keep_wifi_data = false\n" +
                           extra;
        kt::writeFile(dir_.file("recipe.toml"), text);
    }
    bool holdsImage(const std::string &flash) const {
        return flash.size() >= image_.size() && flash.compare(0, image_.size(), image_) == 0;
    }
    std::string dir() const { return dir_.path(); }

    kt::TempDir dir_;
    std::string image_;
};

// Descriptors that any process may be seen holding on the terminal.
int handlesOn(const std::string &tty) {
    int n = 0;
    DIR *proc = ::opendir("/proc");
    while (const dirent *p = proc == nullptr ? nullptr : ::readdir(proc)) {
        std::string fds = std::string("/proc/") + p->d_name + "/fd";
        DIR *dir = std::isdigit(static_cast<unsigned char>(p->d_name[0])) ? ::opendir(fds.c_str())
                                                                          : nullptr;
        while (const dirent *fd = dir == nullptr ? nullptr : ::readdir(dir)) {
            char target[256] = {};
            std::string link = fds + "/" + fd->d_name;
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && tty == target) {
                ++n;
            }
        }
        if (dir != nullptr) {
            ::closedir(dir);
        }
    }
    if (proc != nullptr) {
        ::closedir(proc);
    }
    return n;
}

std::string label(const Fixture &fixture) {
    return fixture.tty().substr(fixture.tty().rfind('/') + 1);
}

// A slot's event line as the station prints it, from the space after the
// time: "1: board 1 removed" must not be found in "11: board 1 removed".
std::string event(const Fixture &fixture, const std::string &what) {
    return " " + label(fixture) + ": " + what;
}

TEST_F(Station, BoardsInsertedOneAfterAnotherAreEachProgrammedOnceAndLogged) {
    writeRecipe(8000, "", "quick_replies = true\n");
    Fixture a(dir(), "a", {}), b(dir(), "b", {}), c(dir(), "c", {});
    StationRun station(dir(), {"--recipe", "recipe.toml", "--log", "log.csv", "--station", "L2",
                               "--operator", "ann", a.tty(), b.tty(), c.tty()});
    ASSERT_TRUE(station.sawTimes(": waiting", 3, 20)) << station.output();
    for (Fixture *f : {&a, &b, &c}) {
        f->control("insert");
        ASSERT_TRUE(station.saw(event(*f, "board 1 programming"), 20)) << station.output();
    }
    for (Fixture *f : {&a, &b, &c}) {
        ASSERT_TRUE(station.saw(event(*f, "board 1 PASS"), 60)) << station.output();
    }
    // Left in place well past the removal time: never programmed again.
    std::this_thread::sleep_for(seconds(3));
    for (Fixture *f : {&a, &b, &c}) {
        f->control("remove");
        ASSERT_TRUE(station.saw(event(*f, "board 1 removed"), 20)) << station.output();
        EXPECT_EQ(count(f->commands(), "fwd "), 1u) << f->commands();
        EXPECT_TRUE(holdsImage(f->removedFlash(1))) << label(*f);
    }
    station.key('q');
    EXPECT_EQ(station.exitStatus(), 0) << station.output();
    std::string out = station.output();
    EXPECT_EQ(out.find('\033'), std::string::npos) << "screen control in a pipe: " << out;
    EXPECT_EQ(out.find("board 2"), std::string::npos) << out;
    EXPECT_NE(out.find("station  3 passed, 0 failed, yield 100.0 %"), std::string::npos) << out;
    std::string log = kt::readFile(dir_.file("log.csv"));
    EXPECT_EQ(log.substr(0, log.find('\n') + 1),
              "time,port,adapter_serial,usb_id,image,image_size,image_sha256,flash_offset,"
              "chip_erase,hash_verify,result,result_text,seconds,tool_version,station,operator,"
              "slot,board,recipe,recipe_sha256,reply_framing\r\n");
    EXPECT_NE(out.find("Reply framing: quick replies\n"), std::string::npos) << out;
    std::string recipeSha = sha256Hex(kt::readFile(dir_.file("recipe.toml")));
    for (Fixture *f : {&a, &b, &c}) {
        EXPECT_NE(log.find("176,ok,"), std::string::npos) << log;
        EXPECT_NE(log.find(",L2,ann," + label(*f) + ",1,widget-fw 2.1," + recipeSha + ",quick\r\n"),
                  std::string::npos)
            << log;
    }
}

// Directories named gang-* in dir.
std::vector<std::string> runDirectories(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            if (std::string(e->d_name).compare(0, 5, "gang-") == 0) {
                names.push_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    return names;
}

// A station that programs no board leaves no empty run directory behind.
TEST_F(Station, TheRunDirectoryComesWithTheFirstBoard) {
    writeRecipe(3000);
    Fixture a(dir(), "a", {});
    {
        StationRun idle(dir(), {"--recipe", "recipe.toml", a.tty()}, "idle.out");
        ASSERT_TRUE(idle.saw(": waiting", 20)) << idle.output();
        idle.key('q');
        EXPECT_EQ(idle.exitStatus(), 0) << idle.output();
        EXPECT_EQ(idle.output().find("Output of each board"), std::string::npos) << idle.output();
    }
    EXPECT_EQ(runDirectories(dir()), std::vector<std::string>{});
    StationRun station(dir(), {"--recipe", "recipe.toml", a.tty()});
    ASSERT_TRUE(station.saw(": waiting", 20)) << station.output();
    EXPECT_EQ(runDirectories(dir()), std::vector<std::string>{});
    a.control("insert");
    ASSERT_TRUE(station.saw(event(a, "board 1 PASS"), 60)) << station.output();
    std::vector<std::string> runs = runDirectories(dir());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(kt::fileExists(dir_.file(runs[0] + "/" + label(a) + "-1.log")));
    station.key('q');
    EXPECT_EQ(station.exitStatus(), 0) << station.output();
    EXPECT_NE(station.output().find("Output of each board: " + runs[0] + "\n"), std::string::npos)
        << station.output();
}

// The first three boards fail (their line configuration is refused), the
// fourth passes; the simulated operator swaps each board after 1.5 s.
TEST_F(Station, FailuresCountAndThreeInARowRaiseTheAlarmUntilAPass) {
    writeRecipe(4000);
    Fixture a(
        dir(), "a",
        {"--refuse-ucfg", "--faulty-boards", "1,2,3", "--boards", "4", "--board-interval", "1.5"});
    StationRun station(dir(), {"--recipe", "recipe.toml", a.tty()});
    ASSERT_TRUE(station.saw(event(a, "board 1 FAIL"), 60)) << station.output();
    EXPECT_NE(station.output().find("device configs not set"), std::string::npos)
        << station.output();
    ASSERT_TRUE(station.saw(event(a, "check fixture"), 90)) << station.output();
    EXPECT_EQ(count(station.output(), "check fixture"), 1u) << station.output();
    // q during the last board: it is finished first.
    ASSERT_TRUE(station.saw(event(a, "board 4 programming"), 30)) << station.output();
    station.key('q');
    EXPECT_EQ(station.exitStatus(), 0);
    EXPECT_NE(station.output().find(event(a, "board 4 PASS")), std::string::npos);
    std::string out = station.output();
    std::string summary = out.substr(out.rfind("\n" + label(a) + " ") + 1);
    summary = summary.substr(0, summary.find('\n'));
    EXPECT_NE(summary.find(" 1 passed, 3 failed, yield 25.0 %"), std::string::npos) << out;
    EXPECT_EQ(summary.find("CHECK FIXTURE"), std::string::npos) << "the pass ends the alarm";
    // The simulated operator takes the board out once the station has let
    // go of the line, which a loaded machine may delay past the exit.
    EXPECT_TRUE(waitFor([&] { return holdsImage(a.removedFlash(4)); }, seconds(10)));
}

TEST_F(Station, RefusedRecipeStopsWithStatusTwoBeforeAnyTraffic) {
    struct Case {
        const char *what;
        std::string sha;
        std::string extra;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"wrong digest", std::string(64, 'a'), "", "has SHA-256"},
        {"unknown key", "", "verify_twice = true\n", "unknown key \"verify_twice\""},
        {"short digest", "abc", "", "64 hexadecimal digits"},
        {"flag as text", "", "", "\"chip_erase\" must be true or false"},
    };
    Fixture a(dir(), "a", {});
    a.control("insert");
    for (const Case &c : cases) {
        writeRecipe(1000, c.sha, c.extra);
        if (std::string(c.what) == "flag as text") {
            std::string text = kt::readFile(dir_.file("recipe.toml"));
            text.replace(text.find("chip_erase = false"), 18, "chip_erase = \"no\"");
            kt::writeFile(dir_.file("recipe.toml"), text);
        }
        StationRun station(dir(), {"--recipe", "recipe.toml", a.tty()});
        EXPECT_EQ(station.exitStatus(), 2) << c.what;
        EXPECT_NE(station.output().find(c.message), std::string::npos)
            << c.what << ": " << station.output();
    }
    // The one-shot run takes the recipe too, with the same refusal.
    writeRecipe(1000, std::string(64, 'b'));
    kt::RunResult once = kt::run({KELVO_GANG_PATH, "--recipe", "recipe.toml", a.tty()}, dir());
    EXPECT_EQ(once.exit_code, 2) << once.err;
    EXPECT_EQ(a.commands(), "") << "something was sent";
}

// Ctrl-C while a board is being written cancels the transfer on its line.
TEST_F(Station, InterruptDuringProgrammingCancelsOnTheLine) {
    // At 115200 baud on the wire-time model the image takes seconds.
    writeRecipe(120000, "", "", 115200);
    Fixture a(dir(), "a", {"--baud-model", "--events", dir_.file("a/events.txt")});
    StationRun station(
        dir(), {"--recipe", "recipe.toml", "--log", "log.csv", "--output-dir", "out", a.tty()});
    a.control("insert");
    ASSERT_TRUE(station.saw("board 1 programming", 20)) << station.output();
    ASSERT_TRUE(waitFor(
        [&] {
            return kt::readFile(dir_.file("out/" + label(a) + "-1.log")).find("Downloading") !=
                   std::string::npos;
        },
        seconds(30)));
    station.signal(SIGINT);
    EXPECT_EQ(station.exitStatus(30), 130) << station.output();
    EXPECT_NE(station.output().find("board 1 INTERRUPTED"), std::string::npos) << station.output();
    EXPECT_NE(station.output().find("\nInterrupted, must be programmed again: " + label(a) +
                                    " board 1\n"),
              std::string::npos)
        << station.output();
    EXPECT_NE(kt::readFile(dir_.file("log.csv")).find(",188,interrupted,"), std::string::npos);
    EXPECT_TRUE(waitFor(
        [&] { return kt::readFile(dir_.file("a/events.txt")).rfind("xmodem cancelled ", 0) == 0; },
        seconds(5)))
        << kt::readFile(dir_.file("a/events.txt"));
}

std::string holders(const std::string &tty) {
    char text[1024];
    return kelvo_describe_port_holders(tty.c_str(), text, sizeof text) > 0 ? text : "";
}

// A station killed outright (no chance to cancel anything) leaves no slot
// behind, whatever its slots were doing: waiting, programming or holding.
// Their ports are free for the next station at once.
TEST_F(Station, KilledAtAnyMomentLeavesNoSlotHoldingItsPort) {
    writeRecipe(60000, "", "", 115200);
    Fixture a(dir(), "a", {"--baud-model"}), b(dir(), "b", {"--baud-model"});
    a.control("insert");
    unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(200, 9000);
    for (int round = 0; round < 4; ++round) {
        int delay = moment(random);
        StationRun station(dir(),
                           {"--recipe", "recipe.toml", "--output-dir", "out", a.tty(), b.tty()},
                           "station-" + std::to_string(round) + ".out");
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        station.signal(SIGKILL);
        station.exitStatus(10);
        EXPECT_TRUE(waitFor([&] { return holders(a.tty()) + holders(b.tty()) == ""; }, seconds(10)))
            << "killed after " << delay << " ms (seed " << seed << "):\n"
            << holders(a.tty()) << holders(b.tty()) << station.output();
    }
}

// One fixture's adapter unplugged in the middle of a board: that board
// fails, the slot waits for the adapter, and programs the next board once
// it is back; the other fixture goes on as if nothing happened.
TEST_F(Station, AVanishedAdapterIsWaitedForWhileTheOtherSlotGoesOn) {
    writeRecipe(4000);
    std::string link = dir_.file("a/tty");
    Fixture a(dir(), "a", {"--link", link}), b(dir(), "b", {});
    StationRun station(dir(), {"--recipe", "recipe.toml", "--log", "log.csv", "--output-dir", "out",
                               "A=" + link, "B=" + b.tty()});
    a.control("insert");
    ASSERT_TRUE(station.saw("A: board 1 programming", 20)) << station.output();
    b.control("insert");
    // Unplugged once the board's download has the line, not before it opens it.
    ASSERT_TRUE(waitFor(
        [&] {
            return kt::readFile(dir_.file("out/A-1.log")).find("Ping received") !=
                   std::string::npos;
        },
        seconds(30)));
    a.unplug();
    ASSERT_TRUE(station.saw("A: board 1 FAIL", 30)) << station.output();
    ASSERT_TRUE(station.saw("A: waiting: no device", 10)) << station.output();
    // The slot's label names the port; only the log repeats its path.
    EXPECT_NE(station.output().find("s): error: hung up"), std::string::npos) << station.output();
    EXPECT_NE(kt::readFile(dir_.file("log.csv")).find("\"error: " + link + ": hung up"),
              std::string::npos);
    ASSERT_TRUE(station.saw("B: board 1 PASS", 30)) << station.output();
    // A new image on disk changes nothing: the station says so once and
    // programs what it checked at the start.
    std::string checked = image_;
    kt::writeFile(dir_.file("image.bin"), kt::randomBytes(4000, 99));
    ASSERT_TRUE(station.saw("the image changed on disk", 10)) << station.output();
    a.plugIn({"--link", link});
    // The slot holds the node again beside its probe, so that neither the
    // probe's close nor the download's is the port's last (a reset).
    EXPECT_TRUE(waitFor([&] { return handlesOn(a.tty()) >= 3; }, seconds(20)))
        << "handles on the port, the simulator's own included: " << handlesOn(a.tty());
    a.control("insert");
    ASSERT_TRUE(station.saw("A: board 2 PASS", 40)) << station.output();
    EXPECT_EQ(a.flash().compare(0, checked.size(), checked), 0);
    station.key('q');
    EXPECT_EQ(station.exitStatus(), 0) << station.output();
    EXPECT_EQ(count(station.output(), "the image changed on disk"), 1u);
}

// Before any slot starts: a port held by another program, a name given
// twice, a path that is no serial port, the same port twice (there or not
// yet). Nothing is sent.
TEST_F(Station, PortsItCannotUseStopItWithStatusTwo) {
    writeRecipe(1000);
    Fixture a(dir(), "a", {});
    a.control("insert");
    kt::writeFile(dir_.file("plain-file"), "");
    int holder = ::open(a.tty().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    struct Case {
        std::vector<std::string> ports;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"A=" + a.tty()}, "busy"},
        {{"A=/dev/null"}, "/dev/null: not a serial port"},
        {{"A=/dev/null", "A=" + dir_.file("plain-file")}, "the same slot name twice"},
        {{dir_.file("plain-file")}, "plain-file"},
        {{dir_.file("ttyLATER"), dir_.file("ttyLATER")}, "the same port twice"},
        {{dir_.file("ttyLATER"), dir() + "/./ttyLATER"}, "the same port twice"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"--recipe", "recipe.toml"};
        args.insert(args.end(), c.ports.begin(), c.ports.end());
        StationRun station(dir(), args);
        EXPECT_EQ(station.exitStatus(), 2) << station.output();
        EXPECT_NE(station.output().find(c.message), std::string::npos) << station.output();
    }
    ::close(holder);
    EXPECT_EQ(a.commands(), "");
}

// A board taken out and the next put in at once (the simulator swaps them
// on one control line) after each kind of end of the first: the second is
// programmed, even at 115200 where both answer at the same rate.
TEST_F(Station, AQuicklySwappedBoardIsProgrammed) {
    struct Case {
        int baud;
        std::vector<std::string> fault;
        const char *first;
    };
    const std::vector<Case> cases = {
        {115200, {}, "board 1 PASS"},
        {115200, {"--wrong-digest"}, "board 1 FAIL"},
        {921600, {"--refuse-ucfg"}, "board 1 FAIL"},
    };
    for (const Case &c : cases) {
        writeRecipe(4000, "", "", c.baud);
        std::vector<std::string> args{"--faulty-boards", "1"};
        args.insert(args.end(), c.fault.begin(), c.fault.end());
        std::string name = "swap" + std::to_string(&c - cases.data());
        Fixture a(dir(), name, args);
        // Output of its own: a terminal of an earlier case may have the same name.
        StationRun station(dir(), {"--recipe", "recipe.toml", a.tty()}, name + ".out");
        a.control("insert");
        ASSERT_TRUE(station.saw(event(a, c.first), 60)) << station.output();
        a.control("insert");
        ASSERT_TRUE(station.saw(event(a, "board 2 PASS"), 60)) << c.first << station.output();
        EXPECT_TRUE(holdsImage(a.flash())) << c.baud;
        station.key('q');
        EXPECT_EQ(station.exitStatus(), 0) << station.output();
    }
}

// A board running its own firmware is shown, counted and logged, and taken
// for removed once it falls silent; the next board is programmed. A port
// not there yet is named once at the start.
TEST_F(Station, ABoardNotInDownloadModeIsShownCountedAndLogged) {
    writeRecipe(4000);
    Fixture a(dir(), "a", {"--boot-log", "--faulty-boards", "1"});
    StationRun station(dir(), {"--recipe", "recipe.toml", "--log", "log.csv", "A=" + a.tty(),
                               "B=" + dir_.file("ttyLATER")});
    ASSERT_TRUE(station.saw("B: waiting: no device", 20)) << station.output();
    EXPECT_EQ(count(station.output(), "warning: " + dir_.file("ttyLATER") + " is not there yet"),
              1u)
        << station.output();
    a.control("insert");
    ASSERT_TRUE(station.saw("A: board 1 NOT IN DOWNLOAD MODE", 30)) << station.output();
    a.control("insert"); // swapped for a board in download mode, which is silent
    ASSERT_TRUE(station.saw("A: board 1 removed", 30)) << station.output();
    ASSERT_TRUE(station.saw("A: board 2 PASS", 60)) << station.output();
    station.key('q');
    EXPECT_EQ(station.exitStatus(), 0) << station.output();
    EXPECT_NE(station.output().find("\nA        1 passed, 1 failed"), std::string::npos)
        << station.output();
    EXPECT_EQ(count(a.commands(), "fwd "), 1u) << "board 1 got no download";
    EXPECT_NE(kt::readFile(dir_.file("log.csv")).find(",181,not in download mode,"),
              std::string::npos)
        << kt::readFile(dir_.file("log.csv"));
}

// The station on a terminal of its own (a pseudo-terminal): what it drew,
// and its exit status once q was typed.
struct ScreenRun {
    std::string screen;
    std::string beforeKey; // what was drawn before q was typed
    int status = -1;
};

ScreenRun runOnTerminal(const std::string &dir, const std::vector<std::string> &args, bool noColor,
                        const std::function<void(int master)> &meanwhile) {
    ScreenRun run;
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    std::string slavePath = ::ptsname(master);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        int slave = ::open(slavePath.c_str(), O_RDWR); // the controlling terminal
        winsize size{24, 80, 0, 0};
        ::ioctl(slave, TIOCSWINSZ, &size);
        for (int fd : {0, 1, 2}) {
            ::dup2(slave, fd);
        }
        ::setenv("TERM", "xterm-256color", 1);
        noColor ? ::setenv("NO_COLOR", "1", 1) : ::unsetenv("NO_COLOR");
        std::vector<char *> raw{const_cast<char *>(KELVO_GANG_PATH), const_cast<char *>("--watch")};
        for (const std::string &a : args) {
            raw.push_back(const_cast<char *>(a.c_str()));
        }
        raw.push_back(nullptr);
        if (::chdir(dir.c_str()) == 0) {
            ::execv(raw[0], raw.data());
        }
        ::_exit(127);
    }
    auto drain = [&](int ms) {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            pollfd p{master, POLLIN, 0};
            char buf[4096];
            ssize_t n = ::poll(&p, 1, 50) > 0 ? ::read(master, buf, sizeof buf) : 0;
            if (n < 0) {
                return; // every writer has closed the terminal
            }
            run.screen.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
    };
    drain(3000);
    meanwhile(master);
    drain(1500);
    run.beforeKey = run.screen;
    EXPECT_EQ(::write(master, "q", 1), 1);
    int status = 0;
    waitFor(
        [&] {
            drain(100);
            return ::waitpid(pid, &status, WNOHANG) == pid;
        },
        seconds(20));
    drain(300);
    ::close(master);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST_F(Station, OperatorScreenOnATerminalWithAndWithoutColourFollowsAResize) {
    writeRecipe(1000);
    Fixture a(dir(), "a", {}), b(dir(), "b", {}), c(dir(), "c", {});
    // Names that differ only before a long common end, as by-id names do.
    const std::string end = "-usb-serial-uart-if00-port0";
    std::vector<std::string> args{"--recipe",
                                  "recipe.toml",
                                  "--station",
                                  "L9",
                                  "left" + end + "=" + a.tty(),
                                  "mid" + end + "=" + b.tty(),
                                  "right" + end + "=" + c.tty()};
    const std::regex background("\033\\[(4[0-7]|[0-9;]*;4[0-7])m");
    for (bool noColor : {true, false}) {
        ScreenRun run = runOnTerminal(dir(), args, noColor, [&](int master) {
            winsize small{4, 20, 0, 0};
            ::ioctl(master, TIOCSWINSZ, &small);
        });
        EXPECT_EQ(run.status, 0) << run.screen;
        for (const char *text :
             {"STATION L9", "widget-fw 2.1", "left", "mid", "right", "WAITING"}) {
            EXPECT_NE(run.screen.find(text), std::string::npos) << text << "\n" << run.screen;
        }
        EXPECT_EQ(run.beforeKey.find("-usb-serial"), std::string::npos) << run.screen;
        EXPECT_EQ(std::regex_search(run.screen, background), !noColor) << run.screen;
        // Three tiles do not fit 20 x 4: only the resize can have said so,
        // and without a key typed.
        EXPECT_NE(run.beforeKey.find("The terminal is"), std::string::npos) << run.screen;
        EXPECT_TRUE(std::regex_search(run.screen, std::regex("station +0 passed, 0 failed")));
    }
}

} // namespace
