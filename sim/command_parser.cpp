#include "command_parser.h"

#include <sstream>
#include <vector>

namespace sim {
namespace {

struct Syntax {
    const char *word;
    CommandKind kind;
    size_t argumentCount;
};

const Syntax kSyntax[] = {
    {"DW", CommandKind::ReadWord, 1},     {"EW", CommandKind::WriteWord, 2},
    {"ping", CommandKind::Ping, 0},       {"ucfg", CommandKind::LineConfig, 3},
    {"ceras", CommandKind::ChipErase, 2}, {"seras", CommandKind::SectorErase, 4},
    {"fwd", CommandKind::FlashWrite, 3},  {"hashq", CommandKind::HashQuery, 3},
};

constexpr size_t kMaxDigits = 16; // keeps every number within 64 bits

std::vector<std::string> splitWords(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

bool parseDigits(const std::string &text, int base, uint64_t &out) {
    if (text.empty() || text.size() > kMaxDigits) {
        return false;
    }
    uint64_t value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return false;
        }
        if (base == 10 && value > (UINT64_MAX - static_cast<uint64_t>(digit)) / 10) {
            return false;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    out = value;
    return true;
}

// Decimal, or hexadecimal after "0x".
bool parseCount(const std::string &text, uint64_t &out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return parseDigits(text.substr(2), 16, out);
    }
    return parseDigits(text, 10, out);
}

bool parsePin(const std::string &text, int &pin) {
    if (text == "0" || text == "1") {
        pin = text[0] - '0';
        return true;
    }
    return false;
}

// Fills the command from its arguments; false when one is malformed.
bool parseArguments(CommandKind kind, const std::vector<std::string> &a, Command &c) {
    switch (kind) {
    case CommandKind::ReadWord:
        return parseDigits(a[0], 16, c.address);
    case CommandKind::WriteWord:
        return parseDigits(a[0], 16, c.address) && parseDigits(a[1], 16, c.value);
    case CommandKind::Ping:
        return true;
    case CommandKind::LineConfig:
        return parseDigits(a[0], 10, c.number) && c.number > 0 && a[1] == "0" && a[2] == "0";
    case CommandKind::ChipErase:
        return a[0] == "0" && parsePin(a[1], c.pin);
    case CommandKind::SectorErase:
        return parseDigits(a[0], 16, c.address) && parseCount(a[1], c.number) && a[2] == "0" &&
               parsePin(a[3], c.pin);
    case CommandKind::FlashWrite:
        return a[0] == "0" && parsePin(a[1], c.pin) && parseDigits(a[2], 16, c.address);
    case CommandKind::HashQuery:
        return parseCount(a[0], c.number) && a[1] == "0" && parsePin(a[2], c.pin);
    }
    return false;
}

const Syntax *findSyntax(const std::string &word) {
    for (const Syntax &s : kSyntax) {
        if (word == s.word) {
            return &s;
        }
    }
    return nullptr;
}

} // namespace

ParsedLine parseCommand(const std::string &line) {
    ParsedLine result;
    std::vector<std::string> words = splitWords(line);
    if (words.empty()) {
        result.error = "empty command";
        return result;
    }
    const Syntax *syntax = findSyntax(words[0]);
    if (!syntax) {
        result.error = "unknown command";
        return result;
    }
    words.erase(words.begin());
    if (words.size() != syntax->argumentCount) {
        result.error = "wrong number of arguments";
        return result;
    }
    result.command.kind = syntax->kind;
    result.ok = parseArguments(syntax->kind, words, result.command);
    if (!result.ok) {
        result.error = "bad argument";
    }
    return result;
}

std::string commandWord(const std::string &line) {
    std::vector<std::string> words = splitWords(line);
    return words.empty() ? std::string() : words[0];
}

bool isCommandWord(const std::string &word) {
    return findSyntax(word) != nullptr;
}

} // namespace sim
