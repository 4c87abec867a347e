// "record.dat": setters, refusals, printouts and damaged files.
#include "cli_test_util.h"

#include <sys/stat.h>

namespace ct {
namespace {

using Record = CliTest;

struct TextOption {
    std::vector<std::string> command; // without the value
    size_t offset, width;
    const char *name;
};

const TextOption kTextOptions[] = {
    {{"-add", "device"}, 0, 100, "device"},
    {{"-set", "image"}, 108, 512, "image"},
    {{"-set", "flash_offset"}, 636, 16, "flash_offset"},
};

std::vector<std::string> with(std::vector<std::string> command, const std::string &value) {
    command.push_back(value);
    return command;
}

// Random bytes everywhere prove that a setter rewrites its own field only.
TEST_F(Record, TextSettersZeroFillTheirFieldAndKeepEveryOtherByte) {
    std::string expected = kt::randomBytes(kRecordSize, 11);
    writeRecord(expected);
    for (const auto &option : kTextOptions) {
        std::string longest(option.width - 1, 'L');
        for (const std::string &value : {longest, std::string("/a b"), std::string()}) {
            auto r = cli(with(option.command, value));
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.exit_code, 0);
            putField(expected, option.offset, option.width, value);
            EXPECT_TRUE(sameBytes(record(), expected))
                << option.name << " = " << value.size() << " chars";
        }
    }
}

TEST_F(Record, TooLongTextIsRefusedAndNothingIsWritten) {
    std::string before = kt::randomBytes(kRecordSize, 12);
    writeRecord(before);
    for (const auto &option : kTextOptions) {
        auto r = cli(with(option.command, std::string(option.width, 'x')));
        EXPECT_EQ(r.out, "Value too long for " + std::string(option.name) + ": at most " +
                             std::to_string(option.width - 1) + " characters\n");
        EXPECT_EQ(r.exit_code, 2);
    }
    EXPECT_TRUE(sameBytes(record(), before));
}

TEST_F(Record, BaudRateIsParsedLikeStrtol) {
    const std::pair<const char *, int32_t> cases[] = {
        {"115200abc", 115200}, {"abc", 0},        {"-5", -5},  {"4294967296", 0},
        {"  +9600", 9600},     {"4294967297", 1}, {"0x10", 0}, {"2147483648", INT32_MIN},
    };
    std::string expected = kt::randomBytes(kRecordSize, 13);
    writeRecord(expected);
    for (const auto &[text, value] : cases) {
        auto r = cli({"-set", "baudrate", text});
        EXPECT_EQ(r.exit_code, 0);
        putInt(expected, 104, value);
        EXPECT_TRUE(sameBytes(record(), expected)) << text;
    }
}

TEST_F(Record, ShowSettingPrintsTheDefaults) {
    auto r = cli({"-show", "setting"});
    EXPECT_EQ(r.out, "CMD_download_setting\n"
                     " Image file path:\tNaN\n"
                     " Baudrate:\t\t1000000\n"
                     " Chip Erase:            0\n"
                     " Hash Verify:           1\n"
                     " Keep sys data:         0\n"
                     " Keep wifi data:        0\n"
                     " Flash Offset:          0x0000\n");
    EXPECT_EQ(r.exit_code, 0);
    auto d = cli({"-show", "device"});
    EXPECT_EQ(d.out, "CMD_download_device\n Added device:\tNaN\n");
    EXPECT_EQ(d.exit_code, 0);
}

TEST_F(Record, ShowSettingPrintsWhatWasSet) {
    for (auto args : {std::vector<std::string>{"-set", "image", "/tmp/fw.bin"},
                      {"-set", "baudrate", "-7"},
                      {"-set", "chip_erase", "1"},
                      {"-set", "hash_verify", "0"},
                      {"-set", "keep_sys_data", "1"},
                      {"-set", "keep_wifi_data", "1"},
                      {"-set", "flash_offset", "zzz"},
                      {"-add", "device", "/dev/ttyACM3"}}) {
        ASSERT_EQ(cli(args).exit_code, 0) << args[1];
    }
    EXPECT_EQ(cli({"-show", "setting"}).out, "CMD_download_setting\n"
                                             " Image file path:\t/tmp/fw.bin\n"
                                             " Baudrate:\t\t-7\n"
                                             " Chip Erase:            1\n"
                                             " Hash Verify:           0\n"
                                             " Keep sys data:         1\n"
                                             " Keep wifi data:        1\n"
                                             " Flash Offset:          zzz\n");
    EXPECT_EQ(cli({"-show", "device"}).out, "CMD_download_device\n Added device:\t/dev/ttyACM3\n");
}

TEST_F(Record, FieldsWithoutTerminatorArePrintedUpToTheirWidth) {
    std::string rec(kRecordSize, 'A');
    writeRecord(rec);
    EXPECT_EQ(cli({"-show", "device"}).out,
              "CMD_download_device\n Added device:\t" + std::string(100, 'A') + "\n");
    auto r = cli({"-show", "setting"});
    EXPECT_NE(r.out.find(" Image file path:\t" + std::string(512, 'A') + "\n"), std::string::npos);
    EXPECT_NE(r.out.find(" Flash Offset:          " + std::string(16, 'A') + "\n"),
              std::string::npos);
}

TEST_F(Record, ShortFileIsCompletedFromTheDefaults) {
    writeRecord(std::string("/dev/ttyUSB7\0", 13));
    EXPECT_EQ(cli({"-show", "device"}).out, "CMD_download_device\n Added device:\t/dev/ttyUSB7\n");
    ASSERT_EQ(cli({"-set", "baudrate", "9600"}).exit_code, 0);
    std::string expected = defaultRecord();
    putText(expected, 0, std::string("/dev/ttyUSB7\0", 13));
    putInt(expected, 104, 9600);
    EXPECT_TRUE(sameBytes(record(), expected));
}

TEST_F(Record, UnreadableRecordShowsOnlyTheErrorAndIsNotWritten) {
    ASSERT_EQ(::mkdir(dir.file("record.dat").c_str(), 0755), 0);
    for (auto args : {std::vector<std::string>{"-show", "setting"},
                      {"-show", "device"},
                      {"-set", "baudrate", "9600"},
                      {"-set", "chip_erase", "1"},
                      {"-add", "device", "/dev/ttyUSB0"}}) {
        auto r = cli(args);
        EXPECT_EQ(r.out, "error in opening file : Is a directory\n") << args[1];
        EXPECT_EQ(r.exit_code, 1) << args[1];
    }
    struct stat st;
    ASSERT_EQ(::stat(dir.file("record.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
}

} // namespace
} // namespace ct
