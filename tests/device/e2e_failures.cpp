// Every failure result of the download and erase operations, each with its
// message, its exit status and no more traffic than it needs.
#include "e2e_support.h"

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dt {
namespace {

const std::string kBegin = "Beginning XModem Download...\n";
const std::string kConnected = kBegin + "Ping received\n"
                                        "device Configs set successfully\n";
const std::string kNotSet = "Device setting not done\nPlease set Device, baudrate & flash_pin\n";

class Failure : public DeviceTest {
  protected:
    // A download that must stop before any traffic with this output.
    void expectRefusedDownload(const std::string &out) {
        kt::RunResult r = cli({"-download"});
        EXPECT_EQ(r.out, kBegin + out);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(commandLog(), "");
    }
    void setOffset(const char *text) {
        std::memset(rec_.flash_offset, 0, sizeof rec_.flash_offset);
        std::strncpy(rec_.flash_offset, text, sizeof rec_.flash_offset - 1);
        saveRecord();
    }
    // The port was closed and the chip is ready: an erase goes through.
    void expectLineUsableAgain() {
        kt::RunResult r = cli({"-erase", "sector", "0x8000", "4096"});
        EXPECT_EQ(r.exit_code, 0) << r.out;
    }
};

TEST_F(Failure, SettingsMissing177) {
    kt::RunResult fresh = cli({"-download"});
    EXPECT_EQ(fresh.out, kBegin + kNotSet);
    EXPECT_EQ(fresh.exit_code, 1);
    EXPECT_EQ(cli({"-erase", "chip"}).out, kNotSet);
    EXPECT_EQ(cli({"-erase", "sector", "0x4000", "1000"}).out, kNotSet);

    setImage("image bytes");
    startSim();
    for (int32_t baud : {0, -1, KELVO_NOT_SET}) {
        rec_.baudrate = baud;
        saveRecord();
        expectRefusedDownload(kNotSet);
    }
    rec_.baudrate = 1000000;
    rec_.flash_pin = KELVO_NOT_SET;
    saveRecord();
    expectRefusedDownload(kNotSet);
    kt::RunResult erase = cli({"-erase", "chip"});
    EXPECT_EQ(erase.out, kNotSet);
    EXPECT_EQ(erase.exit_code, 1);
    EXPECT_EQ(commandLog(), "");
}

TEST_F(Failure, UnreadableRecord177) {
    ASSERT_EQ(::mkdir(path(KELVO_RECORD_FILE).c_str(), 0755), 0);
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.out, kBegin + "error in opening file : Is a directory\n" + kNotSet);
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(Failure, OffsetRefusals178To180) {
    setImage("image bytes");
    startSim();
    setOffset("NaN");
    expectRefusedDownload("Device setting not done\nPlease set flash offset\n");
    const std::string format = "Device setting not done\n"
                               "Flash Offset format incorrect.(specify 0x...)\n";
    for (const char *bad : {"0X10", "10", "0xZZ", "0x", "0x1000 "}) {
        setOffset(bad);
        expectRefusedDownload(format);
    }
    const std::string range = "Device setting not done\nFlash Offset out of range\n";
    for (const char *bad : {"0x80000000", "0xFFFFFFFF", "0x100000000"}) {
        setOffset(bad);
        expectRefusedDownload(range);
    }
}

TEST_F(Failure, UnalignedOffsetThatWouldZeroKeptData179) {
    rec_.keep_sys_data = 1;
    setImage(kt::randomBytes(0x2000, 1));
    startSim();
    setOffset("0x0100");
    expectRefusedDownload("Flash Offset 0x0100 is not a multiple of 0x400: the last XModem "
                          "block would overwrite kept data\n");
}

TEST_F(Failure, ImageUnreadable186) {
    startSim();
    setImage("x");
    std::memset(rec_.image, 0, sizeof rec_.image);
    std::strcpy(rec_.image, "missing.bin");
    saveRecord();
    expectRefusedDownload("Cannot read image file missing.bin: No such file or directory\n");
    setImage("", "empty.bin");
    expectRefusedDownload("Cannot read image file empty.bin: the file is empty\n");
    ASSERT_EQ(::mkdir(path("images").c_str(), 0755), 0);
    std::strcpy(rec_.image, "images");
    saveRecord();
    expectRefusedDownload("Cannot read image file images: Is a directory\n");
    std::strcpy(rec_.image, "NaN");
    saveRecord();
    expectRefusedDownload("Cannot read image file NaN: No such file or directory\n");
}

TEST_F(Failure, MissingDevice181) {
    setImage("image bytes");
    std::strcpy(rec_.device, "/nonexistent/ttyKELVO9");
    saveRecord();
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.out,
              kBegin + "error: cannot access /nonexistent/ttyKELVO9: No such file or directory\n");
    EXPECT_EQ(r.exit_code, 1);
    kt::RunResult e = cli({"-erase", "chip"});
    EXPECT_EQ(e.out, "error: cannot access /nonexistent/ttyKELVO9: No such file or directory\n");
    EXPECT_EQ(e.exit_code, 1);
}

TEST_F(Failure, BusyDevice181) {
    setImage("image bytes");
    startSim();
    int fd = ::open(tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    kt::RunResult r = cli({"-download"});
    ::close(fd);
    // The holder is named; the simulator, the terminal's other side, is not.
    EXPECT_EQ(r.out, kBegin + "error: cannot access " + tty() + ": busy\nwarning: " + tty() +
                         " is also open in process " + std::to_string(::getpid()) +
                         " (device_e2e_test)\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(commandLog(), "");
}

// A program holding the port without a lock takes the replies: the failure
// names it, so that nobody blames the board.
TEST_F(Failure, OtherHolderOfThePortIsNamed181) {
    setImage("image bytes");
    startSim({"--no-ping"});
    pid_t holder = ::fork();
    if (holder == 0) {
        int fd = ::open(tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
        ::_exit(fd < 0 ? 126 : 127);
    }
    std::string named =
        "warning: " + tty() + " is also open in process " + std::to_string(holder) + " (sleep)\n";
    for (int i = 0;
         i < 100 && kt::readFile("/proc/" + std::to_string(holder) + "/comm") != "sleep\n"; ++i) {
        ::usleep(20000);
    }
    kt::RunResult r = cli({"-download"});
    kt::RunResult e = cli({"-erase", "chip"});
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.out, kBegin + "Received:\ndevice ping not received\n" + named);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(e.out, "device ping not received\n" + named);
}

// Paths that are no serial line are refused before anything is sent.
TEST_F(Failure, NotASerialPort181) {
    setImage("image bytes");
    ASSERT_EQ(::mkdir(path("dir").c_str(), 0755), 0);
    for (const std::string &port :
         std::vector<std::string>{"/dev/null", "/dev/zero", path("image.bin"), path("dir")}) {
        std::memset(rec_.device, 0, sizeof rec_.device);
        std::strcpy(rec_.device, port.c_str());
        saveRecord();
        std::string refused = "error: cannot access " + port + ": not a serial port\n";
        kt::RunResult r = cli({"-download"});
        EXPECT_EQ(r.out, kBegin + refused);
        EXPECT_EQ(r.exit_code, 1);
        kt::RunResult e = cli({"-erase", "chip"});
        EXPECT_EQ(e.out, refused);
        EXPECT_EQ(e.exit_code, 1);
    }
    EXPECT_EQ(kt::readFile(path("image.bin")), "image bytes");
}

// A chip erase wipes what a keep option is meant to keep: refused before
// any traffic, whatever the option's value.
TEST_F(Failure, ChipEraseWithKeepOption189) {
    setImage(kt::randomBytes(0x4000, 9));
    startSim();
    rec_.chip_erase = 1;
    const struct {
        int sys, wifi;
        const char *message;
    } cases[] = {
        {1, 0,
         "chip_erase 1 would erase the system data that keep_sys_data 1 asks to keep: "
         "set chip_erase 0 to keep it, or keep_sys_data 0 to let it be erased"},
        {0, 1,
         "chip_erase 1 would erase the Wi-Fi data that keep_wifi_data 1 asks to keep: "
         "set chip_erase 0 to keep it, or keep_wifi_data 0 to let it be erased"},
        {2, 1,
         "chip_erase 1 would erase the system data and Wi-Fi data that keep_sys_data 2 "
         "and keep_wifi_data 1 ask to keep: set chip_erase 0 to keep them, or "
         "keep_sys_data 0 and keep_wifi_data 0 to let them be erased"},
    };
    for (const auto &c : cases) {
        rec_.keep_sys_data = c.sys;
        rec_.keep_wifi_data = c.wifi;
        saveRecord();
        expectRefusedDownload(std::string("error: ") + c.message + "\n");
    }
}

TEST_F(Failure, SilentChip181) {
    setImage("image bytes");
    startSim({"--no-ping"});
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.out, kBegin + "Received:\ndevice ping not received\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(commandLog(), "DW 40000038\r\nping\n");
    kt::RunResult e = cli({"-erase", "chip"});
    EXPECT_EQ(e.out, "device ping not received\n");
    EXPECT_EQ(e.exit_code, 1);
}

TEST_F(Failure, PingWithExtraBytes181) {
    setImage("image bytes");
    startSim({"--ping-extra"});
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.out, kBegin + "Received:ping\r\n\ndevice ping not received\n");
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(Failure, ConfigurationRefused182) {
    setImage("image bytes");
    startSim({"--refuse-ucfg"});
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.out, kBegin + "Ping received\nReceived:ERR ucfg refused\r\n\n"
                              "device configs not set, please retry.\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(commandLog(), connectLog());
}

TEST_F(Failure, ChipEraseWrongReply183) {
    rec_.chip_erase = 1;
    setImage("image bytes");
    startSim({"--erase-extra"});
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.out, kConnected + "Erasing chip...\r\nReceived:OK\r\n length:4\n"
                                  "Received:OK\r\n\nErase Unsuccessful, please retry.\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(commandLog(), connectLog() + "ceras 0 1\n");
}

TEST_F(Failure, ChipEraseHangUp183) {
    startSim({"--hangup-on", "ceras"});
    kt::RunResult r = cli({"-erase", "chip"}, 30000);
    // The serial layer names the line and the reason on an "error: " line.
    std::string head = "Ping received, beginning erase\ndevice Configs set successfully\nerror: ";
    std::string tail = "\nReceived:\nErase Unsuccessful, please retry.\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    ASSERT_GE(r.out.size(), head.size() + tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.exit_code, 1);
}

// The acknowledgement wait is bounded (120 s): the longest case here.
TEST_F(Failure, ChipEraseNeverAcknowledged183) {
    startSim({"--erase-no-ack", "--erase-ms", "10"});
    kt::RunResult r = cli({"-erase", "chip"}, 200000);
    // The serial layer reports the time-out on an "error: " line of its own.
    std::string head = "Ping received, beginning erase\ndevice Configs set successfully\n"
                       "error: no reply from " +
                       tty();
    std::string tail = "\nReceived:\nErase Unsuccessful, please retry.\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    ASSERT_GE(r.out.size(), head.size() + tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.exit_code, 1);
}

// The error reply does not begin with "O": the erase waits out its bound.
TEST_F(Failure, SectorEraseOutsideFlash183) {
    startSim();
    kt::RunResult r = cli({"-erase", "sector", "0x7FFFF000", "4096"}, 200000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\nErase Unsuccessful, please retry.\n"), std::string::npos) << r.out;
    expectLineUsableAgain();
}

TEST_F(Failure, FwdAnsweredWithC184) {
    setImage("image bytes");
    startSim({"--fwd-crc"});
    kt::RunResult r = cli({"-download"});
    // The chip repeats its offer every second: one or two of them arrive.
    std::string head = kConnected + "\r\nStart download\r\nReceived:C";
    std::string tail = "\nXmodem not ready, please retry.\ndownload failed.\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    ASSERT_GE(r.out.size(), head.size() + tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(commandLog(), connectLog() + "fwd 0 1 0000\n");
    expectLineUsableAgain();
}

// Past the end of the flash, the chip's refusal or its cancel is followed
// by where and what to do.
TEST_F(Failure, WritesPastTheEndOfTheFlashSayWhereAndWhatToDo184) {
    struct Case {
        const char *offset;
        size_t imageSize;
        std::string tail;
    } cases[] = {
        {"0x00050000", 3000,
         "Received:ERR out of range\r\n\nXmodem not ready, please retry.\n"
         "error: the chip refused flash offset 0x00050000 as out of range: it lies past the end "
         "of the flash; set a lower flash offset\ndownload failed.\n"},
        {"0x0003F000", 8192,
         "\nXmodem transmit error: status: -1\n"
         "error: the chip cancelled the transfer at flash offset 0x00040000, 4096 of the 8192 "
         "bytes written from 0x0003F000: the image most likely runs past the end of the flash; "
         "set a lower flash offset or use a smaller image\ndownload failed.\n"},
    };
    startSim();
    for (const Case &c : cases) {
        setImage(kt::randomBytes(c.imageSize, 9));
        setOffset(c.offset);
        kt::RunResult r = cli({"-download"});
        EXPECT_EQ(r.exit_code, 1);
        std::string text = splitProgress(r.out).text;
        ASSERT_GE(text.size(), c.tail.size()) << r.out;
        EXPECT_EQ(text.substr(text.size() - c.tail.size()), c.tail) << r.out;
    }
}

TEST_F(Failure, NoOkAfterTransfer184) {
    setImage(kt::randomBytes(3000, 5));
    startSim({"--no-write-ok"});
    kt::RunResult r = cli({"-download"});
    SplitOutput out = splitProgress(r.out);
    EXPECT_EQ(out.text, kConnected + "\r\nStart download\r\nXmodem Downloading...\n<progress>"
                                     "\nReceived:\nXmodem Unsuccessful, please retry.\n"
                                     "download failed.\n");
    EXPECT_EQ(r.exit_code, 1);
    expectLineUsableAgain();
}

TEST_F(Failure, NakStorm184) {
    setImage(kt::randomBytes(2000, 3));
    startSim({"--nak-storm"});
    kt::RunResult r = cli({"-download"});
    SplitOutput out = splitProgress(r.out);
    EXPECT_EQ(out.text, kConnected + "\r\nStart download\r\nXmodem Downloading...\n"
                                     "\nXmodem transmit error: status: -4\ndownload failed.\n");
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(Failure, HangUpMidTransfer184) {
    setImage(kt::randomBytes(6000, 4));
    startSim({"--hangup-after-blocks", "2"});
    kt::RunResult r = cli({"-download"}, 60000);
    SplitOutput out = splitProgress(r.out);
    EXPECT_EQ(r.exit_code, 1);
    std::string tail = "\nXmodem transmit error: status: -4\ndownload failed.\n";
    ASSERT_GE(out.text.size(), tail.size()) << r.out;
    EXPECT_EQ(out.text.substr(out.text.size() - tail.size()), tail);
    // The serial layer's report starts on a line of its own, not on the
    // progress line, and leaves no blank line behind it.
    EXPECT_NE(r.out.find("\nerror: " + tty() + ": "), std::string::npos) << r.out;
    if (!out.runs.empty()) {
        EXPECT_EQ(r.out.find("\n\nXmodem transmit error"), std::string::npos) << r.out;
    }
    for (const auto &run : out.runs) {
        EXPECT_NE(run.back(), 100);
    }
}

TEST_F(Failure, SilenceMidTransfer184) {
    setImage(kt::randomBytes(8 * 1024, 2));
    startSim({"--silent-after-blocks", "3"});
    kt::RunResult r = cli({"-download"});
    SplitOutput out = splitProgress(r.out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(out.text.find("\nXmodem transmit error: status: -4\ndownload failed.\n"),
              std::string::npos)
        << r.out;
    // A failed transfer never shows 100 %.
    for (const auto &run : out.runs) {
        EXPECT_NE(run.back(), 100);
    }
}

} // namespace
} // namespace dt
