// kelvo_pgtool_cli: makes sure both settings files exist, runs one command.
#include "KelvoPG_core.h"
#include "cli.h"

#include <cstdio>

int main(int argc, char **argv) {
    kelvo_prepare_process();
    kelvo_install_interrupt_handlers();
    create_device_setting();
    create_generate_setting();
    std::vector<std::string> words(argv + 1, argv + argc);
    int status = run_command(words);
    // The core flushes as it prints, so an earlier failed write is only
    // remembered in the stream's error flag.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return kExitFailed; // the output the caller asked for did not get out
    }
    return status;
}
