// XModem paced by the wire: at low rates a block takes longer on the line
// than the reply wait, and a reply that comes late or not at all must
// never be credited to another block.
#include "e2e_support.h"

#include <ostream>

namespace dt {
namespace {

struct Paced {
    int baud;
    size_t imageSize;
};

void PrintTo(const Paced &p, std::ostream *os) {
    *os << p.baud << " baud, " << p.imageSize << " bytes";
}

class PacedTest : public DeviceTest {
  protected:
    // Downloads image with the simulator's extra arguments; the flash must
    // hold it afterwards and the chip must have seen one completed transfer.
    void expectDownloaded(const std::string &image, const std::vector<std::string> &simArgs) {
        std::vector<std::string> args{"--baud-model", "--events", path("events.log")};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        setImage(image);
        startSim(args);
        kt::RunResult r = cli({"-download"}, 120000);
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_NE(r.out.find("HashVerify success\nEnd Download\r\n"), std::string::npos) << r.out;
        std::string events = kt::readFile(path("events.log"));
        size_t blocks = (image.size() + 1023) / 1024;
        EXPECT_EQ(events.rfind("xmodem completed " + std::to_string(blocks * 1024) + " bytes", 0),
                  0u)
            << events;
        EXPECT_EQ(events.find('\n'), events.size() - 1) << events;
        EXPECT_TRUE(flash().substr(0, image.size()) == image);
    }
};

class PacedDownload : public PacedTest, public ::testing::WithParamInterface<Paced> {};

TEST_P(PacedDownload, BlocksSlowerThanTheReplyWaitArrive) {
    rec_.baudrate = GetParam().baud;
    expectDownloaded(kt::randomBytes(GetParam().imageSize, GetParam().baud), {});
}

INSTANTIATE_TEST_SUITE_P(Rates, PacedDownload,
                         ::testing::Values(Paced{2400, 1500}, Paced{9600, 5000},
                                           Paced{19200, 5000}),
                         [](const ::testing::TestParamInfo<Paced> &info) {
                             return std::to_string(info.param.baud);
                         });

using ResentBlock = PacedTest;

// A lost ACK makes the block go out again; a late one arrives while it
// does, and the chip's reply to the repeat must not count for the next.
TEST_F(ResentBlock, LostAckEndsRight) {
    rec_.baudrate = 115200;
    expectDownloaded(kt::randomBytes(4096, 31), {"--lose-ack-after-blocks", "1"});
}

TEST_F(ResentBlock, LateAckEndsRight) {
    rec_.baudrate = 115200;
    expectDownloaded(kt::randomBytes(4096, 32), {"--late-ack-after-blocks", "1"});
}

// A stale NAK before a block's ACK makes it go out again; the ACK of the
// repeat must not count for the next block, which the chip did not take.
TEST_F(ResentBlock, StaleNakEndsRight) {
    rec_.baudrate = 115200;
    expectDownloaded(kt::randomBytes(2048, 33), {"--stale-nak-after-blocks", "0"});
}

} // namespace
} // namespace dt
