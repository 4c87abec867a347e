// The pure parts of device programming: what user texts are accepted, the
// pin decoding and the region plan of a download.
#include "device/device_internal.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using kelvo::OffsetCheck;

OffsetCheck check(const char *text, uint32_t *value = nullptr) {
    uint32_t v = 0xDEADBEEF;
    OffsetCheck c = kelvo::parseFlashOffset(text, &v);
    if (value) {
        *value = v;
    }
    return c;
}

TEST(OffsetText, AcceptsHexAfterPrefixCountingEveryDigit) {
    uint32_t v = 0;
    EXPECT_EQ(check("0x4000", &v), OffsetCheck::Valid);
    EXPECT_EQ(v, 0x4000u);
    EXPECT_EQ(check("0x00004000", &v), OffsetCheck::Valid);
    EXPECT_EQ(v, 0x4000u);
    EXPECT_EQ(check("0xaBcD", &v), OffsetCheck::Valid);
    EXPECT_EQ(v, 0xABCDu);
    EXPECT_EQ(check("0x7FFFFFFF", &v), OffsetCheck::Valid);
    EXPECT_EQ(v, 0x7FFFFFFFu);
    EXPECT_EQ(check("0x0000000001000", &v), OffsetCheck::Valid); // 15 characters
    EXPECT_EQ(v, 0x1000u);
}

// A text is sent on the command line as typed: its length is bounded
// before its value is looked at.
TEST(OffsetText, MoreThanFifteenCharactersIsAFormatError) {
    EXPECT_EQ(check("0x00000000001000"), OffsetCheck::BadFormat);
    EXPECT_EQ(check(("0x" + std::string(4998, '0')).c_str()), OffsetCheck::BadFormat);
    EXPECT_EQ(check("0xFFFFFFFFFFFFF"), OffsetCheck::OutOfRange);
    EXPECT_EQ(check("0xFFFFFFFFFFFFFF"), OffsetCheck::BadFormat);
    EXPECT_TRUE(kelvo::isLengthText("000000000004096"));
    EXPECT_TRUE(kelvo::isLengthText("0x0000000001000"));
    EXPECT_FALSE(kelvo::isLengthText("0000000000004096"));
    EXPECT_FALSE(kelvo::isLengthText("0x00000000001000"));
}

TEST(OffsetText, RefusesAnythingElse) {
    for (const char *bad : {"", "0x", "4000", "0X4000", "x4000", "0xZZ", "0x12G", "0x 10", " 0x10",
                            "0x10 ", "0x10\n", "-0x10", "0x+10", "NaN"}) {
        EXPECT_EQ(check(bad), OffsetCheck::BadFormat) << '"' << bad << '"';
    }
    EXPECT_EQ(check(nullptr), OffsetCheck::BadFormat);
}

TEST(OffsetText, RangeHasNoWrapToLow32Bits) {
    EXPECT_EQ(check("0x80000000"), OffsetCheck::OutOfRange);
    EXPECT_EQ(check("0xFFFFFFFF"), OffsetCheck::OutOfRange);
    EXPECT_EQ(check("0x100000000"), OffsetCheck::OutOfRange);
    EXPECT_EQ(check("0x100001000"), OffsetCheck::OutOfRange);
}

TEST(LengthText, DecimalOrPrefixedHexOnly) {
    for (const char *good : {"1000", "0", "0x1000", "0xff", "007"}) {
        EXPECT_TRUE(kelvo::isLengthText(good)) << good;
    }
    for (const char *bad :
         {"", "0x", "10 0", "1000\nceras 0 1", "12a", "-5", "+5", "0X10", "1e3", "1000\r"}) {
        EXPECT_FALSE(kelvo::isLengthText(bad)) << bad;
    }
    EXPECT_FALSE(kelvo::isLengthText(nullptr));
}

std::string wordReply(char pinChar) {
    std::string r = "DW 40000038 = 0000000";
    r += pinChar;
    return r + "\r\n";
}

TEST(PinFromWordReply, BitOneOfUpperCaseHexDigit) {
    const std::string ones = "2367ABEF", zeros = "014589CD";
    for (char c : ones) {
        std::string r = wordReply(c);
        EXPECT_EQ(kelvo::pinFromWordReply(r.c_str(), r.size(), 0), 1) << c;
    }
    for (char c : zeros) {
        std::string r = wordReply(c);
        EXPECT_EQ(kelvo::pinFromWordReply(r.c_str(), r.size(), 1), 0) << c;
    }
    for (char c : std::string("abefG \x00", 7)) {
        std::string r = wordReply(c);
        EXPECT_EQ(kelvo::pinFromWordReply(r.c_str(), r.size(), 7), 7) << int(c);
    }
    std::string shortReply = "DW 40000038 = 0000";
    EXPECT_EQ(kelvo::pinFromWordReply(shortReply.c_str(), shortReply.size(), 5), 5);
}

// The plan as "offset@position+length" steps (region messages aside).
std::string plan(size_t size, uint32_t offset, const char *text, int keepSys, int keepWifi) {
    std::ostringstream out;
    for (const auto &w : kelvo::planImageWrites(size, offset, text, keepSys, keepWifi)) {
        out << w.offset << '@' << std::hex << w.position << '+' << w.length << ' ';
    }
    return out.str();
}

TEST(RegionPlan, PlainWriteUnlessAKeepOptionIsExactlyOne) {
    EXPECT_EQ(plan(0x20000, 0, "0x0000", 0, 0), "0x0000@0+20000 ");
    EXPECT_EQ(plan(0x20000, 0x1800, "0x1800", 2, 0), "0x1800@0+20000 ");
    EXPECT_EQ(plan(0x20000, 0x3000, "0x3000", 1, 1), "0x3000@0+20000 ");
    EXPECT_EQ(plan(0x500, 0x10000, "0x00010000", 0, 1), "0x00010000@0+500 ");
}

TEST(RegionPlan, WorkedExamples) {
    EXPECT_EQ(plan(0x20000, 0, "0x0000", 1, 0),
              "0x0000@0+1000 0x00002000@2000+1000 0x00003000@3000+1d000 ");
    EXPECT_EQ(plan(0x20000, 0x1800, "0x1800", 1, 1), "0x00003000@1800+1e800 ");
    EXPECT_EQ(plan(0x20000, 0, "0x0000", 0, 1),
              "0x0000@0+1000 0x00001000@1000+1000 0x00003000@3000+1d000 ");
    EXPECT_EQ(plan(0x20000, 0x1000, "0x1000", 1, 0), "0x00002000@1000+1000 0x00003000@2000+1e000 ");
    // Non-zero keeps count inside the split: 2 keeps the system data too.
    EXPECT_EQ(plan(0x5000, 0x0800, "0x800", 2, 1), "0x800@0+800 0x00003000@2800+2800 ");
    EXPECT_EQ(plan(0x5000, 0x2400, "0x2400", 1, 0), "0x2400@0+c00 0x00003000@c00+4400 ");
}

TEST(RegionPlan, ImageUsedUpEarlyLeavesNoEmptyWrites) {
    EXPECT_EQ(plan(0x2000, 0, "0x0000", 1, 0), "0x0000@0+1000 ");
    EXPECT_EQ(plan(0x800, 0, "0x0", 0, 1), "0x0@0+800 ");
    EXPECT_EQ(plan(0x1000, 0x1000, "0x1000", 1, 0), "");
    EXPECT_EQ(plan(0x1001, 0x0, "0x0", 1, 1), "0x0@0+1000 ");
}

} // namespace

namespace {

bool padsIntoKept(size_t size, uint32_t offset, int keepSys, int keepWifi) {
    auto steps = kelvo::planImageWrites(size, offset, "0x0", keepSys, keepWifi);
    return kelvo::paddingHitsKeptRegion(steps, keepSys, keepWifi);
}

TEST(RegionPlan, ZeroFillOfLastBlockMustNotReachKeptRegion) {
    // 0xF00 bytes at 0x100 go out as 4 blocks, up to 0x1100.
    EXPECT_TRUE(padsIntoKept(0x8000, 0x100, 1, 0));
    EXPECT_TRUE(padsIntoKept(0x40, 0xFF0, 1, 0));
    EXPECT_TRUE(padsIntoKept(0x8000, 0x1100, 0, 1));
    // Rewritten by the next write, or block-aligned: harmless.
    EXPECT_FALSE(padsIntoKept(0x8000, 0x100, 0, 1));
    EXPECT_FALSE(padsIntoKept(0x8000, 0x2100, 1, 0));
    EXPECT_FALSE(padsIntoKept(0x8000, 0x0C00, 1, 1));
    EXPECT_FALSE(padsIntoKept(0x10, 0x0, 1, 1));
    EXPECT_FALSE(padsIntoKept(0x8001, 0x3100, 1, 1));
    // A plain write keeps nothing.
    EXPECT_FALSE(padsIntoKept(0x8000, 0x100, 2, 0));
}

} // namespace
