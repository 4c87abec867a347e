// "-generate": composing "flash.bin" from the layout map.
#include "cli_test_util.h"

#include <sys/stat.h>

namespace ct {
namespace {

const char *const kDone = "Beginning generate...\ngenerate flash.bin done.\r\n";
const char *const kFailed = "generate bin failed.\r\n";

class Composer : public CliTest {
  protected:
    // Writes a file of n random bytes in the working directory.
    std::string input(const std::string &name, size_t n, unsigned seed) {
        std::string bytes = kt::randomBytes(n, seed);
        kt::writeFile(dir.file(name), bytes);
        return bytes;
    }
    void row(int k, const std::string &path, const std::string &offset) {
        ASSERT_EQ(cli({"-set", "generate_bin", std::to_string(k), path, offset}).exit_code, 0);
    }
    kt::RunResult generate() { return cli({"-generate"}); }
    std::string image() const { return kt::readFile(dir.file("flash.bin")); }
    void expectFailure(const std::string &messages) {
        kt::writeFile(dir.file("flash.bin"), "old image");
        auto r = generate();
        EXPECT_EQ(r.out, "Beginning generate...\n" + messages + kFailed);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(sameBytes(image(), "old image"));
    }
};

std::string ff(size_t n) {
    return std::string(n, '\xFF');
}

TEST_F(Composer, WorkedExampleStartsAtTheFirstOffset) {
    std::string a = input("a.bin", 0x20, 1);
    std::string b = input("b.bin", 0x10, 2);
    for (auto offsets :
         {std::pair<const char *, const char *>{"0x0000", "0x0100"}, {"0x1000", "0x1100"}}) {
        row(1, "a.bin", offsets.first);
        row(2, "b.bin", offsets.second);
        auto r = generate();
        EXPECT_EQ(r.out, kDone);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(sameBytes(image(), a + ff(0x100 - 0x20) + b)) << offsets.first;
    }
}

TEST_F(Composer, EmptyMapReplacesAnOldImageWithAnEmptyOne) {
    kt::writeFile(dir.file("flash.bin"), "old image");
    auto r = generate();
    EXPECT_EQ(r.out, kDone);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(kt::fileExists(dir.file("flash.bin")));
    EXPECT_TRUE(sameBytes(image(), ""));
}

TEST_F(Composer, OneRowIsCopiedWhateverItsOffset) {
    std::string a = input("a.bin", 1000, 3);
    row(7, "a.bin", "0x123456");
    EXPECT_EQ(generate().out, kDone);
    EXPECT_TRUE(sameBytes(image(), a));
}

TEST_F(Composer, OnlyRowsInUseCountAndOffsetsParseLeniently) {
    // Row 2 has no offset (NaN reads as 0); "1000" and "0x1000" are equal.
    std::string a = input("a.bin", 0x800, 4);
    std::string b = input("b.bin", 0x10, 5);
    std::string c = input("c.bin", 3, 6);
    kt::writeFile(dir.file("empty.bin"), "");
    ASSERT_EQ(cli({"-set", "generate_bin", "2", "a.bin", "NaN"}).exit_code, 0);
    row(5, "b.bin", "1000");
    row(6, "empty.bin", "0X1010");
    row(9, "c.bin", "0x1020zz");
    auto r = generate();
    EXPECT_EQ(r.out, kDone);
    EXPECT_TRUE(sameBytes(image(), a + ff(0x800) + b + ff(0x10) + c));
}

TEST_F(Composer, AFileMayEndExactlyWhereTheNextBegins) {
    std::string a = input("a.bin", 0x100, 7);
    std::string b = input("b.bin", 5, 8);
    row(1, "a.bin", "0x4000");
    row(2, "b.bin", "0x4100");
    EXPECT_EQ(generate().out, kDone);
    EXPECT_TRUE(sameBytes(image(), a + b));
}

TEST_F(Composer, OverlapsAreRefused) {
    input("a.bin", 0x101, 9);
    input("b.bin", 4, 10);
    row(1, "a.bin", "0x4000");
    row(2, "b.bin", "0x4100");
    expectFailure("the file a.bin and b.bin overlapped.\r\n");
    // Descending offsets always overlap, even with room to spare.
    row(1, "b.bin", "0x8000");
    row(2, "a.bin", "0x0000");
    expectFailure("the file b.bin and a.bin overlapped.\r\n");
}

TEST_F(Composer, UnreadableFilesAreReportedFirst) {
    input("a.bin", 0x200, 11);
    row(1, "a.bin", "0x0");
    row(2, "a.bin", "0x100"); // overlaps, but the missing file is found first
    row(3, "missing.bin", "0x1000");
    expectFailure("the file missing.bin is not exist.\n");
}

TEST_F(Composer, ADirectoryOrAPipeCannotBeMeasured) {
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    row(1, "sub", "0x0");
    expectFailure("failed to fopen sub\nget file length of sub failed.\r\n");
    // A pipe with no writer must not hold the composition.
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
    row(1, "pipe", "0x0");
    expectFailure("failed to fopen pipe\nget file length of pipe failed.\r\n");
}

TEST_F(Composer, AnInputThatReadsShortFailsAndKeepsTheOldImage) {
    // Attribute files of sysfs measure a whole page but hold a few bytes.
    const std::string shrunk = "/sys/class/tty/tty0/dev";
    if (!kt::fileExists(shrunk)) {
        GTEST_SKIP() << "no " << shrunk;
    }
    input("a.bin", 0x10, 14);
    row(1, "a.bin", "0x0");
    row(2, shrunk, "0x100");
    expectFailure("failed to read " + shrunk + "\n");
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"a.bin", "flash.bin", "generate.dat", "record.dat"}));
}

TEST_F(Composer, PathsAsLongAsTheMapHoldsAreUsed) {
    // 511 characters: three directory levels and a long file name.
    std::string path = std::string(200, 'd') + "/" + std::string(200, 'e') + "/";
    ASSERT_EQ(::mkdir(dir.file(path.substr(0, 200)).c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file(path).c_str(), 0755), 0);
    path += std::string(511 - path.size(), 'f');
    std::string a = input(path, 77, 12);
    row(1, path, "0x0");
    EXPECT_EQ(generate().out, kDone);
    EXPECT_TRUE(sameBytes(image(), a));
}

TEST_F(Composer, UnreadableMapFailsWithoutTouchingTheImage) {
    cli({"-help"});
    ::unlink(dir.file("generate.dat").c_str());
    ASSERT_EQ(::mkdir(dir.file("generate.dat").c_str(), 0755), 0);
    expectFailure("error in opening file : Is a directory\n");
}

TEST_F(Composer, FailedWriteKeepsTheOldImage) {
    input("a.bin", 100, 13);
    row(1, "a.bin", "0x0");
    kt::writeFile(dir.file("flash.bin"), "old image");
    auto r = cliWithoutSpace({"-generate"}, dir.path());
    EXPECT_EQ(r.out, std::string("Beginning generate...\n"
                                 "error in opening file : File too large\n") +
                         kFailed);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(sameBytes(image(), "old image"));
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"a.bin", "flash.bin", "generate.dat", "record.dat"}));
}

} // namespace
} // namespace ct
