// The station's parts that need no board: the recipe's checks, the
// counters, and the tile layout of the operator screen.
#include "station/counters.h"
#include "station/line_probe.h"
#include "kelvo_test.h"
#include "sha256_hex.h"
#include "station/operator_screen.h"
#include "station/station.h"
#include "common/recipe.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

namespace {

using std::chrono::minutes;

int count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}
using std::chrono::seconds;

class Recipe : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = kt::randomBytes(3000, 3);
        ::mkdir(dir_.file("fw").c_str(), 0755);
        kt::writeFile(dir_.file("fw/app.bin"), image_);
    }
    std::string digest() const { return gt::sha256Hex(image_); }
    // The recipe with one line replaced (key = value), dropped (value
    // empty) or added.
    std::string recipe(const std::string &key = "", const std::string &value = "") const {
        std::vector<std::pair<std::string, std::string>> lines = {
            {"image", "\"app.bin\""},        {"sha256", "\"" + digest() + "\""},
            {"flash_offset", "\"0x10000\""}, {"baudrate", "921600"},
            {"chip_erase", "false"},         {"hash_verify", "true"},
            {"keep_sys_data", "false"},      {"keep_wifi_data", "false"},
        };
        std::string text;
        bool replaced = false;
        for (const auto &line : lines) {
            if (line.first == key) {
                replaced = true;
                if (!value.empty()) {
                    text += key + " = " + value + "\n";
                }
            } else {
                text += line.first + " = " + line.second + "\n";
            }
        }
        if (!replaced && !key.empty()) {
            text += key + " = " + value + "\n";
        }
        return text;
    }
    bool load(const std::string &text, std::string *error) {
        kt::writeFile(dir_.file("fw/recipe.toml"), text);
        job_ = std::make_unique<gang::DownloadJob>();
        return gang::loadRecipe(dir_.file("fw/recipe.toml"), job_.get(), error);
    }

    kt::TempDir dir_;
    std::string image_;
    std::unique_ptr<gang::DownloadJob> job_;
};

TEST_F(Recipe, LocksEverySettingAndFindsTheImageBesideIt) {
    std::string error;
    ASSERT_TRUE(load(recipe("name", "\"line B\""), &error)) << error;
    const DeviceSetting &rec = job_->record;
    EXPECT_EQ(job_->imagePath, dir_.file("fw/app.bin"));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(job_->image), job_->imageSize), image_);
    EXPECT_STREQ(rec.flash_offset, "0x10000");
    EXPECT_EQ(rec.baudrate, 921600);
    EXPECT_EQ(rec.chip_erase + 2 * rec.hash_verify + 4 * rec.keep_sys_data + 8 * rec.keep_wifi_data,
              2);
    EXPECT_EQ(job_->recipeName, "line B");
    EXPECT_EQ(job_->recipeSha256.size(), 64u);
    // An upper-case digest is the same digest.
    std::string upper = digest();
    for (char &c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_TRUE(load(recipe("sha256", "\"" + upper + "\""), &error)) << error;
}

TEST_F(Recipe, RefusesWhatItCannotTrust) {
    struct Case {
        std::string key, value, message;
    };
    const std::vector<Case> cases = {
        {"sha256", "", "missing key \"sha256\""},
        {"hash_verify", "", "missing key \"hash_verify\""},
        {"retries", "3", "unknown key \"retries\""},
        {"sha256", "\"" + std::string(64, 'g') + "\"", "64 hexadecimal digits"},
        {"sha256", "\"" + std::string(64, '0') + "\"", "has SHA-256"},
        {"baudrate", "\"921600\"", "\"baudrate\" must be a whole number"},
        {"baudrate", "0", "is not a line rate"},
        {"keep_sys_data", "1", "must be true or false"},
        {"quick_replies", "1", "\"quick_replies\" must be true or false"},
        {"flash_offset", "\"10000\"", "refused"},
        {"image", "\"missing.bin\"", "cannot read the image"},
        {"name", "7", "\"name\" must be a string"},
        {"image", "\"app.bin\"\nimage = \"x\"", "line 2"}, // a key twice is no TOML
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_FALSE(load(recipe(c.key, c.value), &error)) << c.key << " = " << c.value;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.key << ": " << error;
        EXPECT_EQ(error.find("recipe " + dir_.file("fw/recipe.toml") + ": "), 0u) << error;
    }
}

TEST_F(Recipe, ImageChangeIsReportedOnce) {
    gang::ImageWatch watch;
    watch.start(dir_.file("fw/app.bin"));
    EXPECT_FALSE(watch.changedOnce());
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a new time stamp
    kt::writeFile(dir_.file("fw/app.bin"), image_ + "x");
    EXPECT_TRUE(watch.changedOnce());
    EXPECT_FALSE(watch.changedOnce());
}

TEST(StationCounters, YieldRateAndAlarm) {
    auto t0 = std::chrono::steady_clock::now();
    gang::Counters c(t0);
    EXPECT_EQ(c.yieldPercent(), -1);
    EXPECT_EQ(c.perHour(t0 + minutes(30)), 0);
    for (int i = 0; i < 3; ++i) {
        c.record(false, t0 + minutes(1 + i));
        EXPECT_EQ(c.alarm(), i == 2);
    }
    c.record(true, t0 + minutes(4));
    EXPECT_FALSE(c.alarm()) << "a pass ends the alarm";
    EXPECT_DOUBLE_EQ(c.yieldPercent(), 25.0);
    // Four boards in the first 5 minutes: 48 an hour; at 20 minutes only
    // those within the last 15 count.
    EXPECT_DOUBLE_EQ(c.perHour(t0 + minutes(5)), 48.0);
    EXPECT_DOUBLE_EQ(c.perHour(t0 + minutes(17) + seconds(30)), 8.0);
    EXPECT_DOUBLE_EQ(c.perHour(t0 + minutes(40)), 0.0);
    EXPECT_EQ(gang::countersText(c, t0 + minutes(5)),
              "1 passed, 3 failed, yield 25.0 %, 48 boards/h");
}

// What a waiting tile says of the board taken out before.
TEST(StationState, LastBoardOutcomeWhileWaiting) {
    struct Case {
        bool have, passed, interrupted, notReady;
        const char *reason, *shown;
        const char *narrow; // in a tile 17 characters wide
    };
    const Case cases[] = {
        {false, false, false, false, "", "", ""},
        {true, true, false, false, "", "last board: PASS", "last board: PASS"},
        {true, false, false, false, "error: hung up", "last board: FAIL, hung up",
         "last board: FAIL"},
        {true, false, false, true, "", "last board: NOT IN DOWNLOAD MODE", "NOT IN DOWNLOAD MODE"},
    };
    for (const Case &c : cases) {
        gang::SlotState slot("A", "/dev/ttyUSB0", std::chrono::steady_clock::now());
        slot.phase = gang::SlotPhase::Waiting;
        slot.haveOutcome = c.have;
        slot.passed = c.passed;
        slot.interrupted = c.interrupted;
        slot.notInDownloadMode = c.notReady;
        slot.reason = c.reason;
        EXPECT_EQ(gang::lastBoard(slot), c.shown);
        EXPECT_EQ(gang::lastBoardLine(slot, 17), c.narrow);
    }
}

// A port not there yet is said on its tile in a word of its own.
TEST(StationState, WaitingWithoutItsPortSaysSo) {
    gang::SlotState slot("A", "/dev/ttyUSB0", std::chrono::steady_clock::now());
    slot.phase = gang::SlotPhase::Waiting;
    slot.problem = "no device";
    EXPECT_EQ(gang::stateWord(slot), "NO PORT YET");
    EXPECT_EQ(gang::stateDetail(slot), "");
    slot.problem = "busy";
    EXPECT_EQ(gang::stateWord(slot), "WAITING");
    EXPECT_EQ(gang::stateDetail(slot), "busy");
}

// The tile's counters keep one wording and lose their last parts first.
TEST(OperatorScreenTile, CountersKeepOneWordingInEveryWidth) {
    auto t0 = std::chrono::steady_clock::now();
    gang::Counters counters(t0);
    counters.record(true, t0 + minutes(1));
    counters.record(false, t0 + minutes(2));
    const std::pair<int, const char *> cases[] = {{40, "1 ok  1 fail  50%  30/h"},
                                                  {22, "1 ok  1 fail  50%"},
                                                  {15, "1 ok  1 fail"},
                                                  {10, "1 ok  1..."}};
    for (const auto &c : cases) {
        EXPECT_EQ(gang::tileCounters(counters, t0 + minutes(4), c.first), c.second) << c.first;
    }
}

// The closing summary names every board a cancel cut short.
TEST(StationSummary, NamesTheInterruptedBoards) {
    auto t0 = std::chrono::steady_clock::now();
    gang::StationState state(t0);
    state.slots.emplace_back("A1", "/dev/ttyUSB0", t0);
    state.interrupted = {{"A1", 7}, {"B2", 3}};
    EXPECT_EQ(gang::stationSummary(state, t0),
              "A1       0 passed, 0 failed, yield -, 0 boards/h\n"
              "station  0 passed, 0 failed, yield -, 0 boards/h\n"
              "Interrupted, must be programmed again: A1 board 7, B2 board 3\n");
}

TEST(OperatorScreenLayout, EveryStationSizeFitsEightyByTwentyFour) {
    for (int slots = 1; slots <= 32; ++slots) {
        gang::TileLayout layout = gang::layoutTiles(slots, 80, 22);
        ASSERT_TRUE(layout.fits()) << slots;
        EXPECT_GE(layout.columns * layout.rows, slots);
        EXPECT_LE(layout.columns * layout.width, 80) << slots;
        EXPECT_LE(layout.rows * layout.height, 22) << slots;
        EXPECT_GE(layout.height, 2) << slots;
    }
    EXPECT_EQ(gang::layoutTiles(1, 80, 22).columns, 1);
    EXPECT_FALSE(gang::layoutTiles(32, 40, 10).fits());
}

// The probe that finds boards: an answer, silence, and the two ways a
// port can be unusable, each told apart.
TEST(LineProbe, TellsABoardFromSilenceAndAnUnusablePort) {
    kt::TempDir dir;
    ::mkdir(dir.file("a").c_str(), 0755);
    ::mkdir(dir.file("b").c_str(), 0755);
    kt::ChipSim board(dir.file("a")), mute(dir.file("b"), {"--no-ping"});
    gang::LineProbe present(board.tty()), silent(mute.tty()), missing(dir.file("ttyGONE"));
    EXPECT_EQ(present.ping(115200, 500), gang::Answer::Yes);
    EXPECT_EQ(present.ping(115200, 500), gang::Answer::Yes) << "again on the open port";
    EXPECT_EQ(silent.ping(115200, 150), gang::Answer::No);
    EXPECT_EQ(missing.ping(115200, 150), gang::Answer::NoPort);
    EXPECT_EQ(missing.problem(), "no device");
    present.close();
    // Another program holding the port (its lock) makes it busy, not silent.
    int holder = ::open(board.tty().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(present.ping(115200, 150), gang::Answer::NoPort);
    EXPECT_EQ(present.problem(), "busy");
    ::close(holder);
    EXPECT_EQ(present.ping(115200, 500), gang::Answer::Yes);
    EXPECT_EQ(present.problem(), "");
    present.close();
    EXPECT_EQ(count(board.commandLog(), "ping\n"), 3) << board.commandLog();
}

// The mark that tells a board already met from a fresh one, and a board
// that talks on its own.
TEST(LineProbe, TellsAMarkedBoardAndOneRunningItsFirmware) {
    kt::TempDir dir;
    ::mkdir(dir.file("a").c_str(), 0755);
    ::mkdir(dir.file("b").c_str(), 0755);
    kt::ChipSim board(dir.file("a")), firmware(dir.file("b"), {"--boot-log"});
    gang::LineProbe probe(board.tty()), talker(firmware.tty());
    EXPECT_EQ(probe.marked(115200, 300), gang::Answer::Other) << "a fresh board has no mark";
    EXPECT_EQ(probe.mark(115200, 300), gang::Answer::Yes);
    EXPECT_EQ(probe.marked(115200, 300), gang::Answer::Yes);
    EXPECT_EQ(probe.ping(115200, 300), gang::Answer::Yes);
    EXPECT_EQ(talker.listen(115200, 4000), gang::Answer::Other);
    EXPECT_EQ(talker.ping(115200, 4000), gang::Answer::Other);
    EXPECT_EQ(firmware.commandLog(), "") << "the firmware takes no commands";
}

} // namespace
