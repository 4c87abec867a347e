// kelvo_pgtool_cli: makes sure both settings files exist, runs one command.
// The help and version options alone come first: asking what a program is
// must not leave settings files behind.
#include "KelvoPG_core.h"
#include "cli.h"

#include <cstdio>

namespace {

// "--help", "-h" or "--version" as the only word: answers it and returns
// true; anything else is a command for run_command.
bool answersInfoOption(const std::vector<std::string> &words) {
    if (words.size() != 1) {
        return false;
    }
    if (words[0] == "--help" || words[0] == "-h") {
        print_usage();
        return true;
    }
    if (words[0] == "--version") {
        std::puts("kelvo_pgtool_cli " KELVO_VERSION);
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    kelvo_prepare_process();
    std::vector<std::string> words(argv + 1, argv + argc);
    int status = kExitOk;
    if (!answersInfoOption(words)) {
        kelvo_install_interrupt_handlers();
        create_device_setting();
        create_generate_setting();
        status = run_command(words);
    }
    // The core flushes as it prints, so an earlier failed write is only
    // remembered in the stream's error flag.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return kExitFailed; // the output the caller asked for did not get out
    }
    return status;
}
