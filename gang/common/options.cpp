#include "common/options.h"

#include "common/safe_files.h"
#include "factory/cfx_url.h"

#include <cstdlib>
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

// "NAME=PORT" names a slot; a '/' before the '=' makes it a path.
bool addPort(const std::string &arg, Options *options, std::string *error) {
    size_t eq = arg.find('=');
    std::string name;
    std::string port = arg;
    if (eq != std::string::npos && arg.find('/') > eq) {
        name = arg.substr(0, eq);
        port = arg.substr(eq + 1);
        if (name.empty() || name == "." || name == ".." || port.empty()) {
            *error = "a slot is NAME=PORT, both non-empty: " + arg;
            return false;
        }
        for (const std::string &other : options->names) {
            if (other == name) {
                *error = "the same slot name twice: " + name;
                return false;
            }
        }
    }
    options->ports.push_back(port);
    options->names.push_back(name);
    return true;
}

// The password of a URL that names a user and none: from the file, else
// from the environment.
bool takePassword(const factory::BrokerUrl &url, Options *options, std::string *error) {
    const char *variable = std::getenv(kPasswordVariable);
    bool fromFile = !options->cfxPasswordFile.empty();
    if (!url.password.empty()) {
        if (fromFile) {
            *error = "--cfx-password-file: the --cfx URL has a password already";
            return false;
        }
        return true; // the URL's, which every local user can see
    }
    if (fromFile) {
        if (url.user.empty()) {
            *error = "--cfx-password-file needs a user in the --cfx URL (amqp://USER@HOST/...)";
            return false;
        }
        return readSecretFile(options->cfxPasswordFile, &options->cfxPassword, error);
    }
    if (variable != nullptr && *variable != '\0' && !url.user.empty()) {
        options->cfxPassword = variable;
    }
    return true;
}

bool checkFactoryOptions(Options *options, std::string *error) {
    if (options->cfxUrl.empty()) {
        if (!options->cfxHandle.empty() || !options->cfxSpool.empty() ||
            !options->cfxPasswordFile.empty()) {
            *error = "--cfx-handle, --cfx-spool and --cfx-password-file need --cfx";
            return false;
        }
        return true;
    }
    factory::BrokerUrl url;
    return factory::parseBrokerUrl(options->cfxUrl, &url, error) &&
           takePassword(url, options, error);
}

} // namespace

ParseOutcome parseOptions(int argc, char **argv, Options *options, std::string *error) {
    bool onlyPorts = false; // after "--"
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (onlyPorts || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            if (!addPort(arg, options, error)) {
                return ParseOutcome::UsageError;
            }
        } else if (std::strcmp(arg, "--") == 0) {
            onlyPorts = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            return ParseOutcome::Help;
        } else if (std::strcmp(arg, "--version") == 0) {
            return ParseOutcome::Version;
        } else if (std::strcmp(arg, "--all") == 0) {
            options->allPorts = true;
        } else if (std::strcmp(arg, "--unique-status") == 0) {
            options->uniqueStatus = true;
        } else if (std::strcmp(arg, "--watch") == 0) {
            options->watch = true;
        } else if (std::strcmp(arg, "--quick-replies") == 0) {
            options->quickReplies = true;
        } else if (takeValue("--log", argc, argv, &i, &options->logFile, error) ||
                   takeValue("--output-dir", argc, argv, &i, &options->outputDir, error) ||
                   takeValue("--recipe", argc, argv, &i, &options->recipeFile, error) ||
                   takeValue("--station", argc, argv, &i, &options->station, error) ||
                   takeValue("--operator", argc, argv, &i, &options->operatorId, error) ||

                   takeValue("--cfx-handle", argc, argv, &i, &options->cfxHandle, error) ||
                   takeValue("--cfx-spool", argc, argv, &i, &options->cfxSpool, error) ||
                   takeValue("--cfx-password-file", argc, argv, &i, &options->cfxPasswordFile,
                             error) ||
                   takeValue("--cfx", argc, argv, &i, &options->cfxUrl, error)) {
            if (!error->empty()) {
                return ParseOutcome::UsageError;
            }
        } else {
            *error = std::string("unknown option: ") + arg;
            return ParseOutcome::UsageError;
        }
    }
    if (options->uniqueStatus) {
        if (options->recipeFile.empty() || options->allPorts || !options->ports.empty()) {
            *error = "--unique-status takes --recipe FILE and nothing else";
            return ParseOutcome::UsageError;
        }
        return ParseOutcome::Run;
    }
    if (options->allPorts && !options->ports.empty()) {
        *error = "--all takes no ports besides it";
        return ParseOutcome::UsageError;
    }
    if (!options->allPorts && options->ports.empty()) {
        *error = "no port given";
        return ParseOutcome::UsageError;
    }
    return checkFactoryOptions(options, error) ? ParseOutcome::Run : ParseOutcome::UsageError;
}

const char *usageText() {
    return R"(Usage: kelvo_pgtool_gang [--log FILE] [--output-dir DIR] [--cfx URL] [NAME=]PORT...
       kelvo_pgtool_gang [--log FILE] [--output-dir DIR] [--cfx URL] --all
       kelvo_pgtool_gang --watch [--recipe FILE] [--log FILE] [--station NAME]
                         [--operator ID] [--cfx URL] [NAME=]PORT...
       kelvo_pgtool_gang --unique-status --recipe FILE
Writes the image of record.dat (current directory) into the board on every
PORT at once, one process per port, and prints a result table. NAME=PORT
shows the port as NAME (a slot of the fixture); otherwise it shows as the
last part of its path.

With --watch it runs as a production station: every port is a slot that
waits for a board in download mode, programs it, shows PASS or FAIL and
waits for the board to be taken out, on its own cycle, until q is typed
(after the boards in progress) or Ctrl-C (cancels them).

  --all              every port that "kelvo_pgtool_cli -scan device" lists
  --log FILE         append one CSV line per board to FILE
  --output-dir DIR   directory for each board's output (default
                     gang-<date>-<time>/ in the current directory)
  --recipe FILE      take the settings from a TOML recipe instead of
                     record.dat; the image must match its sha256
  --watch            run as a production station
  --unique-status    print, for each per-board value of the recipe, the next
                     one and how many are left
  --quick-replies    end each reply of the boards once the line stays quiet
                     instead of after the full reply window (also recipe key
                     quick_replies, or KELVO_QUICK_REPLIES=1)
  --station NAME     the station's name, for the screen and the log
  --operator ID      who runs the station, for the log
  --cfx URL          publish each board's result as CFX messages to the AMQP
                     1.0 address URL (amqp://user@host:port/address, amqps://
                     for TLS); a password written in URL (user:password@) is
                     seen by every local user: give it by --cfx-password-file
                     or the environment variable KELVO_CFX_PASSWORD instead
  --cfx-password-file FILE
                     take the broker password from the first line of FILE,
                     which must be yours and readable by you only (chmod 600)
  --cfx-handle NAME  the station's CFX handle (default kelvo.<hostname>)
  --cfx-spool DIR    where messages wait for the broker (default cfx-spool/
                     beside the run directory); it and --output-dir must be
                     yours and not writable by every user
  --help             show this text
  --version          show the version

Exit status: 0 every board programmed, 1 any failed, 2 usage error, no
record.dat (and no --recipe), a port held by another program or a directory
refused as unsafe, 130/143 interrupted by Ctrl-C/SIGTERM.
With --watch: 0 stopped with q, 2 usage error, no record.dat, refused
recipe, a port held by another program or a directory refused as unsafe,
130/143 stopped by Ctrl-C/SIGTERM.
)";
}

} // namespace gang
