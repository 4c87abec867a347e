// "flash.bin" from the flash layout map: each file at the distance of its
// flash offset from the first file's offset, gaps filled with 0xFF (erased
// flash). The old image is replaced only once the new one is complete.
#include "KelvoPG_core.h"
#include "atomic_file.h"
#include "settings_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *kImageFile = "flash.bin";
constexpr uint8_t kErasedByte = 0xFF;
// Copy and fill in pieces so a large gap or file never needs one big buffer.
constexpr size_t kChunkSize = 64 * 1024;

struct Entry {
    std::string path;
    int64_t offset; // flash address, from the row's text (low 32 bits, signed)
    int64_t length; // bytes, as measured
};

std::string rowPath(const GenerateParam &row) {
    return field_text(row.path, sizeof row.path);
}

bool rowInUse(const GenerateParam &row) {
    return rowPath(row) != "NaN";
}

// Lenient hexadecimal parse ("0x" allowed, no digits gives 0), low 32 bits.
int32_t parseOffset(const GenerateParam &row) {
    std::string text = field_text(row.offset, sizeof row.offset);
    long value = std::strtol(text.c_str(), nullptr, 16);
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

int failed() {
    std::puts("generate bin failed.\r");
    std::fflush(stdout);
    return KELVO_FILE_ERROR;
}

bool allReadable(const GenerateParam *map) {
    for (int i = 0; i < KELVO_MAP_ROWS; ++i) {
        if (rowInUse(map[i]) && CheckFileExist(rowPath(map[i]).c_str()) != KELVO_SUCCESS) {
            std::printf("the file %s is not exist.\n", rowPath(map[i]).c_str());
            return false;
        }
    }
    return true;
}

bool measureAll(const GenerateParam *map, std::vector<Entry> *entries) {
    for (int i = 0; i < KELVO_MAP_ROWS; ++i) {
        if (!rowInUse(map[i])) {
            continue;
        }
        std::string path = rowPath(map[i]);
        int32_t length = CheckFileLength(path.c_str());
        if (length < 0) {
            std::printf("get file length of %s failed.\r\n", path.c_str());
            return false;
        }
        entries->push_back(Entry{path, parseOffset(map[i]), length});
    }
    return true;
}

// Rows must ascend by offset; a file may end exactly where the next begins.
bool noneOverlap(const std::vector<Entry> &entries) {
    for (size_t i = 0; i + 1 < entries.size(); ++i) {
        if (entries[i].offset + entries[i].length > entries[i + 1].offset) {
            std::printf("the file %s and %s overlapped.\r\n", entries[i].path.c_str(),
                        entries[i + 1].path.c_str());
            return false;
        }
    }
    return true;
}

bool appendErased(AtomicFile *out, int64_t count) {
    std::vector<uint8_t> fill(static_cast<size_t>(std::min<int64_t>(count, kChunkSize)),
                              kErasedByte);
    while (count > 0) {
        size_t n = static_cast<size_t>(std::min<int64_t>(count, kChunkSize));
        if (!atomic_append(out, fill.data(), n)) {
            return false;
        }
        count -= static_cast<int64_t>(n);
    }
    return true;
}

// Appends exactly the measured bytes of the entry's file; a file that
// cannot be reopened or has shrunk fails the whole composition.
bool appendFile(AtomicFile *out, const Entry &entry) {
    std::FILE *in = std::fopen(entry.path.c_str(), "rb");
    if (!in) {
        std::printf("failed to fopen %s\n", entry.path.c_str());
        atomic_abort(out);
        return false;
    }
    std::vector<uint8_t> buf(kChunkSize);
    int64_t left = entry.length;
    bool ok = true;
    while (ok && left > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(left, kChunkSize));
        size_t got = std::fread(buf.data(), 1, want, in);
        ok = got == want && atomic_append(out, buf.data(), got);
        if (got != want) {
            std::printf("failed to read %s\n", entry.path.c_str());
            atomic_abort(out);
        }
        left -= static_cast<int64_t>(got);
    }
    std::fclose(in);
    return ok;
}

// Directories, pipes and sockets open, but have no length.
std::FILE *openMeasurable(const char *path) {
    std::FILE *in = open_without_waiting(path);
    struct stat st;
    if (in && (::fstat(::fileno(in), &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) ||
               S_ISSOCK(st.st_mode))) {
        std::fclose(in);
        return nullptr;
    }
    return in;
}

bool writeImage(const std::vector<Entry> &entries) {
    AtomicFile out;
    if (!atomic_begin(&out, kImageFile)) {
        return false;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!appendFile(&out, entries[i])) {
            return false;
        }
        bool last = i + 1 == entries.size();
        int64_t slot = last ? entries[i].length : entries[i + 1].offset - entries[i].offset;
        if (!appendErased(&out, slot - entries[i].length)) {
            return false;
        }
    }
    return atomic_commit(&out);
}

} // namespace

extern "C" int CheckFileExist(const char *path) {
    return ::access(path, R_OK) == 0 ? KELVO_SUCCESS : KELVO_FILE_ERROR;
}

extern "C" int32_t CheckFileLength(const char *path) {
    std::FILE *in = openMeasurable(path);
    if (!in) {
        std::printf("failed to fopen %s\n", path);
        return -1;
    }
    int64_t length = -1;
    if (::fseeko(in, 0, SEEK_END) == 0) {
        length = ::ftello(in);
    }
    std::fclose(in);
    // Lengths are 32-bit signed; a larger file cannot be placed.
    return length > INT32_MAX ? -1 : static_cast<int32_t>(length);
}

extern "C" int Generate(void) {
    if (load_generate_setting(gen_param_array) != KELVO_SUCCESS) {
        return failed();
    }
    std::vector<Entry> entries;
    if (!allReadable(gen_param_array) || !measureAll(gen_param_array, &entries) ||
        !noneOverlap(entries) || !writeImage(entries)) {
        return failed();
    }
    std::puts("generate flash.bin done.\r");
    std::fflush(stdout);
    return KELVO_SUCCESS;
}
