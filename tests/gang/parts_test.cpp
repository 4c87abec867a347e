// The parts of kelvo_pgtool_gang that need no board: CSV lines and the
// shared log file, the USB identity from a fabricated sysfs, the failure
// reason, port checks, the holders of a port, the command line and the
// text fitted to a terminal.
#include "common/board_identity.h"
#include "common/csv_log.h"
#include "common/failure_reason.h"
#include "kelvo_test.h"
#include "common/options.h"
#include "common/port_claim.h"
#include "common/ports.h"
#include "common/run_directory.h"
#include "common/safe_files.h"
#include "common/screen_text.h"
#include "oneshot/status_display.h"
#include "common/usb_identity.h"

#include "KelvoPG_core.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void makeDirs(const std::string &path) {
    std::string sofar;
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        sofar = path.substr(0, pos);
        ::mkdir(sofar.c_str(), 0755);
    }
}

void link(const std::string &target, const std::string &name) {
    ASSERT_EQ(::symlink(target.c_str(), name.c_str()), 0) << name;
}

TEST(GangCsv, HeaderOnlyIntoANewOrEmptyFileAndWholeLinesFromTwoWriters) {
    kt::TempDir dir;
    std::string path = dir.file("log.csv");
    kt::writeFile(path, ""); // present but empty
    std::string error;
    gang::CsvLog first, second;
    ASSERT_TRUE(first.open(path, {"h1", "h2"}, &error)) << error;
    ASSERT_TRUE(second.open(path, {"h1", "h2"}, &error)) << error; // not empty any more
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(first.append({"a", std::to_string(i)}, &error)) << error;
        ASSERT_TRUE(second.append({"b", std::to_string(i)}, &error)) << error;
    }
    ASSERT_TRUE(first.close(&error)) << error;
    ASSERT_TRUE(second.close(&error)) << error;
    EXPECT_EQ(kt::readFile(path), "h1,h2\r\na,0\r\nb,0\r\na,1\r\nb,1\r\na,2\r\nb,2\r\n");
}

// Quotes only what needs it, and text a spreadsheet would run as a formula
// as text; number columns as they are.
TEST(GangCsv, QuotingOfFieldsAndFormulas) {
    EXPECT_EQ(gang::csvLine({"a", "", "b c"}), "a,,b c\r\n");
    EXPECT_EQ(gang::csvLine({"x,y", "say \"hi\"", "two\nlines", "cr\r"}),
              "\"x,y\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\r\"\r\n");
    std::vector<gang::CsvColumn> columns = {{"port"}, {"serial"}, {"size", true}, {"text"}};
    EXPECT_EQ(gang::csvRow(columns, {"=HYPERLINK(\"x\")", "+1", "-5", "@SUM(A1)"}),
              "\"'=HYPERLINK(\"\"x\"\")\",\"'+1\",-5,\"'@SUM(A1)\"\r\n");
    EXPECT_EQ(gang::csvRow(columns, {"\tx", "\rx", "=1", "a-b"}), "\"'\tx\",\"'\rx\",=1,a-b\r\n");
}

TEST(GangCsv, RefusesWhatItCannotAppendToBeforeWriting) {
    kt::TempDir dir;
    std::string error;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    kt::writeFile(dir.file("other.csv"), "time,port,serial\r\nx,y,z\r\n");
    kt::writeFile(dir.file("lf.csv"), "h1,h2\nx,y\n"); // today's header, saved by an editor
    struct Case {
        std::string file;
        bool opens;
        std::string error;
    };
    auto notRegular = [&](const std::string &path) {
        return "cannot open log file " + path + ": not a regular file";
    };
    const Case cases[] = {
        {dir.file("fifo"), false, notRegular(dir.file("fifo"))},
        {dir.path(), false, notRegular(dir.path())},
        {"/dev/null", false, notRegular("/dev/null")},
        {dir.file("other.csv"), false,
         "log file " + dir.file("other.csv") +
             " has other columns: its first line is not \"h1,h2\"; give a new file to --log"},
        {dir.file("lf.csv"), true, ""},
    };
    for (const Case &c : cases) {
        gang::CsvLog log;
        error.clear();
        EXPECT_EQ(log.open(c.file, {"h1", "h2"}, &error), c.opens) << c.file;
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(kt::readFile(dir.file("other.csv")), "time,port,serial\r\nx,y,z\r\n");
}

// A row from a station that died mid-write, or hit the file size limit:
// the next row starts on a line of its own, and ours never stays cut.
TEST(GangCsv, RowsStayWholeAfterACutLineAndPastTheSizeLimit) {
    kt::TempDir dir;
    std::string path = dir.file("log.csv");
    kt::writeFile(path, "h1,h2\r\na,1\r\nb,");
    std::string error;
    {
        gang::CsvLog log;
        ASSERT_TRUE(log.open(path, {"h1", "h2"}, &error)) << error;
        ASSERT_TRUE(log.append({"c", "3"}, &error)) << error;
        ASSERT_TRUE(log.close(&error)) << error;
    }
    const std::string before = "h1,h2\r\na,1\r\nb,\r\nc,3\r\n";
    EXPECT_EQ(kt::readFile(path), before);

    for (size_t room : {0, 3}) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{before.size() + room, before.size() + room};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            gang::CsvLog log;
            std::string why;
            bool ok = log.open(path, {"h1", "h2"}, &why) && !log.append({"dddd", "4"}, &why) &&
                      why == "cannot write log file " + path + ": File too large";
            ::_exit(ok ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0) << room;
        EXPECT_EQ(kt::readFile(path), before) << room;
    }
}

// /sys as the kernel lays out a USB serial adapter and an on-board UART.
class GangSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string usb = sys() + "/devices/pci0000:00/usb1/1-2";
        std::string port = usb + "/1-2:1.0/ttyUSB3";
        makeDirs(port + "/tty/ttyUSB3");
        kt::writeFile(usb + "/idVendor", "0403\n");
        kt::writeFile(usb + "/idProduct", "6001\n");
        kt::writeFile(usb + "/serial", "A50285BI\n");
        kt::writeFile(sys() + "/devices/pci0000:00/usb1/idVendor", "1d6b\n"); // the hub
        kt::writeFile(sys() + "/devices/pci0000:00/usb1/idProduct", "0002\n");
        link("../../../ttyUSB3", port + "/tty/ttyUSB3/device");
        // A USB device without a serial number.
        std::string acm = sys() + "/devices/pci0000:00/usb1/1-3";
        makeDirs(acm + "/1-3:1.0/tty/ttyACM0");
        kt::writeFile(acm + "/idVendor", "2e8a\n");
        kt::writeFile(acm + "/idProduct", "000a\n");
        link("../../../1-3:1.0", acm + "/1-3:1.0/tty/ttyACM0/device");
        std::string uart = sys() + "/devices/platform/serial8250/tty/ttyS0";
        makeDirs(uart);
        link("../../../serial8250", uart + "/device");
        makeDirs(sys() + "/class/tty");
        link("../../devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB3/tty/ttyUSB3",
             sys() + "/class/tty/ttyUSB3");
        link("../../devices/pci0000:00/usb1/1-3/1-3:1.0/tty/ttyACM0", sys() + "/class/tty/ttyACM0");
        link("../../devices/platform/serial8250/tty/ttyS0", sys() + "/class/tty/ttyS0");
    }
    std::string sys() const { return dir_.file("sys"); }
    kt::TempDir dir_;
};

TEST_F(GangSysfs, IdentityOfTheUsbDeviceAboveThePort) {
    gang::UsbIdentity ftdi = gang::usbIdentity(sys(), "/dev/ttyUSB3");
    EXPECT_EQ(ftdi.serial, "A50285BI");
    EXPECT_EQ(ftdi.usbId, "0403:6001");
    gang::UsbIdentity noSerial = gang::usbIdentity(sys(), "/dev/ttyACM0");
    EXPECT_EQ(noSerial.serial, "");
    EXPECT_EQ(noSerial.usbId, "2e8a:000a");
    for (const char *port : {"/dev/ttyS0", "/dev/pts/7", "/dev/ttyUSB9"}) {
        gang::UsbIdentity none = gang::usbIdentity(sys(), port);
        EXPECT_EQ(none.serial + none.usbId, "") << port;
    }
}

// A port given as a link (by-id, by-path) is resolved again for every
// board: an adapter re-plugged elsewhere is never credited to this slot.
TEST_F(GangSysfs, EveryBoardIsIdentifiedThroughThePortAsItIsThen) {
    makeDirs(dir_.file("dev"));
    kt::writeFile(dir_.file("dev/ttyUSB3"), "");
    kt::writeFile(dir_.file("dev/ttyACM0"), "");
    std::string port = dir_.file("fixture-1");
    link("dev/ttyUSB3", port);
    gang::IdentityContext context;
    context.handle = "kelvo.pc";
    context.runId = "20261208T165600Z-4711";
    context.runDir = dir_.file("run");
    context.sysRoot = sys();
    context.labels = {"other", "f1"};
    context.ports = {"/dev/null", port};
    context.logNames = {"other", "f1"};
    context.station = true;
    gang::BoardIdentity first = gang::makeIdentity(context, 1, 1);
    ::unlink(port.c_str());
    link("dev/ttyACM0", port);
    gang::BoardIdentity second = gang::makeIdentity(context, 1, 2);
    EXPECT_EQ(first.usb.serial, "A50285BI");
    EXPECT_EQ(second.usb.usbId, "2e8a:000a");
    EXPECT_EQ(second.usb.serial, "");
    EXPECT_EQ(second.resolved, dir_.file("dev/ttyACM0"));
    EXPECT_EQ(first.unit, "kelvo.pc/20261208T165600Z-4711/2/1");
    EXPECT_EQ(second.logFile, dir_.file("run/f1-2.log"));
    gang::BoardIdentity decoded;
    ASSERT_TRUE(gang::decodeIdentity(gang::encodeIdentity(second), &decoded));
    EXPECT_EQ(decoded.usb.usbId, second.usb.usbId);
    EXPECT_EQ(decoded.logFile, second.logFile);
}

// A board's log never opens a file that is there: an earlier run's log,
// or a link planted in a shared directory.
TEST(GangBoardLog, NeverOpensAnExistingNameOrLink) {
    kt::TempDir dir;
    kt::writeFile(dir.file("a-1.log"), "earlier run\n");
    kt::writeFile(dir.file("victim"), "keep\n");
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("a-1-2.log").c_str()), 0);
    struct Case {
        std::string wanted, created;
    };
    const Case cases[] = {{dir.file("a-1.log"), dir.file("a-1-3.log")},
                          {dir.file("b-1.log"), dir.file("b-1.log")}};
    for (const Case &c : cases) {
        gang::BoardIdentity id;
        id.logFile = c.wanted;
        std::string error;
        int fd = gang::createBoardLog(&id, &error);
        ASSERT_GE(fd, 0) << error;
        EXPECT_EQ(::write(fd, "new\n", 4), 4);
        ::close(fd);
        EXPECT_EQ(id.logFile, c.created);
    }
    EXPECT_EQ(kt::readFile(dir.file("a-1.log")), "earlier run\n");
    EXPECT_EQ(kt::readFile(dir.file("victim")), "keep\n");
    // The run directory comes with its first board, but no deeper.
    gang::BoardIdentity first;
    first.logFile = dir.file("run/a-1.log");
    std::string error;
    int fd = gang::createBoardLog(&first, &error);
    EXPECT_GE(fd, 0) << error;
    ::close(fd);
    EXPECT_TRUE(kt::fileExists(dir.file("run/a-1.log")));
    gang::BoardIdentity nowhere;
    nowhere.logFile = dir.file("missing/deeper/a-1.log");
    EXPECT_EQ(gang::createBoardLog(&nowhere, &error), -1);
    EXPECT_EQ(error, "cannot create output directory " + dir.file("missing/deeper") +
                         ": No such file or directory");
    // Named at the start, made by someone else before the first board: not
    // written into unless it is the user's own.
    ASSERT_EQ(::mkdir(dir.file("loose").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(dir.file("loose").c_str(), 0777), 0);
    gang::BoardIdentity loose;
    loose.logFile = dir.file("loose/a-1.log");
    EXPECT_EQ(gang::createBoardLog(&loose, &error), -1);
    EXPECT_NE(error.find("writable by every user"), std::string::npos) << error;
    EXPECT_FALSE(kt::fileExists(dir.file("loose/a-1.log")));
}

TEST_F(GangSysfs, AllListsTheAdapterPortsSorted) {
    std::vector<std::string> ports;
    std::string error;
    ASSERT_TRUE(gang::listAdapterPorts(sys() + "/class/tty", &ports, &error)) << error;
    EXPECT_EQ(ports, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB3"}));
    EXPECT_FALSE(gang::listAdapterPorts(sys() + "/missing", &ports, &error));
}

TEST(GangReason, TheCauseBeforeTheRegionLine) {
    std::string hash = "Xmodem Downloading...\n\rDownloading ---- 50%\rDownloading ---- "
                       "100%\nRecv OK successful\nHashVerify Fail\ndownload failed.\n";
    EXPECT_EQ(gang::failureReason(hash, KELVO_TRANSFER_FAILED), "HashVerify Fail");
    std::string hangUp = "Start download\r\nerror: ./ttyK3: Input/output error\n\nXmodem "
                         "transmit error: status: -4\ndownload failed.\n";
    EXPECT_EQ(gang::failureReason(hangUp, KELVO_TRANSFER_FAILED),
              "error: ./ttyK3: Input/output error");
    EXPECT_EQ(gang::failureReason("Received:\ndevice ping not received\n", KELVO_NO_PING),
              "device ping not received");
    // Nothing recognisable in the output: the result's own message.
    EXPECT_EQ(gang::failureReason("", KELVO_CONFIG_REFUSED),
              "device configs not set, please retry.");
    EXPECT_EQ(gang::failureReason("garbage", 999), "result 999");
    // Other programs holding the port go with the cause.
    std::string held = "Received:\ndevice ping not received\n"
                       "warning: /dev/ttyUSB2 is also open in process 1234 (minicom)\n"
                       "warning: /dev/ttyUSB2 is also open in process 99 (cat)\n";
    EXPECT_EQ(gang::failureReason(held, KELVO_NO_PING),
              "device ping not received; /dev/ttyUSB2 is also open in process 1234 (minicom); "
              "/dev/ttyUSB2 is also open in process 99 (cat)");
    EXPECT_EQ(gang::failureReason("", KELVO_SETTINGS_CONFLICT), "chip_erase with a keep option");
    // The chip's explanation of a refused write goes with it; only right
    // after the cause.
    std::string refused = "Received:ERR out of range\r\n\nXmodem not ready, please retry.\n"
                          "error: the chip refused flash offset 0x50000 as out of range\n"
                          "download failed.\n";
    EXPECT_EQ(gang::failureReason(refused, KELVO_TRANSFER_FAILED),
              "Xmodem not ready, please retry. (the chip refused flash offset 0x50000 as out of "
              "range)");
    std::string later = "HashVerify Fail\ndownload failed.\nerror: the chip said more\n";
    EXPECT_EQ(gang::failureReason(later, KELVO_TRANSFER_FAILED), "HashVerify Fail");
}

TEST(GangReason, OnlyPlainTextFromTheDeviceGoesOn) {
    struct Case {
        std::string what, in, out;
    };
    const Case cases[] = {
        {"plain text stays", "error: ./ttyK3: Input/output error",
         "error: ./ttyK3: Input/output error"},
        {"a colour and a screen clear", "a\x1b[1;31mb\x1b[2Jc", "abc"},
        {"a window title to BEL", "x\x1b]0;owned\x07y", "xy"},
        {"a window title to ESC backslash", "x\x1b]2;t\x1b\\y", "xy"},
        {"a charset switch", "x\x1b(By", "xy"},
        {"a cut sequence at the end", "x\x1b[12", "x"},
        {"a lone ESC", "x\x1b", "x"},
        {"bell, backspace, DEL",
         "a\x07"
         "b\x08"
         "c\x7f",
         "abc"},
        {"a tab", "a\tb", "a b"},
        {"bytes outside ASCII, C1 CSI too",
         "a\x9b"
         "2Jb\xc3\xa9"
         "c\xff",
         "a2Jbc"},
        {"NUL", std::string("a\0b", 3), "ab"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(gang::printableText(c.in), c.out) << c.what;
    }
    // A device's echo that looks like a cause reaches the reason as text only.
    std::string echo = "Received:OK\x1b[2J\nerror: \x1b]0;t\x07"
                       "boom\x1b[0m\r\ndownload failed.\n";
    EXPECT_EQ(gang::failureReason(echo, KELVO_TRANSFER_FAILED), "error: boom");
}

TEST(GangPorts, RefusesNonDevicesAndTheSameDeviceTwice) {
    kt::TempDir dir;
    kt::writeFile(dir.file("plain"), "x");
    link("/dev/null", dir.file("null-link"));
    std::vector<std::string> resolved;
    std::string error;
    EXPECT_TRUE(gang::checkPorts({"/dev/null", "/dev/zero"}, &resolved, &error)) << error;
    EXPECT_EQ(resolved, (std::vector<std::string>{"/dev/null", "/dev/zero"}));

    EXPECT_FALSE(gang::checkPorts({dir.file("plain")}, &resolved, &error));
    EXPECT_EQ(error, dir.file("plain") + ": not a serial port (not a character device)");
    EXPECT_FALSE(gang::checkPorts({dir.path()}, &resolved, &error));
    EXPECT_FALSE(gang::checkPorts({dir.file("missing")}, &resolved, &error));
    EXPECT_EQ(error, dir.file("missing") + ": No such file or directory");
    EXPECT_FALSE(
        gang::checkPorts({"/dev/null", "/dev/zero", dir.file("null-link")}, &resolved, &error));
    EXPECT_EQ(error,
              "the same port twice: /dev/null and " + dir.file("null-link") + " are /dev/null");
}

TEST(GangPortHolders, ThePidAndNameOfAFlockHolder) {
    kt::TempDir dir;
    std::string path = dir.file("port");
    kt::writeFile(path, "");
    EXPECT_EQ(gang::lockHolders(path, "/proc/locks", "/proc"), "");
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(gang::lockHolders(path, "/proc/locks", "/proc"),
              "process " + std::to_string(::getpid()) + " (" + program_invocation_short_name + ")");
    ::close(fd);

    // Waiters hold nothing.
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    kt::writeFile(dir.file("locks"), std::string("1: FLOCK  ADVISORY  WRITE 77 ") + file +
                                         " 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 78 " + file +
                                         " 0 EOF\n2: POSIX  ADVISORY  WRITE 79 " + file +
                                         " 0 EOF\n");
    EXPECT_EQ(gang::lockHolders(path, dir.file("locks"), dir.path()), "process 77 (?)");
}

gang::ParseOutcome parse(std::vector<std::string> words, gang::Options *options,
                         std::string *error) {
    words.insert(words.begin(), "kelvo_pgtool_gang");
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(&w[0]);
    }
    return gang::parseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(GangOptions, UsageErrorsAndValues) {
    struct Case {
        std::vector<std::string> words;
        std::string error;
    };
    const Case refused[] = {
        {{}, "no port given"},
        {{"--log", "x.csv"}, "no port given"},
        {{"-v", "/dev/null"}, "unknown option: -v"},
        {{"/dev/null", "--log"}, "--log needs a value"},
        {{"--output-dir=", "/dev/null"}, "--output-dir needs a non-empty value"},
        {{"--all", "/dev/null"}, "--all takes no ports besides it"},
        {{"=/dev/null"}, "a slot is NAME=PORT, both non-empty: =/dev/null"},
        {{"s1="}, "a slot is NAME=PORT, both non-empty: s1="},
        {{"s1=/dev/null", "s1=/dev/zero"}, "the same slot name twice: s1"},
        {{"--cfx-password-file", "pw", "/dev/null"},
         "--cfx-handle, --cfx-spool and --cfx-password-file need --cfx"},
        {{"--cfx", "amqp://u:p@h/q", "--cfx-password-file", "pw", "/dev/null"},
         "--cfx-password-file: the --cfx URL has a password already"},
        {{"--cfx", "amqp://h/q", "--cfx-password-file", "pw", "/dev/null"},
         "--cfx-password-file needs a user in the --cfx URL (amqp://USER@HOST/...)"},
        {{"--cfx", "amqp://u@h/q", "--cfx-password-file", "/nonexistent/pw", "/dev/null"},
         "cannot read /nonexistent/pw: No such file or directory"},
    };
    for (const Case &c : refused) {
        gang::Options options;
        std::string error;
        EXPECT_EQ(parse(c.words, &options, &error), gang::ParseOutcome::UsageError);
        EXPECT_EQ(error, c.error);
    }
    gang::Options options;
    std::string error;
    ASSERT_EQ(parse({"--log=a.csv", "p1", "--output-dir", "out", "--", "--p2"}, &options, &error),
              gang::ParseOutcome::Run);
    EXPECT_EQ(options.logFile, "a.csv");
    EXPECT_EQ(options.outputDir, "out");
    EXPECT_EQ(options.ports, (std::vector<std::string>{"p1", "--p2"}));
    EXPECT_EQ(parse({"p1", "--help"}, &options, &error), gang::ParseOutcome::Help);
    gang::Options named;
    ASSERT_EQ(parse({"s1=/dev/ttyUSB0", "./a=b", "/dev/x"}, &named, &error),
              gang::ParseOutcome::Run);
    EXPECT_EQ(named.ports, (std::vector<std::string>{"/dev/ttyUSB0", "./a=b", "/dev/x"}));
    EXPECT_EQ(named.names, (std::vector<std::string>{"s1", "", ""}));
    // The environment's password, for a URL with a user and none of its own.
    ::setenv(gang::kPasswordVariable, "from-env", 1);
    gang::Options withUser, withPassword;
    ASSERT_EQ(parse({"--cfx", "amqp://u@h/q", "p1"}, &withUser, &error), gang::ParseOutcome::Run);
    ASSERT_EQ(parse({"--cfx", "amqp://u:p@h/q", "p1"}, &withPassword, &error),
              gang::ParseOutcome::Run);
    ::unsetenv(gang::kPasswordVariable);
    EXPECT_EQ(withUser.cfxPassword, "from-env");
    EXPECT_EQ(withPassword.cfxPassword, "");
}

// Another local user's directory, for the cases that need one: possible
// only as root (chown), skipped otherwise.
bool giveAway(const std::string &path) {
    return ::geteuid() == 0 && ::chown(path.c_str(), 65534, 65534) == 0;
}

TEST(GangSafeFiles, NothingPlantedIsWrittenThroughOrTrusted) {
    kt::TempDir dir;
    kt::writeFile(dir.file("victim"), "someone else's");
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("planted").c_str()), 0);
    kt::writeFile(dir.file("earlier.log"), "an earlier run");
    std::string error;
    for (const char *taken : {"planted", "earlier.log"}) {
        EXPECT_EQ(gang::createNewFile(dir.file(taken), &error), -1) << taken;
        EXPECT_NE(error.find("cannot create " + dir.file(taken) + ": File exists"),
                  std::string::npos)
            << error;
    }
    EXPECT_EQ(kt::readFile(dir.file("victim")), "someone else's");
    EXPECT_EQ(kt::readFile(dir.file("earlier.log")), "an earlier run");
    int fd = gang::createNewFile(dir.file("new.log"), &error);
    ASSERT_GE(fd, 0) << error;
    EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ::close(fd);

    struct Case {
        std::string name;
        mode_t mode;
        bool foreign;
        std::string error; // empty: accepted
    };
    const Case directories[] = {
        {"own", 0755, false, ""},
        {"private", 0700, false, ""},
        {"loose", 0777, false, " is writable by every user (mode 0777)"},
        {"sticky", 01777, false, " is writable by every user (mode 1777)"},
        {"foreign", 0755, true, " belongs to user 65534, not to you (user 0)"},
    };
    for (const Case &c : directories) {
        std::string path = dir.file(c.name);
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        if (c.foreign && !giveAway(path)) {
            std::printf("skipped: a directory of another user needs root to make\n");
            continue;
        }
        bool ok = gang::checkOwnDirectory(path, &error);
        EXPECT_EQ(ok, c.error.empty()) << c.name;
        if (!ok) {
            EXPECT_EQ(error.rfind(path + c.error, 0), 0u) << error;
        }
    }
    EXPECT_FALSE(gang::checkOwnDirectory(dir.file("new.log"), &error));
    EXPECT_EQ(error, "cannot use " + dir.file("new.log") + ": Not a directory");
    // A missing directory is made private; a planted link to a loose one is
    // judged by what it points to.
    ASSERT_TRUE(gang::makeOwnDirectory(dir.file("made"), &error)) << error;
    struct stat st;
    ASSERT_EQ(::stat(dir.file("made").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::symlink(dir.file("loose").c_str(), dir.file("link").c_str()), 0);
    EXPECT_FALSE(gang::makeOwnDirectory(dir.file("link"), &error));
}

TEST(GangSafeFiles, APasswordOnlyFromItsOwnersPrivateFile) {
    kt::TempDir dir;
    struct Case {
        std::string content;
        mode_t mode;
        bool foreign;
        std::string password, error; // error empty: accepted
    };
    const Case cases[] = {
        {"s/e:c@r%et\n", 0600, false, "s/e:c@r%et", ""},
        {"pw\r\n", 0400, false, "pw", ""},
        {"pw", 0600, false, "pw", ""},
        {"pw\nnot the password\n", 0600, false, "pw", ""},
        {"pw\n", 0640, false, "", "other users may read or change it (mode 0640)"},
        {"pw\n", 0604, false, "", "other users may read or change it (mode 0604)"},
        {"\n", 0600, false, "", "empty"},
        {std::string(5000, 'x'), 0600, false, "", "larger than a password"},
        {"pw\n", 0600, true, "", "belongs to user 65534, not to you (user 0)"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string path = dir.file("pw" + std::to_string(++n));
        kt::writeFile(path, c.content);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        if (c.foreign && !giveAway(path)) {
            std::printf("skipped: a file of another user needs root to make\n");
            continue;
        }
        std::string password, error;
        bool ok = gang::readSecretFile(path, &password, &error);
        EXPECT_EQ(ok, c.error.empty()) << path << ": " << error;
        EXPECT_EQ(password, c.password) << path;
        if (!ok) {
            EXPECT_EQ(error,
                      "cannot take the password from " + path + ": " + c.error +
                          (c.error.rfind("other", 0) == 0
                               ? "; make it readable by its owner only (chmod 600 " + path + ")"
                               : ""));
            EXPECT_EQ(error.find("pw\n"), std::string::npos);
        }
    }
    std::string password, error;
    EXPECT_FALSE(gang::readSecretFile(dir.path(), &password, &error));
    EXPECT_EQ(error, "cannot take the password from " + dir.path() + ": not a regular file");
}

TEST(GangRunDirectory, OneFilePerPortEvenWithTheSameName) {
    EXPECT_EQ(gang::outputFileNames({"/dev/ttyUSB0", "/a/tty1", "/b/tty1", "./tty1"}),
              (std::vector<std::string>{"ttyUSB0.log", "tty1.log", "tty1-2.log", "tty1-3.log"}));
}

TEST(GangScreen, LabelsAndReasonsWithoutThePath) {
    EXPECT_EQ(
        gang::slotLabels(
            {"/dev/serial/by-id/usb-FTDI_A5-if00-port0", "/a/tty1", "/b/tty1", "/c/ttyX", "tty1"},
            {"", "", "", "tty1", "left"}),
        (std::vector<std::string>{"usb-FTDI_A5-if00-port0", "tty1-2", "tty1-3", "tty1", "left"}));
    const std::string p = "/dev/ttyUSB2";
    struct Case {
        std::string text, shown;
    };
    const Case cases[] = {
        {"error: /dev/ttyUSB2: Input/output error", "error: Input/output error"},
        {"cannot access /dev/ttyUSB2: busy", "cannot access: busy"},
        {"/dev/ttyUSB2 cannot run at 3000000 baud: x", "cannot run at 3000000 baud: x"},
        {"/dev/ttyUSB2: 12 bytes of output not sent", "12 bytes of output not sent"},
        {"error: /dev/ttyUSB21: gone", "error: /dev/ttyUSB21: gone"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(gang::withoutPath(c.text, p), c.shown);
    }
    EXPECT_EQ(gang::fitted("abcdefgh", 8), "abcdefgh");
    EXPECT_EQ(gang::fitted("abcdefgh", 7), "abcd...");
}

// Frames for terminals of several sizes: never more lines than rows - 1,
// never a line reaching the last column, every port shown or counted.
TEST(GangScreen, FramesFitTheTerminal) {
    auto now = std::chrono::steady_clock::now();
    std::vector<gang::Board> boards(6);
    for (size_t i = 0; i < boards.size(); ++i) {
        boards[i].label = "usb-FTDI_FT232R_USB_UART_A50285B" + std::to_string(i) + "-if00-port0";
        boards[i].port = "/dev/serial/by-id/" + boards[i].label;
        boards[i].start = now;
    }
    boards[1].outcome = gang::Outcome::Failed;
    boards[1].reason = "error: " + boards[1].port + ": hung up";
    boards[2].phase = KELVO_PHASE_WRITING;
    boards[2].percent = 37;
    struct Case {
        size_t rows, cols, lines;
        bool counted; // the last line counts the ports not shown
    };
    const Case cases[] = {{24, 80, 6, false}, {7, 40, 6, false}, {5, 80, 3, false},
                          {5, 40, 3, false},  {3, 30, 2, true},  {1, 80, 0, false}};
    for (const Case &c : cases) {
        std::vector<std::string> lines = gang::frameLines(boards, now, {c.rows, c.cols});
        EXPECT_EQ(lines.size(), c.lines) << c.rows << "x" << c.cols;
        std::string all;
        for (const std::string &line : lines) {
            EXPECT_LT(line.size(), c.cols) << line;
            all += line + "\n";
        }
        EXPECT_EQ(all.find("/dev/serial"), std::string::npos) << all;
        if (c.rows == 5) { // cut labels keep what tells the adapters apart
            EXPECT_NE(all.find("50285B5 "), std::string::npos) << all;
        }
        if (c.rows > 7) {
            EXPECT_NE(all.find("writing 37 %"), std::string::npos) << all;
            EXPECT_NE(all.find("FAILED: error: hung up"), std::string::npos) << all;
        } else if (c.counted) {
            EXPECT_NE(lines.back().find("+5 more: 1 FAILED, 4 running"), std::string::npos) << all;
        }
    }
}

} // namespace
