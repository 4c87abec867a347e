#include "options.h"

#include <cstring>

namespace gang {
namespace {

// "--name VALUE" or "--name=VALUE": true when arg is that option, with the
// value taken from the next word when needed.
bool takeValue(const char *name, int argc, char **argv, int *i, std::string *value,
               std::string *error) {
    const char *arg = argv[*i];
    size_t len = std::strlen(name);
    if (std::strncmp(arg, name, len) != 0) {
        return false;
    }
    if (arg[len] == '=') {
        *value = arg + len + 1;
    } else if (arg[len] != '\0') {
        return false;
    } else if (*i + 1 < argc) {
        *value = argv[++*i];
    } else {
        *error = std::string(name) + " needs a value";
        return true;
    }
    if (value->empty()) {
        *error = std::string(name) + " needs a non-empty value";
    }
    return true;
}

} // namespace

ParseOutcome parseOptions(int argc, char **argv, Options *options, std::string *error) {
    bool onlyPorts = false; // after "--"
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (onlyPorts || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            options->ports.push_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            onlyPorts = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            return ParseOutcome::Help;
        } else if (std::strcmp(arg, "--version") == 0) {
            return ParseOutcome::Version;
        } else if (std::strcmp(arg, "--all") == 0) {
            options->allPorts = true;
        } else if (std::strcmp(arg, "--watch") == 0) {
            options->watch = true;
        } else if (takeValue("--log", argc, argv, &i, &options->logFile, error) ||
                   takeValue("--output-dir", argc, argv, &i, &options->outputDir, error) ||
                   takeValue("--recipe", argc, argv, &i, &options->recipeFile, error) ||
                   takeValue("--station", argc, argv, &i, &options->station, error) ||
                   takeValue("--operator", argc, argv, &i, &options->operatorId, error)) {
            if (!error->empty()) {
                return ParseOutcome::UsageError;
            }
        } else {
            *error = std::string("unknown option: ") + arg;
            return ParseOutcome::UsageError;
        }
    }
    if (options->allPorts && !options->ports.empty()) {
        *error = "--all takes no ports besides it";
        return ParseOutcome::UsageError;
    }
    if (!options->allPorts && options->ports.empty()) {
        *error = "no port given";
        return ParseOutcome::UsageError;
    }
    return ParseOutcome::Run;
}

const char *usageText() {
    return R"(Usage: kelvo_pgtool_gang [--log FILE] [--output-dir DIR] PORT...
       kelvo_pgtool_gang [--log FILE] [--output-dir DIR] --all
Writes the image of record.dat (current directory) into the board on every
PORT at once, one process per port, and prints a result table.

  --all              every port that "kelvo_pgtool_cli -scan device" lists
  --log FILE         append one CSV line per board to FILE
  --output-dir DIR   directory for each board's output (default
                     gang-<date>-<time>/ in the current directory)
  --help             show this text
  --version          show the version

Exit status: 0 every board programmed, 1 any failed, 2 usage error,
130/143 interrupted by Ctrl-C/SIGTERM.
)";
}

} // namespace gang
