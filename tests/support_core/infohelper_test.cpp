#include "KelvoPG_core.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Infohelper : public ::testing::Test {
  protected:
    void SetUp() override { infohelper_set_infolevel(1); }
    void TearDown() override { infohelper_set_infolevel(1); }
};

TEST_F(Infohelper, InitialLevelShowsErrorsAndWarningsOnly) {
    FdCapture out(1);
    infohelper_output(0, "bad %d", 7);
    infohelper_output(1, "odd %s", "thing");
    infohelper_output(2, "detail");
    infohelper_output(3, "more detail");
    EXPECT_EQ(out.text(), "error: bad 7\nwarning: odd thing\n");
}

void collectLine(int32_t level, const char *line, void *lines) {
    static_cast<std::vector<std::string> *>(lines)->push_back(std::to_string(level) + line);
}

// A front end's copy gets the lines that pass the filter, as printed and
// whatever their length; standard output is unchanged.
TEST_F(Infohelper, LineHookSeesPrintedLines) {
    std::vector<std::string> lines;
    const std::string longText(3000, 'x');
    FdCapture out(1);
    infohelper_set_line_hook(collectLine, &lines);
    infohelper_output(0, "cannot access %s: busy", "/dev/ttyUSB0");
    infohelper_output(2, "filtered");
    infohelper_output(1, "%s", longText.c_str());
    infohelper_set_line_hook(nullptr, nullptr);
    infohelper_output(0, "after");
    EXPECT_EQ(out.text(),
              "error: cannot access /dev/ttyUSB0: busy\nwarning: " + longText + "\nerror: after\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "0error: cannot access /dev/ttyUSB0: busy");
    EXPECT_EQ(lines[1].substr(0, 11), "1warning: x"); // cut to the hook's line size
}

TEST_F(Infohelper, DetailLevelsAreIndented) {
    infohelper_set_infolevel(4);
    FdCapture out(1);
    infohelper_output(2, "two");
    infohelper_output(3, "three");
    infohelper_output(4, "four");
    infohelper_output(7, "seven");
    EXPECT_EQ(out.text(), "two\n\tthree\n\t\tfour\n");
}

TEST_F(Infohelper, PlainOutputHasNoPrefixOrNewline) {
    FdCapture out(1);
    EXPECT_EQ(infohelper_output_plain(1, "%d%%", 50), 3);
    EXPECT_EQ(infohelper_output_plain(2, "hidden"), 0);
    EXPECT_EQ(out.text(), "50%");
}

TEST_F(Infohelper, DiagnosticDuringProgressStartsOnItsOwnLine) {
    FdCapture out(1);
    infohelper_output_progress("\rDownloading ---- %d%%", 5);
    infohelper_output(3, "hidden detail");
    infohelper_output(0, "line down");
    infohelper_output_progress("\rDownloading ---- %d%%", 6);
    infohelper_output(1, "again");
    EXPECT_EQ(infohelper_end_progress(), 1);
    EXPECT_EQ(infohelper_end_progress(), 0);
    EXPECT_EQ(out.text(), "\rDownloading ---- 5%\nerror: line down\n"
                          "\rDownloading ---- 6%\nwarning: again\n");
}

TEST_F(Infohelper, ProgressLineLeftOpenWithoutDiagnostic) {
    FdCapture out(1);
    infohelper_output_progress("\r%d%%", 40);
    infohelper_output(2, "filtered out at level 1");
    EXPECT_EQ(infohelper_end_progress(), 0);
    EXPECT_EQ(out.text(), "\r40%");
}

int levelAfterArgs(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(&a[0]);
    }
    infohelper_set_argverbosity(static_cast<int>(argv.size()), argv.data());
    return infohelper_get_infolevel();
}

TEST_F(Infohelper, VerbositySwitches) {
    EXPECT_EQ(levelAfterArgs({"prog", "-vv", "word"}), 3);
    infohelper_set_infolevel(1);
    EXPECT_EQ(levelAfterArgs({"prog", "-v", "-vvv"}), 5);
    infohelper_set_infolevel(1);
    EXPECT_EQ(levelAfterArgs({"prog", "-vxv", "v", "--v"}), 2);
    infohelper_set_infolevel(1);
    EXPECT_EQ(levelAfterArgs({"prog", "-q", "-vv"}), 0);
    infohelper_set_infolevel(1);
    EXPECT_EQ(levelAfterArgs({"prog", "-vv", "-quiet"}), 0);
}

TEST_F(Infohelper, SwitchesStopAtTwenty) {
    // Beyond that the 8-bit level would wrap negative and hide errors.
    EXPECT_EQ(levelAfterArgs({"prog", "-" + std::string(200, 'v')}), 20);
}

TEST_F(Infohelper, IncreaseStopsAtTwenty) {
    infohelper_set_infolevel(18);
    EXPECT_EQ(infohelper_increase_infolevel(), 19);
    EXPECT_EQ(infohelper_increase_infolevel(), 20);
    EXPECT_EQ(infohelper_increase_infolevel(), 20);
    EXPECT_EQ(infohelper_get_infolevel(), 20);
}

} // namespace
