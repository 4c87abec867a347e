// Quick replies against a board with its own pace: the simulator's think
// times, packets and faults, each case a download with hash verification
// (or an erase) in one framing. A reply split by a pause longer than the
// quiet gap fails in quick mode where the full window takes it whole.
#include "e2e_support.h"

#include <cstdlib>
#include <ostream>

namespace dt {
namespace {

struct QuickCase {
    const char *name;
    bool quick;
    int baud;
    std::vector<std::string> simArgs;
    std::vector<std::string> command;
    int exitCode;
    const char *expected; // text the output must hold
};

void PrintTo(const QuickCase &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<std::string> kDownload{"-download"};
const std::vector<std::string> kRealistic{"--realistic-timing"};
const char *const kQuickLine = "Reply framing: quick replies (quiet gap 20 ms)\n";

const QuickCase kCases[] = {
    {"Realistic115200", true, 115200, kRealistic, kDownload, 0,
     "HashVerify success\nEnd Download\r\n"},
    {"Realistic1M", true, 1000000, kRealistic, kDownload, 0,
     "HashVerify success\nEnd Download\r\n"},
    {"Realistic3M", true, 3000000, kRealistic, kDownload, 0,
     "HashVerify success\nEnd Download\r\n"},
    // Packets 5 ms apart: well inside the quiet gap.
    {"SmallSlowPackets",
     true,
     1000000,
     {"--realistic-timing", "--usb-latency-us", "5000", "--usb-packet", "4"},
     kDownload,
     0,
     "HashVerify success\nEnd Download\r\n"},
    {"RealisticChipErase", true, 1000000, kRealistic, {"-erase", "chip"}, 0, "Erase successful\n"},
    {"RealisticSectorErase",
     true,
     1000000,
     {"--realistic-timing", "--sector-erase-ms", "30"},
     {"-erase", "sector", "0x8000", "8192"},
     0,
     "Erase successful\n"},
    {"SplitReplyFailsQuick",
     true,
     1000000,
     {"--split-reply-ms", "150"},
     kDownload,
     1,
     "pi\ndevice ping not received\n"},
    {"SplitReplyFullWindow",
     false,
     1000000,
     {"--split-reply-ms", "150"},
     kDownload,
     0,
     "HashVerify success\nEnd Download\r\n"},
    // The tail lands in front of the next reply, which then is not "ping".
    {"LateTailQuick",
     true,
     1000000,
     {"--late-tail-ms", "80"},
     kDownload,
     1,
     "device ping not received\n"},
    {"SilentBoardQuick",
     true,
     1000000,
     {"--no-ping"},
     kDownload,
     1,
     "Received:\ndevice ping not received\n"},
};

class QuickReplies : public DeviceTest, public ::testing::WithParamInterface<QuickCase> {
  protected:
    void TearDown() override { unsetenv("KELVO_QUICK_REPLIES"); }
};

TEST_P(QuickReplies, VerdictAsTheFramingAllows) {
    const QuickCase &c = GetParam();
    rec_.baudrate = c.baud;
    rec_.hash_verify = 1;
    std::string image = kt::randomBytes(5000, static_cast<unsigned>(c.baud));
    setImage(image);
    startSim(c.simArgs);
    if (c.quick) {
        setenv("KELVO_QUICK_REPLIES", "1", 1);
    }
    kt::RunResult r = cli(c.command);
    EXPECT_EQ(r.exit_code, c.exitCode) << r.out;
    EXPECT_EQ(r.out.find(kQuickLine) != std::string::npos, c.quick) << r.out;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    if (c.exitCode == 0 && c.command == kDownload) {
        EXPECT_TRUE(flash().substr(0, image.size()) == image);
    }
}

INSTANTIATE_TEST_SUITE_P(Timing, QuickReplies, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<QuickCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace dt
