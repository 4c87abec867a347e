// The recipe's per-board values in-process: what is refused when the
// recipe is read, the bytes of each format, and the allocation state.
#include "common/board_programming.h"
#include "common/factory_report.h"
#include "common/log_row.h"
#include "common/recipe.h"
#include "common/unique_state.h"
#include "kelvo_test.h"
#include "sha256_hex.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// An 8 KiB image at 0x1000 (so 0x1000..0x2fff), its digest in the recipe.
class UniqueRecipe : public ::testing::Test {
  protected:
    UniqueRecipe() {
        image_ = std::string(0x2000, '\x5a');
        kt::writeFile(dir_.file("fw.bin"), image_);
        kt::writeFile(dir_.file("keys.txt"), "00112233\naabbccdd\n");
    }
    std::string recipe(const std::string &extra, bool keepWifi = false) {
        return "image = \"fw.bin\"\nsha256 = \"" + sha() +
               "\"\nflash_offset = \"0x1000\"\nbaudrate = 115200\nchip_erase = false\n"
               "hash_verify = true\nkeep_sys_data = false\nkeep_wifi_data = " +
               (keepWifi ? "true" : "false") + "\nunique_state = \"state\"\n" + extra;
    }
    bool load(const std::string &text, gang::DownloadJob *job, std::string *error) {
        kt::writeFile(dir_.file("r.toml"), text);
        return gang::loadRecipe(dir_.file("r.toml"), job, error);
    }
    std::string sha() { return gt::sha256Hex(image_); }
    kt::TempDir dir_;
    std::string image_;
};

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

const char kCounter[] = "[[unique]]\nname = \"sn\"\nkind = \"counter\"\noffset = \"0x1100\"\n";

TEST_F(UniqueRecipe, RefusalsBeforeAnyTraffic) {
    struct Case {
        std::string extra;
        bool keepWifi;
        std::string message;
    } cases[] = {
        {std::string(kCounter) + "first = 1\nlast = 9\nformat = \"u8\"\ncolour = 1\n", false,
         "unique value \"sn\": unknown key \"colour\""},
        {std::string(kCounter) + "first = 1\nlast = 300\nformat = \"u8\"\n", false,
         "\"last\" 300 does not fit format u8"},
        {std::string(kCounter) + "first = 1\nlast = 100000\nformat = \"dec:5\"\n", false,
         "\"last\" 100000 does not fit format dec:5"},
        {std::string(kCounter) + "first = 1\nlast = 9\nformat = \"dec:0\"\n", false,
         "unknown format \"dec:0\""},
        {std::string(kCounter) + "first = 1\nlast = 9\nformat = \"u16le\"\nprefix = \"S\"\n", false,
         "\"prefix\" goes only with a text format"},
        {std::string(kCounter) + "first = 9\nlast = 1\nformat = \"u8\"\n", false,
         "\"last\" is below \"first\""},
        {std::string(kCounter) + "first = 1\nlast = 9\nstep = 0\nformat = \"u8\"\n", false,
         "\"step\" must be at least 1"},
        {std::string(kCounter) + "first = -1\nlast = 9\nformat = \"u8\"\n", false,
         "\"first\" must be a whole number from 0"},
        {"[[unique]]\nname = \"sn\"\nkind = \"counter\"\noffset = \"0xfff\"\nfirst = 1\nlast = 9\n"
         "format = \"u8\"\n",
         false, "lies outside the image (0x1000 to 0x3000)"},
        {"[[unique]]\nname = \"sn\"\nkind = \"counter\"\noffset = \"0x2fff\"\nfirst = 1\nlast = 9\n"
         "format = \"u16be\"\n",
         false, "lies outside the image"},
        {"[[unique]]\nname = \"sn\"\nkind = \"counter\"\noffset = \"0x2100\"\nfirst = 1\nlast = 9\n"
         "format = \"u8\"\n",
         true, "lies in the Wi-Fi data that keep_wifi_data keeps"},
        {std::string(kCounter) + "first = 1\nlast = 9\nformat = \"u32le\"\n" +
             "[[unique]]\nname = \"mac\"\nkind = \"mac\"\noffset = \"0x1103\"\n"
             "first = \"02:00:00:00:00:00\"\nlast = \"02:00:00:00:00:ff\"\n",
         false, "unique values \"sn\" and \"mac\" overlap"},
        {"[[unique]]\nname = \"mac\"\nkind = \"mac\"\noffset = \"0x1100\"\n"
         "first = \"02:00:00:00:00\"\nlast = \"02:00:00:00:00:ff\"\n",
         false, "\"first\" and \"last\" must read xx:xx:xx:xx:xx:xx"},
        {"[[unique]]\nname = \"k\"\nkind = \"list\"\noffset = \"0x1100\"\nfile = \"keys.txt\"\n"
         "width = 5\n",
         false, "line 1 of " + dir_.path() + "/keys.txt has 4 bytes, not 5"},
        {"[[unique]]\nname = \"k\"\nkind = \"list\"\noffset = \"0x1100\"\nfile = \"nothere\"\n"
         "width = 4\n",
         false, "cannot read the list"},
        {std::string(kCounter) + "first = 1\nlast = 9\nformat = \"u8\"\nidentifies_unit = true\n" +
             "[[unique]]\nname = \"b\"\nkind = \"counter\"\noffset = \"0x1200\"\nfirst = 1\n"
             "last = 9\nformat = \"u8\"\nidentifies_unit = true\n",
         false, "only one unique value can identify the unit"},
        {"[[unique]]\nname = \"a,b\"\nkind = \"counter\"\noffset = \"0x1100\"\nfirst = 1\n"
         "last = 9\nformat = \"u8\"\n",
         false, "\"name\" must be 1 to 32 letters, digits, _ or -"},
        {"[[unique]]\nname = \"x\"\nkind = \"uuid\"\noffset = \"0x1100\"\n", false,
         "unknown kind \"uuid\""},
        {"unique = 3\n", false, "\"unique\" must be an array of tables"},
    };
    for (const Case &c : cases) {
        gang::DownloadJob job;
        std::string error;
        EXPECT_FALSE(load(recipe(c.extra, c.keepWifi), &job, &error)) << c.message;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    // A list line that is no hexadecimal, and values without a state file.
    kt::writeFile(dir_.file("keys.txt"), "00112233\nzz\n");
    gang::DownloadJob job;
    std::string error;
    std::string list = "[[unique]]\nname = \"k\"\nkind = \"list\"\noffset = \"0x1100\"\n"
                       "file = \"keys.txt\"\nwidth = 4\n";
    EXPECT_FALSE(load(recipe(list), &job, &error));
    EXPECT_NE(error.find("line 2 of " + dir_.path() + "/keys.txt is not hexadecimal bytes"),
              std::string::npos)
        << error;
    std::string text = recipe(list);
    text.erase(text.find("unique_state"),
               text.find('\n', text.find("unique_state")) + 1 - text.find("unique_state"));
    EXPECT_FALSE(load(text, &job, &error));
    EXPECT_NE(error.find("need \"unique_state\""), std::string::npos) << error;
}

TEST_F(UniqueRecipe, EachFormatWritesItsBytesAndAllocationGoesOnAcrossProcesses) {
    struct Case {
        const char *keys;
        uint64_t index;
        std::string bytes, text;
    } cases[] = {
        {"first = 258\nlast = 600\nformat = \"u16le\"", 0, std::string("\x02\x01", 2), "258"},
        {"first = 258\nlast = 600\nformat = \"u16be\"", 1, std::string("\x01\x03", 2), "259"},
        {"first = 1\nlast = 9\nstep = 4\nformat = \"u32be\"", 2, std::string("\0\0\0\x09", 4), "9"},
        {"first = 5\nlast = 99\nformat = \"u64le\"", 0, std::string("\x05\0\0\0\0\0\0\0", 8), "5"},
        {"first = 42\nlast = 99\nformat = \"dec:6\"\nprefix = \"SN-\"", 0, "SN-000042",
         "SN-000042"},
        {"first = 255\nlast = 4095\nformat = \"hex:4\"", 1, "0100", "0100"},
    };
    for (const Case &c : cases) {
        gang::DownloadJob job;
        std::string error;
        ASSERT_TRUE(load(recipe(std::string(kCounter) + c.keys + "\n"), &job, &error)) << error;
        EXPECT_EQ(job.unique.values[0].bytesAt(c.index), c.bytes) << c.keys;
        EXPECT_EQ(job.unique.values[0].textAt(c.index), c.text) << c.keys;
    }
    gang::DownloadJob job;
    std::string error;
    ASSERT_TRUE(load(recipe("[[unique]]\nname = \"mac\"\nkind = \"mac\"\noffset = \"0x1100\"\n"
                            "first = \"02:00:00:00:00:fe\"\nlast = \"02:00:00:00:01:03\"\n"
                            "step = 2\n"
                            "[[unique]]\nname = \"k\"\nkind = \"list\"\noffset = \"0x1200\"\n"
                            "file = \"keys.txt\"\nwidth = 4\n"),
                     &job, &error))
        << error;
    // Each allocation in a process of its own, as the slots do.
    for (int i = 0; i < 2; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            gang::Allocation a;
            ::_exit(gang::allocateValues(job.unique, "p", &a, &error) ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    gang::Allocation a;
    EXPECT_FALSE(gang::allocateValues(job.unique, "p", &a, &error));
    EXPECT_EQ(error, "unique value \"k\" is used up (list keys.txt sha256 " +
                         job.unique.values[1].listSha256 + ", 2 handed out)");
    std::string text;
    ASSERT_TRUE(gang::uniqueStatusText(job.unique, &text, &error)) << error;
    EXPECT_NE(text.find("mac: next 02:00:00:00:01:02, 1 left of 3"), std::string::npos) << text;
    EXPECT_NE(text.find("k: next (none: used up), 0 left of 2"), std::string::npos) << text;
    EXPECT_EQ(count(kt::readFile(dir_.file("state.journal")), "p allocated mac=02:00:00:00:0"), 2u);
    // Another list file behind the same state: refused, the state kept.
    std::string state = kt::readFile(dir_.file("state"));
    kt::writeFile(dir_.file("keys.txt"), "00112233\naabbccdd\n01010101\n");
    EXPECT_FALSE(load(recipe("[[unique]]\nname = \"mac\"\nkind = \"mac\"\noffset = \"0x1100\"\n"
                             "first = \"02:00:00:00:00:fe\"\nlast = \"02:00:00:00:01:03\"\n"
                             "step = 2\n"
                             "[[unique]]\nname = \"k\"\nkind = \"list\"\noffset = \"0x1200\"\n"
                             "file = \"keys.txt\"\nwidth = 4\n"),
                      &job, &error));
    EXPECT_NE(error.find("belongs to other values: \"k\" there is list keys.txt sha256"),
              std::string::npos)
        << error;
    EXPECT_EQ(kt::readFile(dir_.file("state")), state);
}

TEST_F(UniqueRecipe, ABoardsValuesReachItsLogRowAndItsFactoryMessages) {
    gang::DownloadJob job;
    std::string error;
    ASSERT_TRUE(load(recipe(std::string(kCounter) +
                            "first = 7\nlast = 9\nformat = \"dec:3\"\nidentifies_unit = true\n"
                            "[[unique]]\nname = \"k\"\nkind = \"list\"\noffset = \"0x1200\"\n"
                            "file = \"keys.txt\"\nwidth = 4\n"),
                     &job, &error))
        << error;
    gang::Allocation allocation{{1, 0}, {"008", "00112233"}};
    gang::BoardRecord record;
    record.id.unit = "A50285BI"; // the adapter's serial number gives way
    gang::giveValues(job.unique, allocation, &record.id);
    EXPECT_EQ(gang::factoryUnit(record.id).identifier, "008");
    auto result = gang::factoryResult(job, "fw", factory::cfx::BoardResult::Kind::Passed, record);
    auto tested = factory::cfx::unitsTestedBody("t", gang::factoryUnit(record.id), result);
    EXPECT_EQ(tested["TestedUnits"][0]["UnitIdentifier"], "008");
    std::string comments = tested["TestedUnits"][0]["Tests"][0]["Comments"];
    EXPECT_NE(comments.find(" sn=008 k=00112233"), std::string::npos) << comments;
    std::vector<gang::CsvColumn> columns = gang::logColumns(job.unique);
    std::vector<std::string> row = gang::stationLogRow({&job, "", ""}, record);
    ASSERT_EQ(row.size(), columns.size());
    EXPECT_EQ(columns[columns.size() - 2].name + "=" + row[row.size() - 2], "sn=008");
    EXPECT_EQ(columns.back().name + "=" + row.back(), "k=00112233");
}

} // namespace
