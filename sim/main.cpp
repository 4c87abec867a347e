// kelvo_chipsim: the chip's ROM boot loader on a pseudo-terminal, so that the
// programming tools can be run and tested without a board.
#include "board_bay.h"
#include "boot_loader.h"
#include "clock.h"
#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int fail(const std::string &reason) {
    std::cerr << "kelvo_chipsim: " << reason << std::endl;
    return 1;
}

// Points path at the terminal; an old symbolic link there is replaced, any
// other file is left alone.
bool createLink(const std::string &path, const std::string &target, std::string &error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = "cannot link " + path + ": it exists and is not a symbolic link";
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        error = "cannot link " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Removes the link only while it still points at our terminal.
void removeLink(const std::string &path, const std::string &target) {
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<size_t>(n)) == target) {
        unlink(path.c_str());
    }
}

bool announce(const std::string &path) {
    std::string line = path + "\n";
    return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
           std::fflush(stdout) == 0;
}

} // namespace

int main(int argc, char **argv) {
    sim::SimOptions options;
    std::string error;
    switch (sim::parseOptions(argc, argv, options, error)) {
    case sim::OptionsOutcome::Help:
        std::cout << sim::usageText();
        return 0;
    case sim::OptionsOutcome::Version:
        std::cout << "kelvo_chipsim " KELVO_VERSION "\n";
        return 0;
    case sim::OptionsOutcome::Error:
        std::cerr << "kelvo_chipsim: " << error << "\nTry kelvo_chipsim --help." << std::endl;
        return 2;
    case sim::OptionsOutcome::Run:
        break;
    }
    if (!sim::installStopHandling()) {
        return fail(std::string("cannot install signal handlers: ") + std::strerror(errno));
    }
    sim::FlashModel flash;
    sim::CommandLog log;
    sim::CommandLog events;
    sim::PtyLine line;
    sim::BoardBay bay(options.bay, flash, options.flashFile);
    if (!flash.init(options.flashSize, options.flashFile, error) || !bay.open(error) ||
        !log.open(options.logFile, error) || !events.open(options.eventsFile, error) ||
        !line.open(options.wire, error)) {
        return fail(error);
    }
    // Fail now, not at the first write, when the flash file cannot be written.
    if (!flash.save(error)) {
        return fail(error);
    }
    if (!options.linkPath.empty() && !createLink(options.linkPath, line.path(), error)) {
        return fail(error);
    }
    if (!announce(line.path())) {
        return fail("cannot write the terminal path to standard output");
    }
    sim::BootLoader loader(options, line, flash, bay, log, events);
    if (options.plainXmodem) {
        loader.servePlainXmodem();
    } else {
        loader.serve();
    }
    bool saved = loader.saveFlash();
    if (!options.linkPath.empty()) {
        removeLink(options.linkPath, line.path());
    }
    return saved ? 0 : 1;
}
