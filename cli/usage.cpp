#include "cli.h"

#include <cstdio>

namespace {

const char *const kUsageLines[] = {
    "usage:",
    "    -show [device|setting|generate]",
    "        E.g. -show device",
    "    -set image <path>",
    "        E.g. -set image D:\\test\\flash_is.bin",
    "    -set baudrate <baudrate>",
    "        E.g. -set baudrate 1000000",
    "    -set hash_verify <hash_verify_option>",
    "        E.g. -set hash_verify 1",
    "    -set keep_sys_data <sys_data_option>",
    "        E.g. -set keep_sys_data 1",
    "    -set keep_wifi_data <wifi_data_option>",
    "        E.g. -set keep_wifi_data 1",
    "    -set flash_offset <flash_offset_value>",
    "        E.g. -set flash_offset 0x00000000",
    "    -set chip_erase <chip_erase_value>",
    "        E.g. -set chip_erase 1",
    "    -scan device",
    "    -add device <device>",
    "        E.g. -add device /dev/ttyUSB0",
    "    -erase chip",
    "        E.g. -erase chip",
    "    -erase sector <offset> <length>",
    "        E.g. -erase sector 0x00004000 1000",
    "    -download",
    "    -set generate_bin <number of bin> <path> <offset>",
    "        E.g. -set generate_bin 1 D:\\test\\partition.bin 0x0000",
    "    -generate",
};

} // namespace

void print_usage() {
    for (const char *line : kUsageLines) {
        std::puts(line);
    }
}

void print_invalid_args() {
    std::puts("Invalid args given");
}
