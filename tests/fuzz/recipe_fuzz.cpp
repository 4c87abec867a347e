// The station's recipe loader on arbitrary recipe files, beside a small
// image whose digest the seeds name and a list of per-board values; the
// same bytes also stand for the allocation state of a fixed recipe.
#include "fuzz_support.h"
#include "common/recipe.h"
#include "common/unique_state.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kImage[] = "station image\n";
const char kKeys[] = "00112233\naabbccdd\n";
const char kFixedRecipe[] =
    "image = \"fw.bin\"\n"
    "sha256 = \"b2d64dd6990489bda894d4cd9102798eac97f0d6f06b2e683c2906db6bb9247b\"\n"
    "flash_offset = \"0x10000\"\nbaudrate = 921600\nchip_erase = false\nhash_verify = true\n"
    "keep_sys_data = false\nkeep_wifi_data = false\nunique_state = \"fixed.state\"\n"
    "[[unique]]\nname = \"sn\"\nkind = \"counter\"\noffset = \"0x10000\"\nfirst = 1\n"
    "last = 9\nformat = \"u8\"\n";

gang::DownloadJob *fixedJob = nullptr;

bool terminated(const char *field, size_t size) {
    return std::memchr(field, 0, size) != nullptr;
}

void checkAccepted(const gang::DownloadJob &job) {
    const DeviceSetting &rec = job.record;
    if (!terminated(rec.image, sizeof rec.image) ||
        !terminated(rec.flash_offset, sizeof rec.flash_offset)) {
        fuzz::fail("an accepted recipe left a text field unterminated");
    }
    if (rec.chip_erase != 0 && (rec.keep_sys_data != 0 || rec.keep_wifi_data != 0)) {
        fuzz::fail("an accepted recipe erases the chip and keeps data");
    }
    if (job.imageSha256 != gang::hexDigest(job.image, job.imageSize) ||
        job.recipeSha256.size() != 64) {
        fuzz::fail("an accepted recipe's digests do not match what was read");
    }
    // Every value's first and last bytes land inside the image.
    const gang::PerBoardValues &unique = job.unique;
    for (uint64_t pick : {uint64_t{0}, UINT64_MAX}) {
        std::vector<uint64_t> indexes;
        for (const gang::UniqueValue &v : unique.values) {
            indexes.push_back(pick == 0 ? 0 : v.count() - 1);
            if (v.bytesAt(indexes.back()).size() != v.width) {
                fuzz::fail("a per-board value of another width than its place");
            }
        }
        std::vector<uint8_t> copy(job.image, job.image + job.imageSize);
        uint32_t offset = static_cast<uint32_t>(std::strtoul(rec.flash_offset, nullptr, 16));
        gang::patchImage(unique, indexes, offset, copy.data());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::enterScratchDirectory();
    fuzz::silenceStdout();
    fuzz::writeFile("fw.bin", reinterpret_cast<const uint8_t *>(kImage), sizeof kImage - 1);
    fuzz::writeFile("keys.txt", reinterpret_cast<const uint8_t *>(kKeys), sizeof kKeys - 1);
    fuzz::writeFile("fixed.toml", reinterpret_cast<const uint8_t *>(kFixedRecipe),
                    sizeof kFixedRecipe - 1);
    fixedJob = new gang::DownloadJob;
    std::string error;
    if (!gang::loadRecipe("fixed.toml", fixedJob, &error)) {
        fuzz::fail("the fixed recipe is refused");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::writeFile("recipe.toml", data, size);
    gang::DownloadJob job;
    std::string error;
    fuzz::writeFile("fixed.state", data, size);
    std::string status;
    if (!gang::uniqueStatusText(fixedJob->unique, &status, &error) && error.empty()) {
        fuzz::fail("a refused state without a reason");
    }
    error.clear();
    if (gang::loadRecipe("recipe.toml", &job, &error)) {
        checkAccepted(job);
    } else if (error.empty()) {
        fuzz::fail("a refused recipe without a reason");
    }
    return 0;
}
