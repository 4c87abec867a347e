// Per-board values end to end: stations of simulated fixtures write a
// serial number, a MAC address and a key from a list into every board;
// the saved flash of every board is read back and no value may appear on
// two boards, whatever happens to the stations.
#include "kelvo_test.h"
#include "station_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

using gt::count;
using gt::sha256Hex;
using gt::StationRun;

constexpr size_t kImageSize = 4096;
constexpr size_t kSerialAt = 0x100, kSerialWidth = 10; // "SN" + 8 digits
constexpr size_t kMacAt = 0x200;
constexpr size_t kKeyAt = 0x300, kKeyWidth = 16;
constexpr int kKeys = 200;

// A fixture whose simulated operator puts boards in one after another;
// each board's flash is saved as flash.bin.N when it is taken out.
class Fixture {
  public:
    Fixture(const std::string &dir, const std::string &name, int boards,
            std::vector<std::string> extra = {})
        : home_(dir + "/" + name) {
        ::mkdir(home_.c_str(), 0755);
        std::vector<std::string> args{"--absent",     "--boards", std::to_string(boards),
                                      "--flash-size", "65536",    "--board-interval",
                                      "0.2"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<kt::ChipSim>(home_, args);
    }
    const std::string &tty() const { return sim_->tty(); }
    // Every board's flash that the simulator saved: the boards taken out,
    // then (once stopped) the one left in it, unless that is the last one
    // taken out, whose flash the file keeps.
    std::vector<std::string> flashes() {
        std::vector<std::string> all;
        for (int n = 1; kt::fileExists(sim_->flashFile() + "." + std::to_string(n)); ++n) {
            all.push_back(kt::readFile(sim_->flashFile() + "." + std::to_string(n)));
        }
        std::string inBay = sim_->flash();
        if (all.empty() || inBay != all.back()) {
            all.push_back(inBay);
        }
        return all;
    }
    std::string commands() const { return sim_->commandLog(); }

  private:
    std::string home_;
    std::unique_ptr<kt::ChipSim> sim_;
};

// The values one flash holds, or none when its first block was never written.
struct Values {
    std::string serial, mac, key;
    bool operator<(const Values &o) const {
        return std::tie(serial, mac, key) < std::tie(o.serial, o.mac, o.key);
    }
};

std::string hex(const std::string &bytes, const char *separator = "") {
    std::string text;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        text += (text.empty() ? "" : separator) + std::string(buf);
    }
    return text;
}

bool valuesIn(const std::string &flash, Values *v) {
    if (flash.size() < kImageSize || flash[0] == '\xff') {
        return false; // erased: never touched
    }
    v->serial = flash.substr(kSerialAt, kSerialWidth);
    v->mac = hex(flash.substr(kMacAt, 6), ":");
    v->key = hex(flash.substr(kKeyAt, kKeyWidth));
    return true;
}

// The log's rows as (serial, mac, key) -> result, from the last three columns.
std::map<std::string, Values> loggedValues(const std::string &log, std::string *results) {
    std::map<std::string, Values> rows;
    std::istringstream lines(log);
    std::string line;
    std::getline(lines, line); // header
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::stringstream row(line.substr(0, line.size() - 1));
        for (std::string f; std::getline(row, f, ',');) {
            fields.push_back(f);
        }
        Values v{fields[fields.size() - 3], fields[fields.size() - 2], fields.back()};
        rows[v.serial] = v;
        *results += fields[10] + " ";
    }
    return rows;
}

class Unique : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = kt::randomBytes(kImageSize, 11);
        kt::writeFile(dir_.file("image.bin"), image_);
        std::string keys;
        for (int i = 0; i < kKeys; ++i) {
            keys += hex(kt::randomBytes(kKeyWidth, 100 + static_cast<unsigned>(i))) + "\n";
        }
        kt::writeFile(dir_.file("keys.txt"), keys);
        writeRecipe(1000, 1999, 1);
    }
    void writeRecipe(int first, int last, int step) {
        serialFirst_ = first;
        serialLast_ = last;
        std::string serialRange = "first = " + std::to_string(first) +
                                  "\nlast = " + std::to_string(last) +
                                  "\nstep = " + std::to_string(step) + "\n";
        kt::writeFile(
            dir_.file("recipe.toml"),
            "name = \"widget\"\nimage = \"image.bin\"\nsha256 = \"" + sha256Hex(image_) +
                "\"\nflash_offset = \"0x0\"\nbaudrate = 921600\nchip_erase = false\n"
                "hash_verify = true\nkeep_sys_data = false\nkeep_wifi_data = false\n"
                "unique_state = \"values.state\"\n\n"
                "[[unique]]\nname = \"serial\"\nkind = \"counter\"\noffset = \"0x100\"\n" +
                serialRange +
                "format = \"dec:8\"\nprefix = \"SN\"\nidentifies_unit = true\n\n"
                "[[unique]]\nname = \"mac\"\nkind = \"mac\"\noffset = \"0x200\"\n"
                "first = \"02:4b:00:00:10:00\"\nlast = \"02:4b:00:00:1f:ff\"\nstep = 2\n\n"
                "[[unique]]\nname = \"key\"\nkind = \"list\"\noffset = \"0x300\"\n"
                "file = \"keys.txt\"\nwidth = 16\n");
    }
    // Every flash holds the image with its own values, inside their ranges,
    // none twice among all the flashes checked so far.
    void checkFlashes(const std::vector<std::string> &flashes) {
        for (const std::string &flash : flashes) {
            Values v;
            if (!valuesIn(flash, &v)) {
                continue;
            }
            ++written_;
            EXPECT_TRUE(seen_.insert(v.serial).second) << "twice: " << v.serial;
            EXPECT_TRUE(seen_.insert(v.mac).second) << "twice: " << v.mac;
            EXPECT_TRUE(seen_.insert(v.key).second) << "twice: " << v.key;
            int serial = std::stoi(v.serial.substr(2));
            EXPECT_TRUE(v.serial.compare(0, 2, "SN") == 0 && serial >= serialFirst_ &&
                        serial <= serialLast_)
                << v.serial;
            EXPECT_EQ(v.mac.compare(0, 12, "02:4b:00:00:"), 0) << v.mac;
            EXPECT_NE(keys().find(v.key + "\n"), std::string::npos) << v.key;
            // Elsewhere the image as given (a board cut off keeps less).
            std::string rest = flash.substr(kKeyAt + kKeyWidth, 0x400 - kKeyAt - kKeyWidth);
            EXPECT_EQ(rest, image_.substr(kKeyAt + kKeyWidth, rest.size()));
            flashValues_[v.serial] = v;
        }
    }
    std::string keys() const { return kt::readFile(dir_.file("keys.txt")); }
    std::string dir() const { return dir_.path(); }

    kt::TempDir dir_;
    std::string image_;
    std::set<std::string> seen_;
    std::map<std::string, Values> flashValues_;
    int written_ = 0;
    int serialFirst_ = 0, serialLast_ = 0;
};

TEST_F(Unique, TwoStationsOnOneStateGiveEveryBoardItsOwnValuesAndLogThem) {
    // The second fixture's third board answers the digest query wrongly:
    // it fails, and its values are never given again.
    Fixture a(dir(), "a", 7), b(dir(), "b", 7, {"--faulty-boards", "3", "--wrong-digest"}),
        c(dir(), "c", 7);
    StationRun one(dir(), {"--recipe", "recipe.toml", "--log", "log.csv", a.tty(), b.tty()},
                   "one.out");
    StationRun two(dir(), {"--recipe", "recipe.toml", "--log", "log.csv", c.tty()}, "two.out");
    ASSERT_TRUE(one.sawTimes(" removed", 14, 240)) << one.output();
    ASSERT_TRUE(two.sawTimes(" removed", 7, 240)) << two.output();
    one.key('q');
    two.key('q');
    EXPECT_EQ(one.exitStatus(), 0) << one.output();
    EXPECT_EQ(two.exitStatus(), 0) << two.output();
    for (Fixture *f : {&a, &b, &c}) {
        checkFlashes(f->flashes());
    }
    // A loaded machine may fail a board of its own (a reply too late): its
    // values are then used up like the planted failure's, never given again.
    std::string journal = kt::readFile(dir_.file("values.state.journal"));
    size_t failed = count(journal, " used by a failed board ");
    EXPECT_GE(written_, static_cast<int>(21 - failed));
    EXPECT_LE(written_, 21);
    std::string results;
    std::map<std::string, Values> logged =
        loggedValues(kt::readFile(dir_.file("log.csv")), &results);
    EXPECT_EQ(logged.size(), 21u);
    for (const auto &row : flashValues_) {
        ASSERT_EQ(logged.count(row.first), 1u) << row.first;
        EXPECT_EQ(logged[row.first].mac, row.second.mac);
        EXPECT_EQ(logged[row.first].key, row.second.key);
    }
    EXPECT_EQ(count(results, "176 "), 21u - failed) << results;
    EXPECT_EQ(count(journal, " allocated "), 21u) << journal;
    EXPECT_NE(journal.find(" used by a failed board (HashVerify Fail) "), std::string::npos)
        << journal;
    // The unit identifier on the screen's events, and what is left.
    EXPECT_NE(one.output().find("programming (serial=SN0000"), std::string::npos);
    kt::RunResult status =
        kt::run({KELVO_GANG_PATH, "--unique-status", "--recipe", "recipe.toml"}, dir());
    EXPECT_EQ(status.exit_code, 0) << status.err;
    EXPECT_NE(status.out.find("serial: next SN00001021, 979 left of 1000"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("key: next " + keys().substr(21 * 33, 32) + ", 179 left of 200"),
              std::string::npos)
        << status.out;
}

TEST_F(Unique, StationsKilledAtRandomMomentsNeverGiveAValueTwice) {
    std::mt19937 random(std::random_device{}());
    for (int run = 0; run < 4; ++run) {
        std::string home = dir() + "/run" + std::to_string(run);
        ::mkdir(home.c_str(), 0755);
        std::vector<std::unique_ptr<Fixture>> fixtures;
        std::vector<std::string> args{"--recipe", dir() + "/recipe.toml"};
        for (const char *name : {"a", "b", "c"}) {
            fixtures.push_back(std::make_unique<Fixture>(home, name, 20));
            args.push_back(fixtures.back()->tty());
        }
        {
            StationRun station(home, args);
            // Once a board is through, at a random moment of the others'.
            ASSERT_TRUE(station.saw(" PASS", 120)) << station.output();
            int ms = std::uniform_int_distribution<int>(0, 4000)(random);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            station.signal(SIGKILL);
            station.exitStatus();
        }
        for (auto &f : fixtures) {
            checkFlashes(f->flashes());
        }
    }
    EXPECT_GT(written_, 0);
    // The state is still accepted, and counts every value handed out.
    kt::RunResult status =
        kt::run({KELVO_GANG_PATH, "--unique-status", "--recipe", "recipe.toml"}, dir());
    ASSERT_EQ(status.exit_code, 0) << status.err;
    int left = std::stoi(status.out.substr(status.out.find(", ", status.out.find("serial:")) + 2));
    EXPECT_LE(written_, 1000 - left) << status.out;
}

TEST_F(Unique, AUsedUpRangeLeavesTheNextBoardUntouchedAndAnotherRangeIsRefused) {
    writeRecipe(7, 9, 2); // 7 and 9
    Fixture a(dir(), "a", 3);
    {
        StationRun station(dir(), {"--recipe", "recipe.toml", "--log", "log.csv", a.tty()});
        // Not programmed, so never taken out by the simulated operator.
        ASSERT_TRUE(station.saw("board 3 FAIL", 120)) << station.output();
        station.key('q');
        EXPECT_EQ(station.exitStatus(), 0);
        EXPECT_NE(station.output().find(": unique value \"serial\" is used up (counter 7..9 step "
                                        "2, 2 handed out)"),
                  std::string::npos)
            << station.output();
    }
    EXPECT_EQ(count(a.commands(), "fwd "), 2u) << "the third board was written to";
    std::vector<std::string> flashes = a.flashes();
    checkFlashes(flashes);
    EXPECT_EQ(written_, 2);
    EXPECT_EQ(flashValues_.count("SN00000007") + flashValues_.count("SN00000009"), 2u);
    std::string state = kt::readFile(dir_.file("values.state"));
    // Another range on the same state: refused before any traffic, the state kept.
    writeRecipe(7, 99, 2);
    Fixture b(dir(), "b", 1);
    StationRun again(dir(), {"--recipe", "recipe.toml", b.tty()}, "again.out");
    EXPECT_EQ(again.exitStatus(), 2);
    EXPECT_NE(again.output().find("belongs to other values: \"serial\" there is counter 7..9 step "
                                  "2, the recipe's is counter 7..99 step 2"),
              std::string::npos)
        << again.output();
    EXPECT_EQ(kt::readFile(dir_.file("values.state")), state);
    EXPECT_EQ(b.commands().find("fwd"), std::string::npos);
}

TEST_F(Unique, HashVerificationCoversTheValuesAsWrittenToTheBoard) {
    // The second board's flash keeps its erased byte where the serial
    // number's last digit goes: only the digest of what was written to
    // that board, values included, can tell.
    Fixture a(
        dir(), "a", 2,
        {"--faulty-boards", "2", "--stuck-byte", std::to_string(kSerialAt + kSerialWidth - 1)});
    StationRun station(dir(), {"--recipe", "recipe.toml", "--log", "log.csv", a.tty()});
    ASSERT_TRUE(station.saw("board 2 FAIL", 120)) << station.output();
    station.key('q');
    EXPECT_EQ(station.exitStatus(), 0);
    EXPECT_NE(station.output().find("board 1 PASS"), std::string::npos) << station.output();
    std::string results, log = kt::readFile(dir_.file("log.csv"));
    std::map<std::string, Values> logged = loggedValues(log, &results);
    EXPECT_EQ(results, "176 184 ");
    EXPECT_EQ(count(log, ",HashVerify Fail,"), 1u) << log;
    EXPECT_EQ(logged.count("SN00001001"), 1u);
    std::string flash = a.flashes().back();
    EXPECT_EQ(flash.substr(kSerialAt, kSerialWidth), std::string("SN0000100") + '\xff');
}

} // namespace
