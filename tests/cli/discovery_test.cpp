// The listing of candidate serial devices, over a fabricated sysfs directory.
#include "KelvoPG_core.h"
#include "kelvo_test.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

namespace {

class Discovery : public ::testing::Test {
  protected:
    void entries(const std::vector<std::string> &names) {
        for (const auto &name : names) {
            ASSERT_EQ(::mkdir(sys.file(name).c_str(), 0755), 0) << name;
        }
    }
    // The directory's own order, which the listing reverses.
    std::vector<std::string> listingOrder() const {
        std::vector<std::string> names;
        DIR *d = ::opendir(sys.path().c_str());
        while (dirent *e = ::readdir(d)) {
            names.push_back(e->d_name);
        }
        ::closedir(d);
        return names;
    }
    std::string scan(int *result) {
        FdCapture out(1);
        *result = getComListIn(sys.path().c_str());
        return out.text();
    }
    kt::TempDir sys;
};

TEST_F(Discovery, NoAdapterPrintsOnlyTheHeading) {
    entries({"ttyS0", "tty1", "console", "ptmx"});
    int result = 0;
    EXPECT_EQ(scan(&result), "Path scanned...\n");
    EXPECT_EQ(result, KELVO_SUCCESS);
}

TEST_F(Discovery, AdaptersAreListedInReverseDirectoryOrder) {
    entries({"ttyUSB0", "ttyS0", "ttyACM0", "tty1", "ttyUSB1", "console", "ttyACM12"});
    std::string expected = "Path scanned...\n";
    auto order = listingOrder();
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        if (it->find("ttyUSB") != std::string::npos || it->find("ttyACM") != std::string::npos) {
            expected += "Available device port: /dev/" + *it + "\n";
        }
    }
    int result = 0;
    EXPECT_EQ(scan(&result), expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 5);
}

TEST_F(Discovery, NamesTooLongForADevicePathAreSkipped) {
    // "/dev/" and the name must fit in 127 characters.
    entries({"ttyUSB" + std::string(117, '9'), "ttyUSB" + std::string(116, '9')});
    int result = 0;
    EXPECT_EQ(scan(&result),
              "Path scanned...\nAvailable device port: /dev/ttyUSB" + std::string(116, '9') + "\n");
}

TEST_F(Discovery, MissingDirectoryIsReportedOnStandardError) {
    std::string missing = sys.file("nothing");
    FdCapture err(2);
    FdCapture out(1);
    EXPECT_EQ(getComListIn(missing.c_str()), KELVO_FILE_ERROR);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "scandir: No such file or directory\n");
}

} // namespace
