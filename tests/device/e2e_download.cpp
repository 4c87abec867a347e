// "-download" end to end: what reaches the simulated flash, the exact
// command bytes, the printed lines and the progress line.
#include "e2e_support.h"

namespace dt {
namespace {

const std::string kHead = "Beginning XModem Download...\n"
                          "Ping received\n"
                          "device Configs set successfully\n";
const std::string kStart = "\r\nStart download\r\n";
const std::string kEnd = "End Download\r\n";

// One write as the chip sees it and as the user reads it.
struct Write {
    std::string digits; // offset digits in "fwd"
    size_t address;     // where the bytes land
    size_t position;    // first image byte
    size_t length;
    const char *announce; // region line, or nullptr
};

std::string writeText(const Write &w, bool hash) {
    std::string text = w.announce ? std::string(w.announce) + "\n" : "";
    size_t blocks = (w.length + 1023) / 1024;
    text += "Xmodem Downloading...\n<progress>\nRecv OK successful\n"
            "Xmodem successfully transmitted " +
            std::to_string(blocks * 1024) + " bytes\n";
    return text + (hash ? "HashVerify success\n" : "");
}

std::string writeLog(const Write &w, bool hash, int pin = 1) {
    std::string p = std::to_string(pin);
    std::string log = "fwd 0 " + p + " " + w.digits + "\n";
    return log + (hash ? "hashq " + std::to_string(w.length) + " 0 " + p + "\n" : "");
}

class Download : public DeviceTest {
  protected:
    // Downloads image with the record as set and checks output, command
    // bytes and flash against the expected writes.
    void expectDownload(const std::string &image, const std::vector<Write> &writes,
                        const std::string &afterConnect = "", const std::string &eraseLog = "") {
        setImage(image);
        std::string flashBefore = seedFlash();
        startSim({"--erase-ms", "200"});
        kt::RunResult r = cli({"-download"});
        bool hash = rec_.hash_verify == 1;
        std::string text = kHead + afterConnect + kStart, log = connectLog() + eraseLog;
        std::string flashAfter = eraseLog.empty() ? flashBefore : std::string(kFlashSize, '\xFF');
        for (const Write &w : writes) {
            text += writeText(w, hash);
            log += writeLog(w, hash);
            applyWrite(&flashAfter, w.address, image.substr(w.position, w.length));
        }
        SplitOutput out = splitProgress(r.out);
        EXPECT_EQ(out.text, text + kEnd);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(commandLog(), log);
        ASSERT_EQ(out.runs.size(), writes.size());
        for (const auto &run : out.runs) {
            ASSERT_FALSE(run.empty());
            EXPECT_EQ(run.back(), 100);
        }
        EXPECT_TRUE(flash() == flashAfter) << "simulated flash differs";
    }

    void setOffset(const char *text) {
        std::memset(rec_.flash_offset, 0, sizeof rec_.flash_offset);
        std::strncpy(rec_.flash_offset, text, sizeof rec_.flash_offset - 1);
    }
};

TEST_F(Download, PlainWriteAtOffsetLandsByteForByte) {
    setOffset("0x00010000");
    expectDownload(kt::randomBytes(5000, 1), {{"00010000", 0x10000, 0, 5000, nullptr}});
}

TEST_F(Download, WithoutHashVerificationNoHashQuery) {
    setOffset("0x0400");
    rec_.hash_verify = 2; // only exactly 1 verifies
    expectDownload(kt::randomBytes(2048, 2), {{"0400", 0x400, 0, 2048, nullptr}});
}

TEST_F(Download, KeepSystemDataFromOffsetZero) {
    setOffset("0x0000");
    rec_.keep_sys_data = 1;
    expectDownload(kt::randomBytes(0x6000, 3),
                   {{"0000", 0, 0, 0x1000, "Downloading partition.bin...\r"},
                    {"00002000", 0x2000, 0x2000, 0x1000, "Downloading wifi data...\r"},
                    {"00003000", 0x3000, 0x3000, 0x3000, nullptr}});
}

TEST_F(Download, KeepBothFromInsideSystemData) {
    setOffset("0x1800");
    rec_.keep_sys_data = 1;
    rec_.keep_wifi_data = 1;
    expectDownload(kt::randomBytes(0x4000, 4), {{"00003000", 0x3000, 0x1800, 0x2800, nullptr}});
}

TEST_F(Download, KeepOptionsIgnoredFromRestRegion) {
    setOffset("0x3000");
    rec_.keep_sys_data = 1;
    rec_.keep_wifi_data = 1;
    expectDownload(kt::randomBytes(0x2400, 5), {{"3000", 0x3000, 0, 0x2400, nullptr}});
}

TEST_F(Download, KeepValueTwoCountsInsideTheSplit) {
    setOffset("0x0000");
    rec_.keep_sys_data = 2;
    rec_.keep_wifi_data = 1;
    expectDownload(kt::randomBytes(0x4000, 6),
                   {{"0000", 0, 0, 0x1000, "Downloading partition.bin...\r"},
                    {"00003000", 0x3000, 0x3000, 0x1000, nullptr}});
}

TEST_F(Download, KeepValueTwoAloneIsAPlainWrite) {
    setOffset("0x0000");
    rec_.keep_sys_data = 2;
    expectDownload(kt::randomBytes(0x2800, 7), {{"0000", 0, 0, 0x2800, nullptr}});
}

TEST_F(Download, ShortImageSkipsEmptyRegions) {
    setOffset("0x0000");
    rec_.keep_wifi_data = 1;
    expectDownload(kt::randomBytes(0x1800, 8),
                   {{"0000", 0, 0, 0x1000, "Downloading partition.bin...\r"},
                    {"00001000", 0x1000, 0x1000, 0x800, "Downloading system data...\r"}});
}

TEST_F(Download, ChipEraseFirst) {
    setOffset("0x2000");
    rec_.chip_erase = 1;
    expectDownload(kt::randomBytes(3000, 9), {{"2000", 0x2000, 0, 3000, nullptr}},
                   "Erasing chip...\r\nReceived:OK length:2\nErase successful\n", "ceras 0 1\n");
}

TEST_F(Download, PinLearnedFromWordReplyOverridesRecord) {
    rec_.flash_pin = 1;
    rec_.hash_verify = 1;
    setImage(kt::randomBytes(1500, 10));
    startSim({"--pin-char", "D"});
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(commandLog(), connectLog() + "fwd 0 0 0000\nhashq 1500 0 0\n");
}

TEST_F(Download, ProgressRisesFromBelowHundredToHundred) {
    // Paced like a real line, so the monitor sees the transfer advance.
    rec_.baudrate = 115200;
    rec_.hash_verify = 0;
    setImage(kt::randomBytes(24 * 1024, 11));
    startSim({"--baud-model"});
    kt::RunResult r = cli({"-download"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    SplitOutput out = splitProgress(r.out);
    ASSERT_EQ(out.runs.size(), 1u) << r.out;
    expectSoundProgress(out.runs[0]);
    EXPECT_GE(out.runs[0].size(), 4u);
}

TEST_F(Download, HashMismatchFailsTheDownload) {
    setImage(kt::randomBytes(3000, 12));
    startSim({"--wrong-digest"});
    kt::RunResult r = cli({"-download"});
    SplitOutput out = splitProgress(r.out);
    EXPECT_EQ(out.text, kHead + kStart +
                            "Xmodem Downloading...\n<progress>\nRecv OK successful\n"
                            "Xmodem successfully transmitted 3072 bytes\n"
                            "HashVerify Fail\ndownload failed.\n");
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(Download, HashMismatchNamesTheRegionAndStops) {
    rec_.keep_sys_data = 1;
    setImage(kt::randomBytes(0x4000, 13));
    startSim({"--wrong-digest"});
    kt::RunResult r = cli({"-download"});
    SplitOutput out = splitProgress(r.out);
    EXPECT_EQ(out.text, kHead + kStart +
                            "Downloading partition.bin...\r\n"
                            "Xmodem Downloading...\n<progress>\nRecv OK successful\n"
                            "Xmodem successfully transmitted 4096 bytes\n"
                            "HashVerify Fail\ndownload partition.bin failed.\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(commandLog(), connectLog() + "fwd 0 1 0000\nhashq 4096 0 1\n");
}

// Where standard output cannot take the messages, the download still puts
// the whole image into the flash, and only commands reach the chip.
class DownloadOutput : public DeviceTest {
  protected:
    void expectFlashed(kt::Output output, int exitCode) {
        std::string image = kt::randomBytes(6000, 14);
        setImage(image);
        std::string flashAfter = seedFlash();
        applyWrite(&flashAfter, 0, image);
        startSim();
        kt::RunResult r = kt::runWithOutput({KELVO_CLI_PATH, "-download"}, dir_.path(), output);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, exitCode);
        EXPECT_EQ(commandLog(), connectLog() + "fwd 0 1 0000\nhashq 6000 0 1\n");
        EXPECT_TRUE(flash() == flashAfter) << "simulated flash differs";
    }
};

TEST_F(DownloadOutput, ClosedOutputIsDiscarded) {
    expectFlashed(kt::Output::Closed, 0);
}

TEST_F(DownloadOutput, PipeWithoutReaderFailsOnlyTheOutput) {
    expectFlashed(kt::Output::BrokenPipe, 1);
}

} // namespace
} // namespace dt
