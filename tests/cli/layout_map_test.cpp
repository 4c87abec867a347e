// "generate.dat": rows set and shown, refusals, damaged files.
#include "cli_test_util.h"

#include <sys/stat.h>

namespace ct {
namespace {

using LayoutMap = CliTest;

std::string defaultListing() {
    std::string s = "CMD_generate_map\n";
    for (int k = 1; k <= 10; ++k) {
        s += " " + std::to_string(k) + "  NaN  NaN\n";
    }
    return s;
}

TEST_F(LayoutMap, SettingARowChangesThatRowOnly) {
    std::string expected = kt::randomBytes(kMapSize, 21);
    writeMap(expected);
    std::string longPath(511, 'p');
    std::string longOffset(99, '7');
    for (const auto &[path, offset] :
         {std::pair<std::string, std::string>{longPath, longOffset}, {"boot.bin", "0x8000"}}) {
        auto r = cli({"-set", "generate_bin", "3", path, offset});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.exit_code, 0);
        putRow(expected, 3, path, offset);
        EXPECT_TRUE(sameBytes(map(), expected));
    }
}

TEST_F(LayoutMap, ShowListsASetRowInItsPlace) {
    EXPECT_EQ(cli({"-show", "generate"}).out, defaultListing());
    ASSERT_EQ(cli({"-set", "generate_bin", "3", "dir/app.bin", "0x8000"}).exit_code, 0);
    ASSERT_EQ(cli({"-set", "generate_bin", "10", "last.bin", "f000"}).exit_code, 0);
    std::string expected = defaultListing();
    expected.replace(expected.find(" 3  NaN  NaN"), 12, " 3  dir/app.bin  0x8000");
    expected.replace(expected.find(" 10  NaN  NaN"), 13, " 10  last.bin  f000");
    EXPECT_EQ(cli({"-show", "generate"}).out, expected);
}

TEST_F(LayoutMap, BadRowNumbersAreRefused) {
    std::string before = kt::randomBytes(kMapSize, 22);
    writeMap(before);
    for (const char *number : {"0", "11", "-1", "abc", "", "4294967297", "99999999999999999999"}) {
        auto r = cli({"-set", "generate_bin", number, "a.bin", "0x0"});
        EXPECT_EQ(r.out, "Invalid row number: " + std::string(number) + " (expected 1 to 10)\n");
        EXPECT_EQ(r.exit_code, 2);
    }
    EXPECT_TRUE(sameBytes(map(), before));
}

TEST_F(LayoutMap, TooLongTextsAreRefused) {
    cli({"-help"});
    std::string before = map();
    auto path = cli({"-set", "generate_bin", "1", std::string(512, 'p'), "0x0"});
    EXPECT_EQ(path.out, "Value too long for path: at most 511 characters\n");
    EXPECT_EQ(path.exit_code, 2);
    auto offset = cli({"-set", "generate_bin", "1", "a.bin", std::string(100, '1')});
    EXPECT_EQ(offset.out, "Value too long for offset: at most 99 characters\n");
    EXPECT_EQ(offset.exit_code, 2);
    EXPECT_TRUE(sameBytes(map(), before));
}

TEST_F(LayoutMap, ShortMapIsCompletedFromTheDefaults) {
    std::string head = defaultMap().substr(0, kRowSize + 10);
    putRow(head, 1, "first.bin", "0x0");
    writeMap(head);
    ASSERT_EQ(cli({"-set", "generate_bin", "5", "five.bin", "0x5000"}).exit_code, 0);
    std::string expected = defaultMap();
    putRow(expected, 1, "first.bin", "0x0");
    putRow(expected, 5, "five.bin", "0x5000");
    EXPECT_TRUE(sameBytes(map(), expected));
}

TEST_F(LayoutMap, UnreadableMapShowsOnlyTheErrorAndIsNotWritten) {
    ASSERT_EQ(::mkdir(dir.file("generate.dat").c_str(), 0755), 0);
    for (auto args : {std::vector<std::string>{"-show", "generate"},
                      {"-set", "generate_bin", "1", "a.bin", "0x0"}}) {
        auto r = cli(args);
        EXPECT_EQ(r.out, "error in opening file : Is a directory\n") << args[1];
        EXPECT_EQ(r.exit_code, 1);
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
}

TEST_F(LayoutMap, UnwritableMapKeepsTheOldFile) {
    ASSERT_EQ(cli({"-set", "generate_bin", "2", "two.bin", "0x100"}).exit_code, 0);
    std::string before = map();
    auto r = cliWithoutSpace({"-set", "generate_bin", "2", "other.bin", "0x200"}, dir.path());
    EXPECT_EQ(r.out, "error in opening file : File too large\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(sameBytes(map(), before));
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
}

} // namespace
} // namespace ct
