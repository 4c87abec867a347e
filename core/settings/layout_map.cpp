// The flash layout map "generate.dat": ten rows of file path and flash
// offset, kept in memory in gen_param_array.
#include "KelvoPG_core.h"
#include "settings_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(GenerateParam) == 616, "one layout row is 616 bytes");
static_assert(sizeof(GenerateParam[KELVO_MAP_ROWS]) == 6160, "generate.dat holds 6160 bytes");

GenerateParam gen_param_array[KELVO_MAP_ROWS];

namespace {

void defaultMap(GenerateParam *map) {
    std::memset(map, 0, sizeof(GenerateParam) * KELVO_MAP_ROWS);
    for (int row = 0; row < KELVO_MAP_ROWS; ++row) {
        map[row].number = row + 1;
        std::strcpy(map[row].path, "NaN");
        std::strcpy(map[row].offset, "NaN");
    }
}

// Row number 1..10 as typed, or 0 (after a message) when it is not one.
// The range is checked before narrowing so 4294967297 cannot alias row 1.
int parseRowNumber(const char *text) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    bool has_digits = end != text;
    if (has_digits && errno == 0 && value >= 1 && value <= KELVO_MAP_ROWS) {
        return static_cast<int>(value);
    }
    std::printf("Invalid row number: %s (expected 1 to %d)\n", text, KELVO_MAP_ROWS);
    std::fflush(stdout);
    return 0;
}

} // namespace

extern "C" void create_generate_setting(void) {
    defaultMap(gen_param_array);
    create_record_file(KELVO_GENERATE_FILE, gen_param_array, sizeof gen_param_array);
}

extern "C" int load_generate_setting(GenerateParam *map) {
    GenerateParam loaded[KELVO_MAP_ROWS];
    defaultMap(loaded);
    int result = load_record_file(KELVO_GENERATE_FILE, loaded, sizeof loaded);
    if (result == KELVO_SUCCESS) {
        std::memcpy(map, loaded, sizeof loaded);
    }
    return result;
}

extern "C" int save_generate_setting(const GenerateParam *map) {
    return save_record_file(KELVO_GENERATE_FILE, map, sizeof(GenerateParam) * KELVO_MAP_ROWS);
}

extern "C" int setBinPathOffset(const char *number, const char *path, const char *offset) {
    int row = parseRowNumber(number);
    if (row == 0 || !text_fits(path, KELVO_MAP_PATH_LEN, "path") ||
        !text_fits(offset, KELVO_MAP_OFFSET_LEN, "offset")) {
        return KELVO_VALUE_REFUSED;
    }
    int result = load_generate_setting(gen_param_array);
    if (result != KELVO_SUCCESS) {
        return result;
    }
    GenerateParam &entry = gen_param_array[row - 1];
    store_text(entry.path, sizeof entry.path, path);
    store_text(entry.offset, sizeof entry.offset, offset);
    return save_generate_setting(gen_param_array);
}

extern "C" int ShowGenerateMap(void) {
    int result = load_generate_setting(gen_param_array);
    if (result != KELVO_SUCCESS) {
        return result;
    }
    std::puts("CMD_generate_map");
    for (const GenerateParam &entry : gen_param_array) {
        std::printf(" %d  %s  %s\n", entry.number,
                    field_text(entry.path, sizeof entry.path).c_str(),
                    field_text(entry.offset, sizeof entry.offset).c_str());
    }
    std::fflush(stdout);
    return KELVO_SUCCESS;
}
