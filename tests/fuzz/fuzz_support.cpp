#include "fuzz_support.h"

#include "KelvoPG_core.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

namespace fuzz {
namespace {

std::string scratch;

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
    return ::remove(path);
}

void removeScratch() {
    if (!scratch.empty()) {
        ::nftw(scratch.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

} // namespace

void fail(const char *what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

void enterScratchDirectory() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvo-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data()) || ::chdir(name.data()) != 0) {
        fail("no scratch directory");
    }
    scratch = name.data();
    std::atexit(removeScratch);
}

void silenceStdout() {
    std::fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
        fail("cannot silence standard output");
    }
    ::close(null);
}

void writeFile(const char *path, const uint8_t *data, size_t size) {
    std::FILE *out = std::fopen(path, "wb");
    if (!out || (size > 0 && std::fwrite(data, 1, size, out) != size) || std::fclose(out) != 0) {
        fail("cannot write a scratch file");
    }
}

std::vector<uint8_t> readFile(const char *path) {
    std::vector<uint8_t> bytes;
    std::FILE *in = std::fopen(path, "rb");
    if (!in) {
        return bytes;
    }
    uint8_t chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(in);
    return bytes;
}

} // namespace fuzz
