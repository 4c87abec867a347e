#include "common/unique_values.h"

#include "common/download_job.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace gang {
namespace {

constexpr uint32_t kSysDataStart = 0x1000;
constexpr uint32_t kWifiDataStart = 0x2000;
constexpr uint32_t kKeptRegionSize = 0x1000;
constexpr uint64_t kMacMax = (uint64_t{1} << 48) - 1;
constexpr size_t kMaxNameLength = 32;
constexpr size_t kMaxListWidth = 4096;

struct BinaryFormat {
    const char *name;
    size_t width;
    bool bigEndian;
};

const BinaryFormat kBinaryFormats[] = {
    {"u8", 1, false},   {"u16le", 2, false}, {"u16be", 2, true}, {"u32le", 4, false},
    {"u32be", 4, true}, {"u64le", 8, false}, {"u64be", 8, true},
};

const BinaryFormat *binaryFormat(const std::string &name) {
    for (const BinaryFormat &f : kBinaryFormats) {
        if (name == f.name) {
            return &f;
        }
    }
    return nullptr;
}

std::string hexText(uint64_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

std::string macText(uint64_t v) {
    std::string text;
    for (int shift = 40; shift >= 0; shift -= 8) {
        text += hexText((v >> shift) & 0xff, 2) + (shift > 0 ? ":" : "");
    }
    return text;
}

std::string bytesHex(const std::string &bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        text += hexText(c, 2);
    }
    return text;
}

std::string digitsOf(uint64_t v, bool hex) {
    return hex ? hexText(v, 1) : std::to_string(v);
}

} // namespace

uint64_t UniqueValue::count() const {
    if (kind == UniqueKind::List) {
        return lines.size();
    }
    return (last - first) / step + 1;
}

std::string UniqueValue::bytesAt(uint64_t index) const {
    if (kind == UniqueKind::List) {
        return lines[index];
    }
    uint64_t v = first + index * step;
    std::string bytes;
    if (kind == UniqueKind::Mac) {
        for (int shift = 40; shift >= 0; shift -= 8) {
            bytes += static_cast<char>((v >> shift) & 0xff);
        }
        return bytes;
    }
    const BinaryFormat *binary = binaryFormat(format);
    if (binary == nullptr) {
        return textAt(index);
    }
    for (size_t i = 0; i < binary->width; ++i) {
        bytes += static_cast<char>((v >> (8 * i)) & 0xff);
    }
    if (binary->bigEndian) {
        std::reverse(bytes.begin(), bytes.end());
    }
    return bytes;
}

std::string UniqueValue::textAt(uint64_t index) const {
    if (kind == UniqueKind::List) {
        return bytesHex(lines[index]);
    }
    uint64_t v = first + index * step;
    if (kind == UniqueKind::Mac) {
        return macText(v);
    }
    if (binaryFormat(format) != nullptr) {
        return std::to_string(v);
    }
    std::string number = digitsOf(v, format == "hex");
    return prefix + std::string(static_cast<size_t>(digits) - number.size(), '0') + number;
}

std::string UniqueValue::rangeText() const {
    switch (kind) {
    case UniqueKind::List:
        return "list " + listFile + " sha256 " + listSha256;
    case UniqueKind::Mac:
        return "mac " + macText(first) + ".." + macText(last) + " step " + std::to_string(step);
    default:
        return "counter " + std::to_string(first) + ".." + std::to_string(last) + " step " +
               std::to_string(step);
    }
}

namespace {

// ---- Reading one [[unique]] table.

using KeySet = std::set<std::string>;

bool fail(std::string *error, const std::string &why) {
    *error = why;
    return false;
}

bool onlyKeys(const toml::table &t, const KeySet &known, const std::string &what,
              std::string *error) {
    for (const auto &entry : t) {
        std::string key(entry.first.str());
        if (known.count(key) == 0) {
            return fail(error, what + ": unknown key \"" + key + "\"");
        }
    }
    return true;
}

bool getString(const toml::table &t, const char *key, const std::string &what, std::string *out,
               std::string *error) {
    if (!t[key].is_string()) {
        return fail(error, what + ": \"" + key + "\" must be a string");
    }
    *out = t[key].value_or<std::string>("");
    return true;
}

// A non-negative TOML integer (absent: fallback when given, else refused).
bool getCount(const toml::table &t, const char *key, const std::string &what, uint64_t *out,
              std::string *error, const uint64_t *fallback = nullptr) {
    if (!t.contains(key) && fallback != nullptr) {
        *out = *fallback;
        return true;
    }
    if (!t[key].is_integer() || t[key].value_or<int64_t>(-1) < 0) {
        return fail(error, what + ": \"" + key + "\" must be a whole number from 0");
    }
    *out = static_cast<uint64_t>(t[key].value_or<int64_t>(0));
    return true;
}

bool parseOffset(const std::string &text, uint32_t *out) {
    if (text.size() < 3 || text.size() > 10 || text.compare(0, 2, "0x") != 0) {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        v = v * 16 + static_cast<uint64_t>(std::stoi(text.substr(i, 1), nullptr, 16));
    }
    *out = static_cast<uint32_t>(v);
    return v <= UINT32_MAX;
}

bool parseMac(const std::string &text, uint64_t *out) {
    if (text.size() != 17) {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < 17; ++i) {
        char c = text[i];
        if (i % 3 == 2) {
            if (c != ':') {
                return false;
            }
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        v = v * 16 + static_cast<uint64_t>(std::stoi(std::string(1, c), nullptr, 16));
    }
    *out = v;
    return true;
}

bool checkStep(UniqueValue *v, const std::string &what, std::string *error) {
    if (v->step == 0) {
        return fail(error, what + ": \"step\" must be at least 1");
    }
    if (v->last < v->first) {
        return fail(error, what + ": \"last\" is below \"first\"");
    }
    return true;
}

// The largest value the format holds, and the width it takes.
bool counterFormat(const toml::table &t, UniqueValue *v, uint64_t *max, const std::string &what,
                   std::string *error) {
    if (!getString(t, "format", what, &v->format, error)) {
        return false;
    }
    if (const BinaryFormat *binary = binaryFormat(v->format)) {
        if (t.contains("prefix")) {
            return fail(error, what + ": \"prefix\" goes only with a text format");
        }
        v->width = binary->width;
        *max = binary->width == 8 ? UINT64_MAX : (uint64_t{1} << (8 * binary->width)) - 1;
        return true;
    }
    size_t colon = v->format.find(':');
    std::string base = v->format.substr(0, colon);
    std::string count = colon == std::string::npos ? "" : v->format.substr(colon + 1);
    bool hex = base == "hex";
    int maxDigits = hex ? 16 : 19;
    bool digitsOk =
        !count.empty() && count.size() <= 2 &&
        std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        std::stoi(count) >= 1 && std::stoi(count) <= maxDigits;
    if ((base != "dec" && !hex) || !digitsOk) {
        return fail(error, what + ": unknown format \"" + v->format +
                               "\" (u8, u16le, u16be, u32le, u32be, u64le, u64be, dec:N, hex:N)");
    }
    v->format = base;
    v->digits = std::stoi(count);
    if (t.contains("prefix") && !getString(t, "prefix", what, &v->prefix, error)) {
        return false;
    }
    v->width = v->prefix.size() + static_cast<size_t>(v->digits);
    *max = UINT64_MAX;
    if (digitsOf(v->last, hex).size() > static_cast<size_t>(v->digits)) {
        *max = 0; // refused below with the format's name
    }
    return true;
}

bool readCounter(const toml::table &t, UniqueValue *v, const std::string &what,
                 std::string *error) {
    static const KeySet keys = {"name", "kind", "offset", "identifies_unit", "first",
                                "last", "step", "format", "prefix"};
    const uint64_t one = 1;
    uint64_t max = 0;
    if (!onlyKeys(t, keys, what, error) || !getCount(t, "first", what, &v->first, error) ||
        !getCount(t, "last", what, &v->last, error) ||
        !getCount(t, "step", what, &v->step, error, &one) || !checkStep(v, what, error) ||
        !counterFormat(t, v, &max, what, error)) {
        return false;
    }
    if (v->last > max) {
        std::string format =
            v->digits > 0 ? v->format + ":" + std::to_string(v->digits) : v->format;
        return fail(error, what + ": \"last\" " + std::to_string(v->last) +
                               " does not fit format " + format);
    }
    return true;
}

bool readMac(const toml::table &t, UniqueValue *v, const std::string &what, std::string *error) {
    static const KeySet keys = {"name",  "kind", "offset", "identifies_unit",
                                "first", "last", "step"};
    const uint64_t one = 1;
    std::string first, last;
    if (!onlyKeys(t, keys, what, error) || !getString(t, "first", what, &first, error) ||
        !getString(t, "last", what, &last, error) ||
        !getCount(t, "step", what, &v->step, error, &one)) {
        return false;
    }
    if (!parseMac(first, &v->first) || !parseMac(last, &v->last)) {
        return fail(error, what + ": \"first\" and \"last\" must read xx:xx:xx:xx:xx:xx");
    }
    if (v->step > kMacMax) {
        return fail(error, what + ": \"step\" is larger than the address space");
    }
    v->width = 6;
    return checkStep(v, what, error);
}

// One line of hexadecimal bytes; spaces between bytes are allowed.
bool parseHexLine(const std::string &line, std::string *bytes) {
    std::string digits;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes->push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

bool readListLines(const std::string &path, UniqueValue *v, const std::string &what,
                   std::string *error) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream whole;
    whole << in.rdbuf();
    if (!in) {
        return fail(error, what + ": cannot read the list " + path);
    }
    std::string text = whole.str();
    v->listSha256 = hexDigest(reinterpret_cast<const uint8_t *>(text.data()),
                              static_cast<int64_t>(text.size()));
    std::istringstream lines(text);
    std::string line;
    for (size_t number = 1; std::getline(lines, line); ++number) {
        std::string bytes;
        if (!parseHexLine(line, &bytes)) {
            return fail(error, what + ": line " + std::to_string(number) + " of " + path +
                                   " is not hexadecimal bytes");
        }
        if (bytes.size() != v->width) {
            return fail(error, what + ": line " + std::to_string(number) + " of " + path + " has " +
                                   std::to_string(bytes.size()) + " bytes, not " +
                                   std::to_string(v->width));
        }
        v->lines.push_back(bytes);
    }
    if (v->lines.empty()) {
        return fail(error, what + ": the list " + path + " is empty");
    }
    return true;
}

bool readList(const toml::table &t, UniqueValue *v, const std::string &recipeDir,
              const std::string &what, std::string *error) {
    static const KeySet keys = {"name", "kind", "offset", "identifies_unit", "file", "width"};
    uint64_t width = 0;
    if (!onlyKeys(t, keys, what, error) || !getString(t, "file", what, &v->listFile, error) ||
        !getCount(t, "width", what, &width, error)) {
        return false;
    }
    if (width == 0 || width > kMaxListWidth) {
        return fail(error, what + ": \"width\" must be from 1 to " + std::to_string(kMaxListWidth));
    }
    v->width = static_cast<size_t>(width);
    std::string path =
        !v->listFile.empty() && v->listFile[0] == '/' ? v->listFile : recipeDir + "/" + v->listFile;
    return readListLines(path, v, what, error);
}

bool validName(const std::string &name) {
    return !name.empty() && name.size() <= kMaxNameLength &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
           });
}

bool readCommon(const toml::table &t, UniqueValue *v, std::string *what, std::string *error) {
    if (!getString(t, "name", *what, &v->name, error)) {
        return false;
    }
    if (!validName(v->name)) {
        return fail(error, *what + ": \"name\" must be 1 to 32 letters, digits, _ or -");
    }
    *what = "unique value \"" + v->name + "\"";
    std::string offset;
    if (!getString(t, "offset", *what, &offset, error)) {
        return false;
    }
    if (!parseOffset(offset, &v->offset)) {
        return fail(error, *what + ": \"offset\" must read 0x followed by hexadecimal digits");
    }
    if (t.contains("identifies_unit") && !t["identifies_unit"].is_boolean()) {
        return fail(error, *what + ": \"identifies_unit\" must be true or false");
    }
    v->identifiesUnit = t["identifies_unit"].value_or(false);
    return true;
}

bool readValue(const toml::table &t, const std::string &recipeDir, UniqueValue *v, std::string what,
               std::string *error) {
    std::string kind;
    if (!readCommon(t, v, &what, error) || !getString(t, "kind", what, &kind, error)) {
        return false;
    }
    if (kind == "counter") {
        v->kind = UniqueKind::Counter;
        return readCounter(t, v, what, error);
    }
    if (kind == "mac") {
        v->kind = UniqueKind::Mac;
        return readMac(t, v, what, error);
    }
    if (kind == "list") {
        v->kind = UniqueKind::List;
        return readList(t, v, recipeDir, what, error);
    }
    return fail(error, what + ": unknown kind \"" + kind + "\" (counter, mac, list)");
}

// ---- The places: inside the image, outside what is kept, apart.

bool overlaps(uint64_t begin, uint64_t end, uint64_t otherBegin, uint64_t otherEnd) {
    return std::max(begin, otherBegin) < std::min(end, otherEnd);
}

bool checkPlace(const UniqueValue &v, const ImagePlace &place, std::string *error) {
    uint64_t begin = v.offset, end = begin + v.width;
    uint64_t imageEnd = uint64_t{place.flashOffset} + static_cast<uint64_t>(place.imageSize);
    std::string what = "unique value \"" + v.name + "\"";
    if (begin < place.flashOffset || end > imageEnd) {
        return fail(error, what + " at 0x" + hexText(begin, 1) + " (" + std::to_string(v.width) +
                               " bytes) lies outside the image (0x" +
                               hexText(place.flashOffset, 1) + " to 0x" + hexText(imageEnd, 1) +
                               ")");
    }
    if (place.keepSysData && overlaps(begin, end, kSysDataStart, kSysDataStart + kKeptRegionSize)) {
        return fail(error, what + " lies in the system data that keep_sys_data keeps");
    }
    if (place.keepWifiData &&
        overlaps(begin, end, kWifiDataStart, kWifiDataStart + kKeptRegionSize)) {
        return fail(error, what + " lies in the Wi-Fi data that keep_wifi_data keeps");
    }
    return true;
}

bool checkAll(const PerBoardValues &perBoard, const ImagePlace &place, std::string *error) {
    std::set<std::string> names;
    int identifying = 0;
    for (size_t i = 0; i < perBoard.values.size(); ++i) {
        const UniqueValue &v = perBoard.values[i];
        if (!names.insert(v.name).second) {
            return fail(error, "two unique values are named \"" + v.name + "\"");
        }
        identifying += v.identifiesUnit ? 1 : 0;
        if (!checkPlace(v, place, error)) {
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            const UniqueValue &w = perBoard.values[j];
            if (overlaps(v.offset, v.offset + v.width, w.offset, w.offset + w.width)) {
                return fail(error,
                            "unique values \"" + w.name + "\" and \"" + v.name + "\" overlap");
            }
        }
    }
    if (identifying > 1) {
        return fail(error, "only one unique value can identify the unit");
    }
    return true;
}

} // namespace

bool parseUniqueValues(const toml::table &recipe, const std::string &recipeDir,
                       const ImagePlace &place, PerBoardValues *perBoard, std::string *error) {
    perBoard->values.clear();
    perBoard->statePath.clear();
    bool hasState = recipe.contains("unique_state");
    if (!recipe.contains("unique")) {
        return !hasState || fail(error, "\"unique_state\" without [[unique]] values");
    }
    const toml::array *array = recipe["unique"].as_array();
    if (array == nullptr || array->empty() || !array->is_array_of_tables()) {
        return fail(error, "\"unique\" must be an array of tables ([[unique]])");
    }
    if (!hasState || !recipe["unique_state"].is_string() ||
        recipe["unique_state"].value_or<std::string>("").empty()) {
        return fail(error, "[[unique]] values need \"unique_state\", the allocation state file");
    }
    std::string state = recipe["unique_state"].value_or<std::string>("");
    perBoard->statePath = state[0] == '/' ? state : recipeDir + "/" + state;
    for (size_t i = 0; i < array->size(); ++i) {
        UniqueValue v;
        std::string what = "unique value " + std::to_string(i + 1);
        if (!readValue(*array->get(i)->as_table(), recipeDir, &v, what, error)) {
            return false;
        }
        perBoard->values.push_back(std::move(v));
    }
    return checkAll(*perBoard, place, error);
}

bool identifiesUnit(const PerBoardValues &perBoard) {
    return std::any_of(perBoard.values.begin(), perBoard.values.end(),
                       [](const UniqueValue &v) { return v.identifiesUnit; });
}

void patchImage(const PerBoardValues &perBoard, const std::vector<uint64_t> &indexes,
                uint32_t flashOffset, uint8_t *image) {
    for (size_t i = 0; i < perBoard.values.size(); ++i) {
        const UniqueValue &v = perBoard.values[i];
        std::string bytes = v.bytesAt(indexes[i]);
        std::copy(bytes.begin(), bytes.end(), image + (v.offset - flashOffset));
    }
}

} // namespace gang
