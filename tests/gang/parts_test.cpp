// The parts of kelvo_pgtool_gang that need no board: CSV lines and the
// shared log file, the USB identity from a fabricated sysfs, the failure
// reason, port checks and the command line.
#include "csv_log.h"
#include "failure_reason.h"
#include "kelvo_test.h"
#include "options.h"
#include "ports.h"
#include "run_directory.h"
#include "usb_identity.h"

#include "KelvoPG_core.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
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

TEST(GangCsv, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(gang::csvLine({"a", "", "b c"}), "a,,b c\r\n");
    EXPECT_EQ(gang::csvLine({"x,y", "say \"hi\"", "two\nlines", "cr\r"}),
              "\"x,y\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\r\"\r\n");
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

    gang::CsvLog directory;
    EXPECT_FALSE(directory.open(dir.path(), {"h"}, &error));
    EXPECT_NE(error.find("cannot open log file"), std::string::npos) << error;
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
    EXPECT_EQ(error, dir.file("plain") + ": not a character device");
    EXPECT_FALSE(gang::checkPorts({dir.path()}, &resolved, &error));
    EXPECT_FALSE(gang::checkPorts({dir.file("missing")}, &resolved, &error));
    EXPECT_EQ(error, dir.file("missing") + ": No such file or directory");
    EXPECT_FALSE(
        gang::checkPorts({"/dev/null", "/dev/zero", dir.file("null-link")}, &resolved, &error));
    EXPECT_EQ(error,
              "the same port twice: /dev/null and " + dir.file("null-link") + " are /dev/null");
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
}

TEST(GangRunDirectory, OneFilePerPortEvenWithTheSameName) {
    EXPECT_EQ(gang::outputFileNames({"/dev/ttyUSB0", "/a/tty1", "/b/tty1", "./tty1"}),
              (std::vector<std::string>{"ttyUSB0.log", "tty1.log", "tty1-2.log", "tty1-3.log"}));
}

} // namespace
