// kelvo_pgtool_gang end to end: several kelvo_chipsim instances, each on its
// own pseudo-terminal, programmed by one run of the real program.
#include "KelvoPG_core.h"
#include "kelvo_test.h"
#include "station_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using gt::sha256Hex;

using Clock = std::chrono::steady_clock;
constexpr int kRunTimeoutMs = 180000;
const char kHeader[] =
    "time,port,adapter_serial,usb_id,image,image_size,image_sha256,"
    "flash_offset,chip_erase,hash_verify,result,result_text,seconds,"
    "tool_version,station,operator,slot,board,recipe,recipe_sha256,reply_framing\r\n";

[[noreturn]] void execIn(const std::vector<std::string> &argv, const std::string &cwd) {
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    if (::chdir(cwd.c_str()) == 0) {
        ::execv(args[0], args.data());
    }
    ::_exit(127);
}

// A simulator in a directory of its own; its standard error goes to a file.
class Sim {
  public:
    Sim(const std::string &dir, const std::string &name, const std::vector<std::string> &faults)
        : home_(dir + "/" + name) {
        ::mkdir(home_.c_str(), 0755);
        std::vector<std::string> argv{KELVO_SIM_PATH,         "--flash", home_ + "/flash.bin",
                                      "--flash-size",         "262144",  "--log",
                                      home_ + "/commands.log"};
        argv.insert(argv.end(), faults.begin(), faults.end());
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            int err = ::open((home_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out[1], 1);
            ::dup2(err, 2);
            execIn(argv, home_);
        }
        ::close(out[1]);
        tty_ = firstLine(out[0]);
        ::close(out[0]);
    }
    ~Sim() { stop(); }
    const std::string &tty() const { return tty_; }
    std::string commandLog() const { return kt::readFile(home_ + "/commands.log"); }
    std::string events() const { return kt::readFile(home_ + "/events.txt"); }
    std::string flash() {
        stop();
        return kt::readFile(home_ + "/flash.bin");
    }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    static std::string firstLine(int fd) {
        std::string text;
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            char buf[256];
            ssize_t n = ::poll(&p, 1, 100) > 0 ? ::read(fd, buf, sizeof buf) : 0;
            if (n < 0 || (n == 0 && p.revents)) {
                break;
            }
            text.append(buf, static_cast<size_t>(n));
        }
        return text.substr(0, text.find('\n'));
    }
    std::string home_, tty_;
    pid_t pid_ = -1;
};

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, sep)) {
        parts.push_back(part);
    }
    return parts;
}

class GangRun : public ::testing::Test {
  protected:
    void interruptMidTransfer(const std::function<void(pid_t)> &deliver, int exitStatus);

    // The record as "-set" writes it, pointing at image.bin; its device is
    // never set, as on a station where only the ports are given.
    void writeSetup(size_t imageSize, int baud = 1000000) {
        image_ = kt::randomBytes(imageSize, 11);
        kt::writeFile(dir_.file("image.bin"), image_);
        DeviceSetting rec;
        default_device_setting(&rec);
        std::strcpy(rec.image, "image.bin");
        rec.baudrate = baud;
        kt::writeFile(dir_.file("record.dat"),
                      std::string(reinterpret_cast<char *>(&rec), sizeof rec));
    }
    kt::RunResult gang(const std::vector<std::string> &args) {
        std::vector<std::string> argv{KELVO_GANG_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return kt::run(argv, dir_.path(), kRunTimeoutMs);
    }
    // The log row of this port, split into its columns (quoted ones unquoted).
    std::vector<std::string> logRow(const std::string &port) {
        for (const std::string &line : split(kt::readFile(dir_.file("log.csv")), '\n')) {
            std::vector<std::string> row = csvFields(line);
            if (row.size() > 1 && row[1] == port) {
                return row;
            }
        }
        return {};
    }
    static std::vector<std::string> csvFields(const std::string &line) {
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            char c = line[i];
            if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += c;
                ++i;
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                fields.emplace_back();
            } else if (c != '\r' || quoted) {
                fields.back() += c;
            }
        }
        return fields;
    }
    // text: the whole result_text, or with prefixOnly its start.
    void expectLogRow(const std::string &port, const std::string &result, const std::string &text,
                      bool prefixOnly = false, const std::string &framing = "specified") {
        std::vector<std::string> row = logRow(port);
        ASSERT_EQ(row.size(), 21u) << port;
        EXPECT_EQ(row[20], framing) << port;
        EXPECT_EQ(row[4], dir_.file("image.bin"));
        EXPECT_EQ(row[5], std::to_string(image_.size()));
        EXPECT_EQ(row[6], sha256Hex(image_));
        EXPECT_EQ(row[7] + row[8] + row[9], "0x000001");
        EXPECT_EQ(row[10], result) << port;
        EXPECT_EQ(prefixOnly ? row[11].substr(0, text.size()) : row[11], text) << port;
        EXPECT_EQ(row[13], KELVO_VERSION);
        // No station, no recipe: each port's one board, under its label.
        EXPECT_EQ(row[14] + row[15] + row[18] + row[19], "");
        EXPECT_EQ(row[17], "1");
    }
    // The table's row of a slot, from its label to the line's end.
    static std::string tableRow(const std::string &out, const std::string &label) {
        size_t at = out.find("\n" + label + "  ", out.find("PORT  "));
        return at == std::string::npos ? "" : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    }
    static std::string label(const Sim &sim) { return sim.tty().substr(sim.tty().rfind('/') + 1); }
    std::string dirOfRun(const std::string &out) {
        size_t at = out.find("Output of each board: ");
        return at == std::string::npos ? "" : out.substr(at + 22, out.find('\n', at) - at - 22);
    }

    kt::TempDir dir_;
    std::string image_;
};

TEST_F(GangRun, QuickRepliesReachEveryBoardAndTheLog) {
    writeSetup(5000);
    Sim a(dir_.path(), "a", {"--realistic-timing"});
    kt::RunResult r = gang({"--quick-replies", "--log", "log.csv", a.tty()});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Reply framing: quick replies\n", 0), 0u) << r.out;
    std::string board = kt::readFile(dir_.file(dirOfRun(r.out) + label(a) + ".log"));
    EXPECT_NE(board.find("Reply framing: quick replies (quiet gap 20 ms)\n"), std::string::npos)
        << board;
    expectLogRow(a.tty(), "176", "ok", false, "quick");
}

TEST_F(GangRun, EveryBoardProgrammedLoggedAndPipedWithoutCarriageReturns) {
    writeSetup(20000);
    Sim a(dir_.path(), "a", {"--link", dir_.file("ttyKELVO0")});
    Sim b(dir_.path(), "b", {});
    Sim c(dir_.path(), "c", {});
    kt::writeFile(dir_.file("log.csv"), ""); // an empty log gets its header too
    kt::RunResult r = gang({"--log", "log.csv", "./ttyKELVO0", "slot-b=" + b.tty(), c.tty()});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    size_t rowA = r.out.find("\nttyKELVO0  ");
    size_t rowB = r.out.find("\nslot-b  ");
    size_t rowC = r.out.find("\n" + label(c) + "  ", rowB);
    EXPECT_LT(r.out.find("PORT  "), rowA); // the table, in the order given, by label
    EXPECT_LT(rowA, rowB);
    EXPECT_LT(rowB, rowC);
    EXPECT_NE(kt::readFile(dir_.file(dirOfRun(r.out) + "slot-b.log")).find("End Download"),
              std::string::npos);
    EXPECT_NE(r.out.find("3 of 3 boards programmed\n"), std::string::npos) << r.out;
    std::string run = dirOfRun(r.out);
    EXPECT_EQ(run.compare(0, 5, "gang-"), 0) << run;
    EXPECT_EQ(
        kt::readFile(dir_.file(run + "ttyKELVO0.log")).rfind("Beginning XModem Download...\n", 0),
        0u);
    EXPECT_NE(kt::readFile(dir_.file(run + "ttyKELVO0.log")).find("End Download"),
              std::string::npos);

    EXPECT_EQ(kt::readFile(dir_.file("log.csv")).compare(0, sizeof kHeader - 1, kHeader), 0);
    EXPECT_EQ(split(kt::readFile(dir_.file("log.csv")), '\n').size(), 4u);
    for (const std::string &port : {std::string("./ttyKELVO0"), b.tty(), c.tty()}) {
        expectLogRow(port, "176", "ok");
    }
    for (Sim *sim : {&a, &b, &c}) {
        EXPECT_EQ(sim->flash().substr(0, image_.size()), image_);
    }
}

TEST_F(GangRun, FailedBoardsNamedWithTheirReasonsWhileTheOthersSucceed) {
    writeSetup(20000);
    Sim good(dir_.path(), "good", {});
    Sim noPing(dir_.path(), "noping", {"--no-ping"});
    Sim digest(dir_.path(), "digest", {"--wrong-digest"});
    Sim hangUp(dir_.path(), "hangup", {"--hangup-after-blocks", "3"});
    kt::RunResult r = gang({"--log", "log.csv", "--output-dir", "out", good.tty(), noPing.tty(),
                            digest.tty(), hangUp.tty()});
    ASSERT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    auto row = [&](const Sim &sim) { return tableRow(r.out, label(sim)); };
    // The serial layer's words for a line that went away; the table leaves
    // out the path that the label names already, the log keeps it.
    std::string hangUpReason = "error: " + hangUp.tty() + ": ";
    EXPECT_NE(row(good).find("  ok  "), std::string::npos) << r.out;
    EXPECT_NE(row(noPing).find("  FAILED       device ping not received  "), std::string::npos)
        << r.out;
    EXPECT_NE(row(digest).find("  FAILED       HashVerify Fail  "), std::string::npos) << r.out;
    EXPECT_NE(row(hangUp).find("  FAILED       error: hung up"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(hangUp.tty()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 of 4 boards programmed\nOutput of each board: out/\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(kt::readFile(dir_.file("log.csv")).compare(0, sizeof kHeader - 1, kHeader), 0);
    expectLogRow(good.tty(), "176", "ok");
    expectLogRow(noPing.tty(), "181", "device ping not received");
    expectLogRow(digest.tty(), "184", "HashVerify Fail");
    expectLogRow(hangUp.tty(), "184", hangUpReason, true);
    EXPECT_EQ(good.flash().substr(0, image_.size()), image_);
}

TEST_F(GangRun, UsageAndSettingsErrorsStopBeforeAnyTraffic) {
    writeSetup(20000);
    Sim sim(dir_.path(), "a", {"--link", dir_.file("ttyKELVO0")});
    kt::writeFile(dir_.file("plain"), "");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case usage[] = {
        {{sim.tty(), "./ttyKELVO0"},
         "kelvo_pgtool_gang: the same port twice: " + sim.tty() + " and ./ttyKELVO0 are " +
             sim.tty() + "\n"},
        {{}, "kelvo_pgtool_gang: no port given\n"},
        {{"--log", "log.csv"}, "kelvo_pgtool_gang: no port given\n"},
        {{"--fast", sim.tty()}, "kelvo_pgtool_gang: unknown option: --fast\n"},
        {{sim.tty(), "plain"},
         "kelvo_pgtool_gang: plain: not a serial port (not a character device)\n"},
    };
    for (const Case &c : usage) {
        kt::RunResult r = gang(c.args);
        EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err + "Try 'kelvo_pgtool_gang --help' for more information.\n");
    }
    // A device no board can answer on is the station's mistake: no row.
    kt::RunResult null = gang({"--log", "log.csv", sim.tty(), "/dev/null"});
    EXPECT_EQ(null.exit_code, 2) << null.out << null.err;
    EXPECT_EQ(null.err, "kelvo_pgtool_gang: /dev/null: not a serial port\n"
                        "kelvo_pgtool_gang: nothing was sent to any port\n");
    EXPECT_FALSE(kt::fileExists(dir_.file("log.csv")));
    // A FIFO without a reader as the log would block for ever: refused
    // before any port is taken (the log's other refusals: GangCsv tests).
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0644), 0);
    kt::RunResult fifo = gang({"--log", "fifo", "--output-dir", "out", sim.tty()});
    EXPECT_EQ(fifo.exit_code, 1) << fifo.err;
    EXPECT_EQ(fifo.err, "kelvo_pgtool_gang: cannot open log file fifo: not a regular file\n");
    EXPECT_FALSE(kt::fileExists(dir_.file("out")));
    // A record whose image cannot be read: the single download's message.
    DeviceSetting rec;
    default_device_setting(&rec);
    std::strcpy(rec.image, "missing.bin");
    kt::writeFile(dir_.file("record.dat"), std::string(reinterpret_cast<char *>(&rec), sizeof rec));
    kt::RunResult r = gang({"--log", "log.csv", sim.tty()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Cannot read image file missing.bin: No such file or directory\n");
    std::strcpy(rec.image, "image.bin");
    std::strcpy(rec.flash_offset, "0x80000000");
    kt::writeFile(dir_.file("record.dat"), std::string(reinterpret_cast<char *>(&rec), sizeof rec));
    r = gang({sim.tty()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Device setting not done\nFlash Offset out of range\n");
    // A chip erase with a keep option: refused before any worker starts.
    std::strcpy(rec.flash_offset, "0x0000");
    rec.chip_erase = 1;
    rec.keep_wifi_data = 1;
    kt::writeFile(dir_.file("record.dat"), std::string(reinterpret_cast<char *>(&rec), sizeof rec));
    r = gang({"--log", "log.csv", sim.tty()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "error: chip_erase 1 would erase the Wi-Fi data that keep_wifi_data 1 asks "
                     "to keep: set chip_erase 0 to keep it, or keep_wifi_data 0 to let it be "
                     "erased\n");

    EXPECT_EQ(sim.commandLog(), "");
    EXPECT_FALSE(kt::fileExists(dir_.file("log.csv")));
    EXPECT_EQ(kt::readFile(dir_.file("record.dat")),
              std::string(reinterpret_cast<char *>(&rec), sizeof rec)); // never written
}

// Directories another local user could change, and a password file others
// can read: refused with what to do, before any port hears a byte.
TEST_F(GangRun, UnsafeDirectoriesAndPasswordFilesStopBeforeAnyTraffic) {
    writeSetup(20000);
    Sim sim(dir_.path(), "a", {});
    for (const char *loose : {"loose", "sticky"}) {
        ASSERT_EQ(::mkdir(dir_.file(loose).c_str(), 0700), 0);
    }
    ASSERT_EQ(::chmod(dir_.file("loose").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir_.file("sticky").c_str(), 01777), 0);
    kt::writeFile(dir_.file("pw"), "secret\n");
    ASSERT_EQ(::chmod(dir_.file("pw").c_str(), 0644), 0);
    const std::string cfx = "amqp://u@127.0.0.1:9/queue/x";
    const std::string nothing = "kelvo_pgtool_gang: nothing was sent to any port\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--output-dir", "loose", sim.tty()},
         "kelvo_pgtool_gang: --output-dir refused: loose is writable by every user (mode 0777), "
         "who could put files or links in it; use a directory of your own, or remove that "
         "permission (chmod o-w loose)\n" +
             nothing},
        {{"--cfx", cfx, "--output-dir", "sticky/run", sim.tty()},
         "kelvo_pgtool_gang: the CFX spool sticky/cfx-spool (beside the run directory) refused: "
         "sticky is writable by every user (mode 1777), who could put files or links in it; use "
         "a directory of your own, or remove that permission (chmod o-w sticky); or give "
         "--cfx-spool DIR\n" +
             nothing},
        {{"--cfx", cfx, "--cfx-spool", "loose", sim.tty()},
         "kelvo_pgtool_gang: --cfx-spool refused: loose is writable by every user (mode 0777), "
         "who could put files or links in it; use a directory of your own, or remove that "
         "permission (chmod o-w loose)\n" +
             nothing},
        {{"--cfx", cfx, "--cfx-password-file", "pw", sim.tty()},
         "kelvo_pgtool_gang: cannot take the password from pw: other users may read or change "
         "it (mode 0644); make it readable by its owner only (chmod 600 pw)\n"
         "Try 'kelvo_pgtool_gang --help' for more information.\n"},
    };
    for (const Case &c : cases) {
        kt::RunResult r = gang(c.args);
        EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_FALSE(kt::fileExists(dir_.file("loose/cfx-spool")));
    EXPECT_FALSE(kt::fileExists(dir_.file("sticky/cfx-spool")));
    EXPECT_EQ(sim.commandLog(), "");
}

// Started where record.dat is not, either mode says so in one line and
// touches neither the port nor the directory.
TEST_F(GangRun, NoRecordInTheDirectoryNamesTheWayOut) {
    Sim sim(dir_.path(), "a", {});
    for (const char *mode : {"--log", "--watch"}) {
        std::vector<std::string> args{sim.tty()};
        if (std::string(mode) == "--log") {
            args.insert(args.begin(), {"--log", "log.csv"});
        } else {
            args.insert(args.begin(), "--watch");
        }
        kt::RunResult r = gang(args);
        EXPECT_EQ(r.exit_code, 2) << mode;
        EXPECT_EQ(r.out, "") << mode;
        EXPECT_EQ(r.err, "kelvo_pgtool_gang: no record.dat in this directory: give the settings "
                         "with --recipe FILE, or run where record.dat is\n")
            << mode;
    }
    EXPECT_EQ(sim.commandLog(), "");
    EXPECT_FALSE(kt::fileExists(dir_.file("log.csv")));
    EXPECT_FALSE(kt::fileExists(dir_.file("record.dat")));
}

// Starts the program with its output in gang.out, or its standard output
// on terminal; returns its pid.
pid_t startGang(const std::vector<std::string> &args, const std::string &dir, int terminal = -1,
                rlim_t fileSizeLimit = RLIM_INFINITY) {
    std::vector<std::string> argv{KELVO_GANG_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open((dir + "/gang.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(terminal >= 0 ? terminal : out, 1);
        ::dup2(out, 2);
        rlimit limit{fileSizeLimit, fileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        execIn(argv, dir);
    }
    return pid;
}

int waitExit(pid_t pid) {
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

using gt::waitFor;

// Interrupts a run of two boards mid-transfer with deliver(gang's pid) and
// checks that both transfers were cancelled on their lines.
void GangRun::interruptMidTransfer(const std::function<void(pid_t)> &deliver, int exitStatus) {
    // At 115200 baud on the simulator's wire-time model the image takes
    // about twenty seconds: long enough to be interrupted mid-transfer.
    writeSetup(230000, 115200);
    Sim a(dir_.path(), "a", {"--baud-model", "--events", dir_.file("a/events.txt")});
    Sim b(dir_.path(), "b", {"--baud-model", "--events", dir_.file("b/events.txt")});
    ASSERT_FALSE(a.tty().empty() || b.tty().empty()) << "kelvo_chipsim did not start";
    pid_t pid =
        startGang({"--log", "log.csv", "--output-dir", "out", a.tty(), b.tty()}, dir_.path());
    auto writing = [&](const Sim &sim) {
        std::string name = sim.tty().substr(sim.tty().rfind('/') + 1);
        return kt::readFile(dir_.file("out/" + name + ".log")).find("Downloading ---- ") !=
               std::string::npos;
    };
    auto transferring = [&] { return writing(a) && writing(b); };
    ASSERT_TRUE(waitFor(transferring, std::chrono::seconds(60)))
        << kt::readFile(dir_.file("gang.out"));
    deliver(pid);
    int status = 0;
    ASSERT_TRUE(
        waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30)));
    std::string out = kt::readFile(dir_.file("gang.out"));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), exitStatus) << out;
    EXPECT_NE(out.find("0 of 2 boards programmed\n"), std::string::npos) << out;
    for (Sim *sim : {&a, &b}) {
        std::string line = tableRow(out, label(*sim));
        ASSERT_NE(line, "") << out;
        std::istringstream row(line);
        std::string port, result;
        row >> port >> result; // the port column is as wide as the longest name
        EXPECT_EQ(result, "interrupted") << out;
        expectLogRow(sim->tty(), "188", "interrupted");
        // The cancel is on the line; a loaded simulator may take a moment
        // to read it behind the block in flight.
        waitFor([&] { return !sim->events().empty(); }, std::chrono::seconds(10));
        sim->stop();
        EXPECT_EQ(sim->events().compare(0, 17, "xmodem cancelled "), 0) << sim->events();
    }
}

TEST_F(GangRun, InterruptCancelsEveryTransferOnItsLine) {
    interruptMidTransfer([](pid_t gang) { ::kill(gang, SIGINT); }, 130);
}

// A service manager stopping the station signals every process at once:
// the workers must not take the parent's relay for a second Ctrl-C.
TEST_F(GangRun, SignalToEveryProcessStillCancelsOnTheLine) {
    auto everyProcess = [](pid_t gang) {
        std::istringstream children(kt::readFile("/proc/" + std::to_string(gang) + "/task/" +
                                                 std::to_string(gang) + "/children"));
        ::kill(gang, SIGTERM);
        for (pid_t worker; children >> worker;) {
            ::kill(worker, SIGTERM);
        }
    };
    interruptMidTransfer(everyProcess, 143);
}

// A log that reaches the file size limit fails like a full disk: the run
// goes on, the table is printed, the cut row is removed again.
TEST_F(GangRun, LogPastTheFileSizeLimitFailsTheRunButKeepsTheTable) {
    writeSetup(20000);
    Sim sim(dir_.path(), "a", {});
    std::string log = kHeader;
    while (log.size() < 200000) { // larger than a board's output file
        log += "2026-12-07T15:56:36Z,/dev/ttyUSB0,,,/x.bin,1,ab,0x0,0,0,176,ok,1.0,1\r\n";
    }
    kt::writeFile(dir_.file("log.csv"), log);
    pid_t pid = startGang({"--log", "log.csv", "--output-dir", "out", sim.tty()}, dir_.path(), -1,
                          log.size() + 10);
    EXPECT_EQ(waitExit(pid), 1);
    std::string out = kt::readFile(dir_.file("gang.out"));
    EXPECT_NE(out.find("1 of 1 boards programmed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("kelvo_pgtool_gang: cannot write log file log.csv: File too large\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(kt::readFile(dir_.file("log.csv")), log);
    EXPECT_EQ(sim.flash().substr(0, image_.size()), image_);
}

// A second run on ports that the first is programming takes nothing from
// it: it names the holder and stops before any traffic, without a row.
TEST_F(GangRun, PortsHeldByAnotherRunStopTheRunBeforeAnyTraffic) {
    writeSetup(60000, 115200);
    Sim a(dir_.path(), "a", {"--baud-model"});
    Sim b(dir_.path(), "b", {"--baud-model"});
    Sim idle(dir_.path(), "idle", {});
    pid_t first =
        startGang({"--log", "log.csv", "--output-dir", "out", a.tty(), b.tty()}, dir_.path());
    ASSERT_TRUE(waitFor(
        [&] {
            return kt::readFile(dir_.file("out/" + label(b) + ".log")).find("Downloading") !=
                   std::string::npos;
        },
        std::chrono::seconds(60)));
    std::string workers = kt::readFile("/proc/" + std::to_string(first) + "/task/" +
                                       std::to_string(first) + "/children");
    kt::RunResult second =
        gang({"--log", "log.csv", "--output-dir", "out2", idle.tty(), a.tty(), b.tty()});
    EXPECT_EQ(second.exit_code, 2) << second.err;
    EXPECT_EQ(second.out, "");
    std::istringstream lines(second.err);
    std::string line;
    for (const Sim *sim : {&a, &b}) {
        ASSERT_TRUE(std::getline(lines, line)) << second.err;
        std::string start = "kelvo_pgtool_gang: " + sim->tty() + ": busy, locked by process ";
        EXPECT_EQ(line.compare(0, start.size(), start), 0) << line;
        std::istringstream rest(line.substr(std::min(line.size(), start.size())));
        std::string pid, name;
        rest >> pid >> name;
        EXPECT_NE((" " + workers).find(" " + pid + " "), std::string::npos) << workers;
        EXPECT_EQ(name, "(kelvo_pgtool_gang)"); // not the kernel's 15 characters
    }
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "kelvo_pgtool_gang: nothing was sent to any port");
    EXPECT_FALSE(kt::fileExists(dir_.file("out2")));

    EXPECT_EQ(waitExit(first), 0) << kt::readFile(dir_.file("gang.out"));
    EXPECT_EQ(split(kt::readFile(dir_.file("log.csv")), '\n').size(), 3u);
    expectLogRow(a.tty(), "176", "ok");
    expectLogRow(b.tty(), "176", "ok");
    EXPECT_EQ(idle.commandLog(), "");
    EXPECT_EQ(a.flash().substr(0, image_.size()), image_);
    EXPECT_EQ(b.flash().substr(0, image_.size()), image_);
}

// What a terminal of 5 rows and 40 columns receives while six ports with
// long names are programmed: the frame never scrolls, no line is wider.
TEST_F(GangRun, LiveViewAndTableFitASmallTerminal) {
    const size_t kRows = 5, kCols = 40;
    writeSetup(20000);
    std::vector<std::unique_ptr<Sim>> sims;
    std::vector<std::string> args{"--output-dir", "out"};
    for (int i = 0; i < 6; ++i) {
        std::string name = "usb-FTDI_FT232R_USB_UART_A50285B" + std::to_string(i) + "-if00-port0";
        sims.push_back(std::make_unique<Sim>(dir_.path(), std::to_string(i),
                                             std::vector<std::string>{"--link", dir_.file(name)}));
        args.push_back(dir_.file(name));
    }
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    winsize size{kRows, kCols, 0, 0};
    ASSERT_EQ(::ioctl(slave, TIOCSWINSZ, &size), 0);
    pid_t pid = startGang(args, dir_.path(), slave);
    ::close(slave);
    std::string screen;
    for (;;) { // until the program and its workers have closed the terminal
        pollfd p{master, POLLIN, 0};
        char buf[4096];
        ssize_t n = ::poll(&p, 1, kRunTimeoutMs) > 0 ? ::read(master, buf, sizeof buf) : -1;
        if (n <= 0) {
            break;
        }
        screen.append(buf, static_cast<size_t>(n));
    }
    ::close(master);
    EXPECT_EQ(waitExit(pid), 0) << kt::readFile(dir_.file("gang.out"));
    ASSERT_NE(screen.find("6 of 6 boards programmed"), std::string::npos) << screen;

    // Replays the cursor moves: up never past the lines drawn since the
    // last move, nor more than rows - 1; no line wider than the terminal.
    size_t drawn = 0, moves = 0, column = 0, widest = 0, badMoves = 0;
    for (size_t i = 0; i < screen.size(); ++i) {
        char c = screen[i];
        if (c == '\033') {
            size_t end = screen.find_first_of("ABCDHJK", i);
            ASSERT_NE(end, std::string::npos);
            if (screen[end] == 'A') {
                size_t up = std::stoul(screen.substr(i + 2, end - i - 2));
                badMoves += up > drawn || up > kRows - 1;
                drawn = 0;
                ++moves;
            }
            i = end;
        } else if (c == '\n') {
            ++drawn;
            column = 0;
        } else if (c == '\r') {
            column = 0;
        } else {
            widest = std::max(widest, ++column);
        }
    }
    EXPECT_GT(moves, 0u);
    EXPECT_EQ(badMoves, 0u) << screen;
    EXPECT_LT(widest, kCols) << screen;
    EXPECT_EQ(screen.find("/usb-FTDI"), std::string::npos) << screen;
}

} // namespace
