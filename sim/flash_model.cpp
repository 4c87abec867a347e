#include "flash_model.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr uint8_t kErased = 0xFF;

std::string reason(const std::string &what, const std::string &file) {
    return what + " " + file + ": " + std::strerror(errno);
}

bool readWhole(int fd, uint8_t *dst, size_t size) {
    while (size > 0) {
        ssize_t n = ::read(fd, dst, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        dst += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeWhole(int fd, const uint8_t *src, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, src, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        src += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool FlashModel::init(uint64_t size, const std::string &file, std::string &error) {
    bytes_.assign(size, kErased);
    file_ = file;
    if (file.empty()) {
        return true;
    }
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true; // a new flash: saved on the first change or at exit
        }
        error = reason("cannot open flash file", file);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok && static_cast<uint64_t>(st.st_size) > size) {
        // Loading only a part would truncate the file at the next save.
        error = "flash file " + file + " holds " + std::to_string(st.st_size) +
                " bytes, more than the flash size of " + std::to_string(size);
        ::close(fd);
        return false;
    }
    ok = ok && readWhole(fd, bytes_.data(), static_cast<size_t>(st.st_size));
    if (!ok) {
        error = reason("cannot read flash file", file);
    }
    ::close(fd);
    return ok;
}

bool FlashModel::contains(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
}

bool FlashModel::erase(uint64_t offset, uint64_t length) {
    if (!contains(offset, length)) {
        return false;
    }
    std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), length, kErased);
    return true;
}

bool FlashModel::write(uint64_t offset, const uint8_t *data, uint64_t length) {
    if (!contains(offset, length)) {
        return false;
    }
    std::copy_n(data, length, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

bool FlashModel::save(std::string &error) const {
    return file_.empty() || saveTo(file_, error);
}

void FlashModel::eraseAll() {
    std::fill(bytes_.begin(), bytes_.end(), kErased);
}

bool FlashModel::saveTo(const std::string &path, std::string &error) const {
    std::string temp = path + ".tmp-" + std::to_string(getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = reason("cannot write flash file", path);
        return false;
    }
    bool ok = writeWhole(fd, bytes_.data(), bytes_.size());
    if (!ok) {
        error = reason("cannot write flash file", path);
    }
    if (::close(fd) != 0 && ok) {
        error = reason("cannot write flash file", path);
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        error = reason("cannot write flash file", path);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

} // namespace sim
