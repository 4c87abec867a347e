#include "common/recipe.h"

#include "common/unique_state.h"

#include <toml++/toml.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace gang {
namespace {

// Stands for every port during the checks: each slot puts its own in.
const char kAnyPort[] = "(each port)";

const char *const kStringKeys[] = {"image", "sha256", "flash_offset"};
const char *const kFlagKeys[] = {"chip_erase", "hash_verify", "keep_sys_data", "keep_wifi_data"};
// Optional: recipes written before it went on meaning the default framing.
const char kQuickRepliesKey[] = "quick_replies";

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

bool isHexDigest(const std::string &text) {
    if (text.size() != 64) {
        return false;
    }
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::string lowered(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool readFile(const std::string &path, std::string *bytes, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) {
        text << in.rdbuf();
    }
    if (!in) {
        *error = "cannot read recipe " + path + ": " + std::strerror(errno);
        return false;
    }
    *bytes = text.str();
    return true;
}

// Every key known, every required key there, each of its type.
bool checkKeys(const toml::table &table, std::string *error) {
    std::set<std::string> known = {"name", "baudrate", kQuickRepliesKey};
    const std::set<std::string> optional = {"name", "unique", "unique_state", kQuickRepliesKey};
    for (const char *key : kStringKeys) {
        known.insert(key);
    }
    for (const char *key : kFlagKeys) {
        known.insert(key);
    }
    for (const auto &entry : table) {
        std::string key(entry.first.str());
        if (known.count(key) == 0 && optional.count(key) == 0) {
            *error = "unknown key \"" + key + "\"";
            return false;
        }
    }
    for (const std::string &key : known) {
        if (optional.count(key) == 0 && !table.contains(key)) {
            *error = "missing key \"" + key + "\"";
            return false;
        }
    }
    for (const char *key : kStringKeys) {
        if (!table[key].is_string()) {
            *error = std::string("\"") + key + "\" must be a string";
            return false;
        }
    }
    for (const char *key : kFlagKeys) {
        if (!table[key].is_boolean()) {
            *error = std::string("\"") + key + "\" must be true or false";
            return false;
        }
    }
    if (table.contains(kQuickRepliesKey) && !table[kQuickRepliesKey].is_boolean()) {
        *error = std::string("\"") + kQuickRepliesKey + "\" must be true or false";
        return false;
    }
    if (table.contains("name") && !table["name"].is_string()) {
        *error = "\"name\" must be a string";
        return false;
    }
    if (!table["baudrate"].is_integer()) {
        *error = "\"baudrate\" must be a whole number";
        return false;
    }
    return true;
}

// The record the recipe stands for, with its text fields bounded.
bool fillRecord(const toml::table &table, const std::string &imagePath, DeviceSetting *rec,
                std::string *error) {
    default_device_setting(rec);
    int64_t baud = table["baudrate"].value_or<int64_t>(0);
    if (baud <= 0 || baud > 12000000) {
        *error = "\"baudrate\" " + std::to_string(baud) + " is not a line rate";
        return false;
    }
    std::string offset = table["flash_offset"].value_or<std::string>("");
    if (offset.size() >= sizeof rec->flash_offset) {
        *error = "\"flash_offset\" is too long";
        return false;
    }
    if (imagePath.size() >= sizeof rec->image) {
        *error = "the image path is too long";
        return false;
    }
    rec->baudrate = static_cast<int32_t>(baud);
    rec->flash_pin = 0; // learnt from the chip at connect time
    std::strcpy(rec->device, kAnyPort);
    std::strcpy(rec->image, imagePath.c_str());
    std::strcpy(rec->flash_offset, offset.c_str());
    rec->chip_erase = table["chip_erase"].value_or(false) ? 1 : 0;
    rec->hash_verify = table["hash_verify"].value_or(false) ? 1 : 0;
    rec->keep_sys_data = table["keep_sys_data"].value_or(false) ? 1 : 0;
    rec->keep_wifi_data = table["keep_wifi_data"].value_or(false) ? 1 : 0;
    return true;
}

bool parseRecipe(const std::string &path, const std::string &text, toml::table *table,
                 std::string *error) {
    try {
        *table = toml::parse(text, path);
    } catch (const toml::parse_error &e) {
        std::ostringstream where;
        where << e.description() << " (line " << e.source().begin.line << ")";
        *error = where.str();
        return false;
    }
    return checkKeys(*table, error);
}

// The image read once and compared with the recipe's digest; the core's
// own checks of the record and the write plan, whose messages go to
// standard output as for a download.
bool loadImage(const toml::table &table, DownloadJob *job, std::string *error) {
    std::string expected = lowered(table["sha256"].value_or<std::string>(""));
    if (!isHexDigest(expected)) {
        *error = "\"sha256\" must be 64 hexadecimal digits";
        return false;
    }
    DeviceSetting &rec = job->record;
    if (kelvo_check_download_settings(&rec) != KELVO_SUCCESS) {
        *error = "the settings are refused (see above)";
        return false;
    }
    std::free(job->image); // a job read again
    job->image = nullptr;
    if (kelvo_read_image_file(rec.image, &job->image, &job->imageSize) != KELVO_SUCCESS) {
        *error = std::string("cannot read the image ") + rec.image;
        return false;
    }
    job->imageSha256 = hexDigest(job->image, job->imageSize);
    if (job->imageSha256 != expected) {
        *error = std::string("the image ") + rec.image + " has SHA-256 " + job->imageSha256 +
                 ", the recipe wants " + expected;
        return false;
    }
    if (kelvo_check_download_plan(&rec, job->imageSize) != KELVO_SUCCESS) {
        *error = "the settings are refused for this image (see above)";
        return false;
    }
    return true;
}

// The per-board values: placed in the image, their state matching.
bool loadUniqueValues(const toml::table &table, const std::string &recipeDir, DownloadJob *job,
                      std::string *error) {
    ImagePlace place;
    uint32_t offset = 0;
    std::sscanf(job->record.flash_offset, "0x%x", &offset); // checked by the core
    place.flashOffset = offset;
    place.imageSize = job->imageSize;
    place.keepSysData = job->record.keep_sys_data != 0;
    place.keepWifiData = job->record.keep_wifi_data != 0;
    return parseUniqueValues(table, recipeDir, place, &job->unique, error) &&
           (job->unique.empty() || checkUniqueState(job->unique, error));
}

} // namespace

bool loadRecipe(const std::string &path, DownloadJob *job, std::string *error) {
    std::string text, why;
    toml::table table;
    bool ok = readFile(path, &text, &why) && parseRecipe(path, text, &table, &why);
    if (ok) {
        std::string image = table["image"].value_or<std::string>("");
        std::string imagePath =
            !image.empty() && image[0] == '/' ? image : directoryOf(path) + "/" + image;
        ok = fillRecord(table, imagePath, &job->record, &why) && loadImage(table, job, &why) &&
             loadUniqueValues(table, directoryOf(path), job, &why);
    }
    if (!ok) {
        *error = "recipe " + path + ": " + why;
        return false;
    }
    char resolved[PATH_MAX];
    job->imagePath = ::realpath(job->record.image, resolved) ? resolved : job->record.image;
    job->recipeName = table["name"].value_or<std::string>("");
    job->quickReplies = table[kQuickRepliesKey].value_or(false);
    job->recipeSha256 = hexDigest(reinterpret_cast<const uint8_t *>(text.data()),
                                  static_cast<int64_t>(text.size()));
    return true;
}

void ImageWatch::start(const std::string &path) {
    path_ = path;
    struct stat st {};
    reported_ = ::stat(path.c_str(), &st) != 0;
    inode_ = st.st_ino;
    size_ = st.st_size;
    mtime_ = st.st_mtim;
}

bool ImageWatch::changedOnce() {
    if (reported_) {
        return false;
    }
    struct stat st {};
    bool same = ::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_ && st.st_size == size_ &&
                st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec;
    reported_ = !same;
    return !same;
}

} // namespace gang
