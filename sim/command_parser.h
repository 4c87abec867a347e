// The boot loader's command lines, parsed into commands.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

enum class CommandKind {
    ReadWord,    // DW <hex address>
    WriteWord,   // EW <hex address> <hex value>
    Ping,        // ping
    LineConfig,  // ucfg <baud> 0 0
    ChipErase,   // ceras 0 <pin>
    SectorErase, // seras <hex offset> <length> 0 <pin>
    FlashWrite,  // fwd 0 <pin> <hex offset>
    HashQuery,   // hashq <size> 0 <pin>
};

struct Command {
    CommandKind kind = CommandKind::Ping;
    uint64_t address = 0; // DW, EW; the flash offset of seras and fwd
    uint64_t value = 0;   // EW
    uint64_t number = 0;  // baud of ucfg, length of seras, size of hashq
    int pin = 0;          // flash pin selection, 0 or 1
};

struct ParsedLine {
    bool ok = false;
    Command command;
    std::string error; // why the line was refused
};

// Parses one line without its terminator (LF, or CR LF).
ParsedLine parseCommand(const std::string &line);

// The command word of a line ("DW", "ping", ...), or "" when it has none.
std::string commandWord(const std::string &line);
// True when word names a command of the boot loader.
bool isCommandWord(const std::string &word);

} // namespace sim
