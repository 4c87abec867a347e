// Dispatch on the number of words, then on the words themselves, compared
// exactly. Values go to the core as typed; only the 0/1 flags are checked here.
#include "KelvoPG_core.h"
#include "cli.h"

#include <cstdio>

namespace {

using Setter = int (*)(const char *);

struct SetOption {
    const char *name;
    Setter setter;
    bool flag; // only "0" and "1" accepted
};

// In the order in which the options are tried.
const SetOption kSetOptions[] = {
    {"image", setImgPath, false},
    {"baudrate", setBaudRate, false},
    {"hash_verify", setHashVerify, true},
    {"keep_sys_data", setKeepSysData, true},
    {"keep_wifi_data", setKeepWifiData, true},
    {"flash_offset", setFlashOffset, false},
    {"chip_erase", setChipErase, true},
};

using Words = std::vector<std::string>;

int usageError() {
    print_invalid_args();
    return kExitUsage;
}

// Announces a long-running operation before the core starts printing.
void announce(const char *line) {
    std::puts(line);
    std::fflush(stdout);
}

int oneWord(const Words &w) {
    if (w[0] == "-help") {
        print_usage();
        return kExitOk;
    }
    if (w[0] == "-download") {
        announce("Beginning XModem Download...");
        return exit_status_for(xmodem_download_image());
    }
    if (w[0] == "-generate") {
        announce("Beginning generate...");
        return exit_status_for(Generate());
    }
    return usageError();
}

int twoWords(const Words &w) {
    if (w[0] == "-show") {
        if (w[1] == "device") {
            return exit_status_for(ShowDevice());
        }
        if (w[1] == "setting") {
            return exit_status_for(ShowSetting());
        }
        if (w[1] == "generate") {
            return exit_status_for(ShowGenerateMap());
        }
    } else if (w[0] == "-scan" && w[1] == "device") {
        return exit_status_for(getComList());
    } else if (w[0] == "-erase" && w[1] == "chip") {
        return exit_status_for(eraseChip());
    }
    return usageError();
}

int setOption(const SetOption &option, const std::string &value) {
    if (option.flag && value != "0" && value != "1") {
        std::puts("Invalid args given, the value should be 0 or 1");
        return kExitUsage;
    }
    return exit_status_for(option.setter(value.c_str()));
}

int threeWords(const Words &w) {
    if (w[0] == "-set") {
        for (const SetOption &option : kSetOptions) {
            if (w[1] == option.name) {
                return setOption(option, w[2]);
            }
        }
    } else if (w[0] == "-add" && w[1] == "device") {
        return exit_status_for(addDevice(w[2].c_str()));
    }
    return usageError();
}

int fourWords(const Words &w) {
    if (w[0] == "-erase" && w[1] == "sector") {
        return exit_status_for(eraseChipSector(w[2].c_str(), w[3].c_str()));
    }
    return usageError();
}

int fiveWords(const Words &w) {
    if (w[0] == "-set" && w[1] == "generate_bin") {
        return exit_status_for(setBinPathOffset(w[2].c_str(), w[3].c_str(), w[4].c_str()));
    }
    return usageError();
}

} // namespace

int exit_status_for(int core_result) {
    if (core_result == KELVO_SUCCESS) {
        return kExitOk;
    }
    // Stopped by a signal: the shell's convention for a program it ended.
    if (core_result == KELVO_INTERRUPTED && kelvo_interrupt_signal() != 0) {
        return 128 + kelvo_interrupt_signal();
    }
    return core_result == KELVO_VALUE_REFUSED ? kExitUsage : kExitFailed;
}

int run_command(const Words &words) {
    switch (words.size()) {
    case 0:
        std::puts("use -help for help");
        std::puts("no args given");
        return kExitUsage;
    case 1:
        return oneWord(words);
    case 2:
        return twoWords(words);
    case 3:
        return threeWords(words);
    case 4:
        return fourWords(words);
    case 5:
        return fiveWords(words);
    default:
        return usageError();
    }
}
