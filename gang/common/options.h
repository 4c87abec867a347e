// The command line of kelvo_pgtool_gang.
#pragma once

#include <string>
#include <vector>

namespace gang {

struct Options {
    std::string logFile;   // empty: no traceability log
    std::string outputDir; // empty: gang-<date>-<time>/ in the current directory
    bool allPorts = false;
    bool uniqueStatus = false;      // print the state of the recipe's per-board values
    bool watch = false;             // the station: every port on its own cycle until q
    bool quickReplies = false;      // replies framed by the line's silence
    std::string recipeFile;         // empty: the settings of record.dat
    std::string station;            // the station's name, for the screen and the log
    std::string operatorId;         // who runs it, for the log
    std::vector<std::string> ports; // as given, without "NAME="
    std::vector<std::string> names; // per port: NAME of NAME=PORT, or ""
    // The factory link (CFX over AMQP); no URL: none.
    std::string cfxUrl, cfxHandle, cfxSpool;
    std::string cfxPasswordFile; // --cfx-password-file
    // The broker password from that file or KELVO_CFX_PASSWORD; empty when
    // none, or when the URL carries it.
    std::string cfxPassword;
};

// The environment variable that may hold the broker password.
constexpr const char *kPasswordVariable = "KELVO_CFX_PASSWORD";

enum class ParseOutcome { Run, Help, Version, UsageError };

// Fills options from argv (and the broker password from its file or the
// environment); on UsageError, error says why.
ParseOutcome parseOptions(int argc, char **argv, Options *options, std::string *error);

const char *usageText();

} // namespace gang
