#include "e2e_support.h"

#include <algorithm>
#include <cstring>

namespace dt {
namespace {

const std::string kProgressPrefix = "\rDownloading ---- ";

bool hasArg(const std::vector<std::string> &args, const std::string &name) {
    return std::find(args.begin(), args.end(), name) != args.end();
}

// Parses "<digits>%" at pos; the value, or -1.
int parsePercent(const std::string &out, size_t *pos) {
    size_t end = *pos;
    while (end < out.size() && std::isdigit(static_cast<unsigned char>(out[end]))) {
        ++end;
    }
    if (end == *pos || end >= out.size() || out[end] != '%') {
        return -1;
    }
    int value = std::stoi(out.substr(*pos, end - *pos));
    *pos = end + 1;
    return value;
}

} // namespace

SplitOutput splitProgress(const std::string &out) {
    SplitOutput res;
    size_t pos = 0;
    bool inRun = false;
    while (pos < out.size()) {
        if (out.compare(pos, kProgressPrefix.size(), kProgressPrefix) == 0) {
            size_t after = pos + kProgressPrefix.size();
            int value = parsePercent(out, &after);
            if (value >= 0) {
                if (!inRun) {
                    res.text += "<progress>";
                    res.runs.emplace_back();
                    inRun = true;
                }
                res.runs.back().push_back(value);
                pos = after;
                continue;
            }
        }
        inRun = false;
        res.text += out[pos++];
    }
    return res;
}

void expectSoundProgress(const std::vector<int> &run) {
    ASSERT_FALSE(run.empty());
    EXPECT_LT(run.front(), 100) << "the first percentage printed was 100";
    EXPECT_GT(run.front(), 0) << "0 is never printed";
    EXPECT_EQ(run.back(), 100);
    for (size_t i = 1; i < run.size(); ++i) {
        EXPECT_GT(run[i], run[i - 1]) << "at print " << i;
    }
}

std::string connectLog(int baud) {
    return "DW 40000038\r\nping\nEW 40002800 7EFFFFFF\nucfg " + std::to_string(baud) + " 0 0\n";
}

void applyWrite(std::string *flash, size_t offset, const std::string &data) {
    size_t padded = (data.size() + 1023) / 1024 * 1024;
    std::string block = data + std::string(padded - data.size(), '\0');
    flash->replace(offset, block.size(), block);
}

DeviceTest::DeviceTest() {
    default_device_setting(&rec_);
}

std::string DeviceTest::seedFlash(unsigned seed) {
    std::string bytes = kt::randomBytes(kFlashSize, seed);
    kt::writeFile(dir_.file("simflash.bin"), bytes);
    return bytes;
}

void DeviceTest::startSim(const std::vector<std::string> &args) {
    std::vector<std::string> all{"--flash-size", std::to_string(kFlashSize)};
    if (!hasArg(args, "--pin-char")) {
        all.insert(all.end(), {"--pin-char", "6"});
    }
    all.insert(all.end(), args.begin(), args.end());
    sim_ = std::make_unique<kt::ChipSim>(dir_.path(), all);
    std::memset(rec_.device, 0, sizeof rec_.device);
    std::strncpy(rec_.device, sim_->tty().c_str(), sizeof rec_.device - 1);
    saveRecord();
}

void DeviceTest::saveRecord() {
    std::string bytes(reinterpret_cast<const char *>(&rec_), sizeof rec_);
    kt::writeFile(dir_.file(KELVO_RECORD_FILE), bytes);
}

void DeviceTest::setImage(const std::string &bytes, const std::string &name) {
    kt::writeFile(dir_.file(name), bytes);
    std::memset(rec_.image, 0, sizeof rec_.image);
    std::strncpy(rec_.image, name.c_str(), sizeof rec_.image - 1);
    saveRecord();
}

kt::RunResult DeviceTest::cli(const std::vector<std::string> &args, int timeout_ms) {
    kt::RunResult r = kt::runCli(args, dir_.path(), timeout_ms);
    EXPECT_FALSE(r.timed_out) << "kelvo_pgtool_cli did not end";
    return r;
}

} // namespace dt
