#include "settings_file.h"

#include "KelvoPG_core.h"
#include "atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Fills buf from an open file; false with errno set on a read error.
bool readUpTo(std::FILE *in, char *buf, size_t size) {
    size_t got = std::fread(buf, 1, size, in);
    if (got < size && std::ferror(in)) {
        return false;
    }
    return true;
}

// A settings file its owner made read-only stays as it is, as under a plain
// open for writing: the rename that replaces it asks only the directory.
bool targetWritable(const char *path) {
    if (::access(path, W_OK) == 0 || errno == ENOENT) {
        return true;
    }
    print_file_error(errno);
    return false;
}

// Only a regular file (or a directory, which fails with its own reason on
// reading) holds a record; anything else (a named pipe, a device) is
// refused before it is read.
bool holdsRecord(std::FILE *in) {
    struct stat st;
    if (::fstat(::fileno(in), &st) != 0) {
        print_file_error(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        print_file_problem("not a regular file");
        return false;
    }
    return true;
}

} // namespace

int load_record_file(const char *path, void *buf, size_t size) {
    std::FILE *in = open_without_waiting(path);
    if (!in) {
        print_file_error(errno);
        return KELVO_FILE_ERROR;
    }
    if (!holdsRecord(in)) {
        std::fclose(in);
        return KELVO_FILE_ERROR;
    }
    // Read into a copy so a failed read (a directory, an I/O error) leaves
    // the caller's buffer as it was.
    std::string bytes(static_cast<const char *>(buf), size);
    bool ok = readUpTo(in, &bytes[0], size);
    int err = errno;
    std::fclose(in);
    if (!ok) {
        print_file_error(err);
        return KELVO_FILE_ERROR;
    }
    std::memcpy(buf, bytes.data(), size);
    return KELVO_SUCCESS;
}

void create_record_file(const char *path, const void *defaults, size_t size) {
    struct stat st;
    if (::lstat(path, &st) == 0) {
        std::FILE *probe = open_without_waiting(path);
        if (probe) {
            std::fclose(probe);
        } else {
            print_file_error(errno);
        }
        return;
    }
    atomic_create_file(path, defaults, size);
}

int save_record_file(const char *path, const void *buf, size_t size) {
    if (!targetWritable(path)) {
        return KELVO_FILE_ERROR;
    }
    return atomic_write_file(path, buf, size) ? KELVO_SUCCESS : KELVO_FILE_ERROR;
}

std::FILE *open_without_waiting(const char *path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE *in = ::fdopen(fd, "rb");
    if (!in) {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return in;
}

int32_t parse_decimal32(const char *text) {
    long value = std::strtol(text, nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

bool text_fits(const char *text, size_t width, const char *field_name) {
    if (std::strlen(text) < width) {
        return true;
    }
    std::printf("Value too long for %s: at most %zu characters\n", field_name, width - 1);
    std::fflush(stdout);
    return false;
}

void store_text(char *field, size_t width, const char *text) {
    std::memset(field, 0, width);
    std::memcpy(field, text, std::strlen(text));
}

std::string field_text(const char *field, size_t width) {
    return std::string(field, strnlen(field, width));
}
