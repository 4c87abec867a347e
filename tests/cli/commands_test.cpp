// Start-up, dispatch, usage text and exit statuses of kelvo_pgtool_cli.
#include "cli_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

namespace ct {
namespace {

const char *const kUsage = "usage:\n"
                           "    -show [device|setting|generate]\n"
                           "        E.g. -show device\n"
                           "    -set image <path>\n"
                           "        E.g. -set image D:\\test\\flash_is.bin\n"
                           "    -set baudrate <baudrate>\n"
                           "        E.g. -set baudrate 1000000\n"
                           "    -set hash_verify <hash_verify_option>\n"
                           "        E.g. -set hash_verify 1\n"
                           "    -set keep_sys_data <sys_data_option>\n"
                           "        E.g. -set keep_sys_data 1\n"
                           "    -set keep_wifi_data <wifi_data_option>\n"
                           "        E.g. -set keep_wifi_data 1\n"
                           "    -set flash_offset <flash_offset_value>\n"
                           "        E.g. -set flash_offset 0x00000000\n"
                           "    -set chip_erase <chip_erase_value>\n"
                           "        E.g. -set chip_erase 1\n"
                           "    -scan device\n"
                           "    -add device <device>\n"
                           "        E.g. -add device /dev/ttyUSB0\n"
                           "    -erase chip\n"
                           "        E.g. -erase chip\n"
                           "    -erase sector <offset> <length>\n"
                           "        E.g. -erase sector 0x00004000 1000\n"
                           "    -download\n"
                           "    -set generate_bin <number of bin> <path> <offset>\n"
                           "        E.g. -set generate_bin 1 D:\\test\\partition.bin 0x0000\n"
                           "    -generate\n";

using Startup = CliTest;

TEST_F(Startup, NoArgumentsCreatesDefaultFilesAndIsAUsageError) {
    auto r = cli({});
    EXPECT_EQ(r.out, "use -help for help\nno args given\n");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(sameBytes(record(), defaultRecord()));
    EXPECT_TRUE(sameBytes(map(), defaultMap()));
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
}

TEST_F(Startup, HelpPrintsTheUsageText) {
    auto r = cli({"-help"});
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(sameBytes(record(), defaultRecord()));
    EXPECT_TRUE(sameBytes(map(), defaultMap()));
}

// Asking what a program is leaves nothing behind; only the exact single
// words are the options, anything more is a command as before.
TEST_F(Startup, HelpAndVersionOfEveryProgramCreateNoFile) {
    const std::string version = KELVO_VERSION;
    struct Case {
        std::string program, word, out; // out: the whole output, or its first line + "\n..."
    };
    std::vector<Case> cases = {
        {KELVO_CLI_PATH, "--help", kUsage},
        {KELVO_CLI_PATH, "-h", kUsage},
        {KELVO_CLI_PATH, "--version", "kelvo_pgtool_cli " + version + "\n"},
        {KELVO_SIM_PATH, "--help", "Usage: kelvo_chipsim [OPTION]...\n..."},
        {KELVO_SIM_PATH, "--version", "kelvo_chipsim " + version + "\n"},
#ifdef KELVO_PGTOOL_GANG_PATH
        {KELVO_PGTOOL_GANG_PATH, "--help",
         "Usage: kelvo_pgtool_gang [--log FILE] [--output-dir DIR] [--cfx URL] "
         "[NAME=]PORT...\n..."},
        {KELVO_PGTOOL_GANG_PATH, "--version", "kelvo_pgtool_gang " + version + "\n"},
#endif
#ifdef KELVO_PGTOOL_PATH
        {KELVO_PGTOOL_PATH, "--help", "Usage: kelvo_pgtool [qt-option]...\n..."},
        {KELVO_PGTOOL_PATH, "--version", "kelvo_pgtool " + version + "\n"},
#endif
    };
    for (const Case &c : cases) {
        auto r = kt::run({c.program, c.word}, dir.path(), 20000);
        EXPECT_EQ(r.exit_code, 0) << c.program << " " << c.word;
        EXPECT_EQ(r.err, "") << c.program << " " << c.word;
        size_t more = c.out.find("\n...");
        if (more == std::string::npos) {
            EXPECT_EQ(r.out, c.out) << c.program << " " << c.word;
        } else {
            EXPECT_EQ(r.out.substr(0, more + 1), c.out.substr(0, more + 1)) << c.program;
            EXPECT_NE(r.out.find("  --version "), std::string::npos) << c.program;
        }
        EXPECT_EQ(listing(), std::vector<std::string>{}) << c.program << " " << c.word;
    }
    auto r = cli({"--help", "now"});
    EXPECT_EQ(r.out, "Invalid args given\n");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
}

TEST_F(Startup, ExistingFilesAreNeverReplaced) {
    // Files of any size and content are taken as they are.
    writeRecord("short");
    writeMap(kt::randomBytes(7000, 3));
    for (auto args : {std::vector<std::string>{"-help"}, {}, {"-show", "generate"}, {"x"}}) {
        cli(args);
    }
    EXPECT_TRUE(sameBytes(record(), "short"));
    EXPECT_TRUE(sameBytes(map(), kt::randomBytes(7000, 3)));
}

TEST_F(Startup, UnreadableExistingFileIsReportedButKept) {
    ASSERT_EQ(::symlink("missing-target", dir.file("record.dat").c_str()), 0);
    auto r = cli({"-help"});
    EXPECT_EQ(r.out, std::string("error in opening file : No such file or directory\n") + kUsage);
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("record.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_FALSE(kt::fileExists(dir.file("missing-target")));
}

using Dispatch = CliTest;

TEST_F(Dispatch, UnknownOrMiscountedWordsAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"-Show"},
        {"-help", "me"},
        {"-show", "Device"},
        {"-show", "settings"},
        {"-scan", "usb"},
        {"-erase", "flash"},
        {"-set", "colour", "red"},
        {"-add", "port", "/dev/ttyUSB0"},
        {"-erase", "sector", "0x4000"},
        {"-set", "generate_bin", "1", "a.bin"},
        {"-set", "image", "a", "b"},
        {"-set", "unknown", "1", "a.bin", "0x0"},
        {"-add", "generate_bin", "1", "a.bin", "0x0"},
        {"-set", "generate_bin", "1", "a.bin", "0x0", "extra"},
        {"a", "b", "c", "d", "e", "f", "g"},
    };
    for (const auto &args : cases) {
        auto r = cli(args);
        EXPECT_EQ(r.out, "Invalid args given\n") << args[0] << " / " << args.size() << " words";
        EXPECT_EQ(r.exit_code, 2) << args[0] << " / " << args.size() << " words";
    }
    EXPECT_TRUE(sameBytes(record(), defaultRecord()));
    EXPECT_TRUE(sameBytes(map(), defaultMap()));
}

TEST_F(Dispatch, FlagsTakeExactlyZeroOrOne) {
    for (const char *option : {"chip_erase", "hash_verify", "keep_sys_data", "keep_wifi_data"}) {
        for (const char *value : {"2", "01", "1 ", " 0", "true", ""}) {
            auto r = cli({"-set", option, value});
            EXPECT_EQ(r.out, "Invalid args given, the value should be 0 or 1\n")
                << option << "=" << value;
            EXPECT_EQ(r.exit_code, 2) << option << "=" << value;
        }
    }
    EXPECT_TRUE(sameBytes(record(), defaultRecord()));
}

TEST_F(Dispatch, FlagsAreStoredAtTheirOffsets) {
    std::string expected = defaultRecord();
    const std::pair<const char *, size_t> flags[] = {
        {"chip_erase", 620}, {"hash_verify", 624}, {"keep_sys_data", 628}, {"keep_wifi_data", 632}};
    for (const auto &[option, offset] : flags) {
        for (int value : {1, 0, 1}) {
            auto r = cli({"-set", option, std::to_string(value)});
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.exit_code, 0);
            putInt(expected, offset, value);
            EXPECT_TRUE(sameBytes(record(), expected)) << option << "=" << value;
        }
    }
}

// Until a device answers, every device operation fails, and says so.
TEST_F(Dispatch, FailedDeviceOperationsExitWithOne) {
    auto download = cli({"-download"});
    EXPECT_EQ(download.out.rfind("Beginning XModem Download...\n", 0), 0u) << download.out;
    EXPECT_GT(download.out.size(), std::string("Beginning XModem Download...\n").size());
    EXPECT_EQ(download.exit_code, 1);
    for (auto args :
         {std::vector<std::string>{"-erase", "chip"}, {"-erase", "sector", "0x00004000", "1000"}}) {
        auto r = cli(args);
        EXPECT_NE(r.out, "");
        EXPECT_EQ(r.exit_code, 1) << args[1];
    }
    EXPECT_TRUE(sameBytes(record(), defaultRecord()));
}

TEST_F(Dispatch, UnwritableSettingsFileFailsWithOneAndKeepsTheOldFile) {
    cli({"-set", "baudrate", "9600"});
    std::string before = record();
    auto r = cliWithoutSpace({"-set", "baudrate", "5"}, dir.path());
    EXPECT_EQ(r.out, "error in opening file : File too large\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(sameBytes(record(), before));
    // No temporary file is left behind.
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
}

TEST_F(Dispatch, OutputThatCannotBeWrittenFailsWithOne) {
    if (!kt::fileExists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    // A printout is flushed as it is printed; a help text only at the end.
    for (auto args :
         {std::vector<std::string>{"-show", "setting"}, {"-show", "generate"}, {"-help"}}) {
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full",
                                      KELVO_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(kt::run(argv, dir.path()).exit_code, 1) << args.back();
    }
}

TEST_F(Dispatch, ReadOnlySettingsFileIsNotReplaced) {
    cli({"-help"});
    std::string before = record();
    ASSERT_EQ(::chmod(dir.file("record.dat").c_str(), 0444), 0);
    // The directory stays writable: only the file's own mode may refuse.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    std::vector<std::string> argv{KELVO_CLI_PATH, "-set", "baudrate", "5"};
    if (::geteuid() == 0) { // root writes anything: run as nobody
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    auto r = kt::run(argv, dir.path());
    EXPECT_EQ(r.out, "error in opening file : Permission denied\n") << r.err;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(sameBytes(record(), before));
}

TEST_F(Dispatch, ReplacedSettingsFileKeepsItsPermissions) {
    cli({"-help"});
    ASSERT_EQ(::chmod(dir.file("record.dat").c_str(), 0664), 0);
    ASSERT_EQ(cli({"-set", "baudrate", "9600"}).exit_code, 0);
    struct stat st;
    ASSERT_EQ(::stat(dir.file("record.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
}

TEST_F(Dispatch, StartupInAFullDirectoryCreatesNothingHalfWritten) {
    auto r = cliWithoutSpace({"-help"}, dir.path());
    EXPECT_EQ(r.out, std::string("error in opening file : File too large\n"
                                 "error in opening file : File too large\n") +
                         kUsage);
    EXPECT_EQ(listing(), std::vector<std::string>{});
}

TEST_F(Dispatch, SettingsFileThatIsAPipeIsRefusedWithoutWaiting) {
    for (const char *name : {"record.dat", "generate.dat"}) {
        ASSERT_EQ(::mkfifo(dir.file(name).c_str(), 0644), 0);
    }
    const std::string refused = "error in opening file : not a regular file\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"-show", "setting"}, refused},
        {{"-show", "generate"}, refused},
        {{"-set", "baudrate", "9600"}, refused},
        {{"-generate"}, "Beginning generate...\n" + refused + "generate bin failed.\r\n"}};
    for (const auto &c : cases) {
        auto r = cli(c.first);
        EXPECT_FALSE(r.timed_out) << c.first.back();
        EXPECT_EQ(r.out, c.second) << c.first.back();
        EXPECT_EQ(r.exit_code, 1) << c.first.back();
    }
}

TEST_F(Dispatch, SettingsFileReachedThroughALinkIsUpdatedWhereItPoints) {
    kt::TempDir shared, plain;
    kt::runCli({"-help"}, shared.path());
    ASSERT_EQ(::symlink(shared.file("record.dat").c_str(), dir.file("record.dat").c_str()), 0);
    ASSERT_EQ(cli({"-set", "baudrate", "9600"}).exit_code, 0);
    ASSERT_EQ(kt::runCli({"-set", "baudrate", "9600"}, plain.path()).exit_code, 0);
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("record.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(
        sameBytes(kt::readFile(shared.file("record.dat")), kt::readFile(plain.file("record.dat"))));
    // The temporary file went next to the real one and is gone.
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
}

} // namespace
} // namespace ct
