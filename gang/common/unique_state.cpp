#include "common/unique_state.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gang {
namespace {

// Another process holds the lock only while it commits one board's values.
constexpr int kLockTries = 500;
constexpr int kLockPauseUs = 20000; // 10 s in all

const char kStateHeader[] =
    "# kelvo_pgtool_gang: the per-board values handed out from this recipe's ranges.\n"
    "# Never edit, copy or delete it while values are in use: the next board\n"
    "# starts from here, and a reset would give values twice.\n";

bool fail(std::string *error, const std::string &why) {
    *error = why;
    return false;
}

std::string systemError(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// How many of each value (by name) were handed out, and their ranges.
struct StateEntry {
    std::string range;
    uint64_t handedOut = 0;
};
using State = std::map<std::string, StateEntry>;

bool readState(const std::string &path, State *state, bool *exists, std::string *error) {
    struct stat st {};
    *exists = ::stat(path.c_str(), &st) == 0;
    if (!*exists) {
        return errno == ENOENT || fail(error, systemError("cannot read", path));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return fail(error, systemError("cannot read", path));
    }
    std::ostringstream text;
    text << in.rdbuf();
    toml::table table;
    try {
        table = toml::parse(text.str(), path);
    } catch (const toml::parse_error &e) {
        return fail(error, "the allocation state " + path +
                               " is damaged: " + std::string(e.description()));
    }
    const toml::array *values = table["value"].as_array();
    if (values == nullptr || !values->is_array_of_tables()) {
        return fail(error, "the allocation state " + path + " is damaged: no [[value]] tables");
    }
    for (const toml::node &node : *values) {
        const toml::table &t = *node.as_table();
        int64_t handedOut = t["handed_out"].value_or<int64_t>(-1);
        std::string name = t["name"].value_or<std::string>("");
        if (!t["range"].is_string() || handedOut < 0 || name.empty() || state->count(name) > 0) {
            return fail(error, "the allocation state " + path +
                                   " is damaged: a [[value]] "
                                   "without name, range or count");
        }
        (*state)[name] = {t["range"].value_or<std::string>(""), static_cast<uint64_t>(handedOut)};
    }
    return true;
}

// The state belongs to these values: the same names, each with its range.
bool matches(const PerBoardValues &perBoard, const State &state, std::string *error) {
    std::string refused = "the allocation state " + perBoard.statePath + " belongs to other values";
    for (const UniqueValue &v : perBoard.values) {
        auto found = state.find(v.name);
        if (found == state.end()) {
            return fail(error, refused + ": it has no \"" + v.name + "\"");
        }
        if (found->second.range != v.rangeText()) {
            return fail(error, refused + ": \"" + v.name + "\" there is " + found->second.range +
                                   ", the recipe's is " + v.rangeText());
        }
    }
    if (state.size() != perBoard.values.size()) {
        return fail(error, refused + ": it has values the recipe does not name");
    }
    return true;
}

std::string stateText(const PerBoardValues &perBoard, const State &state) {
    std::ostringstream out;
    out << kStateHeader;
    for (const UniqueValue &v : perBoard.values) {
        const StateEntry &e = state.at(v.name);
        toml::table t{{"name", v.name},
                      {"range", e.range},
                      {"handed_out", static_cast<int64_t>(e.handedOut)},
                      {"next", e.handedOut < v.count() ? v.textAt(e.handedOut) : "(none left)"}};
        out << "\n[[value]]\n" << t << "\n";
    }
    return out.str();
}

bool writeAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool syncDirectory(const std::string &dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

// A new copy beside the old one, synced, renamed over it, the directory
// synced: the file holds either the old state or the new one.
bool writeState(const std::string &path, const std::string &text, std::string *error) {
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail(error, systemError("cannot write", temp));
    }
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        std::string why = systemError("cannot write", path);
        ::unlink(temp.c_str());
        return fail(error, why);
    }
    if (!syncDirectory(directoryOf(path))) {
        return fail(error, systemError("cannot sync the directory of", path));
    }
    return true;
}

// The lock every allocating process takes; bounded wait.
class StateLock {
  public:
    bool take(const std::string &path, std::string *error) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            return fail(error, systemError("cannot open the lock", path));
        }
        for (int i = 0; i < kLockTries; ++i) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                return true;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return fail(error, systemError("cannot lock", path));
            }
            ::usleep(kLockPauseUs);
        }
        return fail(error, "the lock " + path + " stayed held for 10 s");
    }
    ~StateLock() {
        if (fd_ >= 0) {
            ::close(fd_); // lets the lock go
        }
    }

  private:
    int fd_ = -1;
};

std::string utcNow() {
    char text[32];
    std::time_t now = std::time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void appendJournal(const PerBoardValues &perBoard, const std::string &line) {
    std::string path = uniqueJournalPath(perBoard);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        std::string whole = utcNow() + " " + line + "\n";
        if (writeAll(fd, whole)) {
            ::fsync(fd);
        }
        ::close(fd);
    }
}

State freshState(const PerBoardValues &perBoard) {
    State state;
    for (const UniqueValue &v : perBoard.values) {
        state[v.name] = {v.rangeText(), 0};
    }
    return state;
}

bool loadMatching(const PerBoardValues &perBoard, State *state, std::string *error) {
    bool exists = false;
    if (!readState(perBoard.statePath, state, &exists, error)) {
        return false;
    }
    if (!exists) {
        *state = freshState(perBoard);
        return true;
    }
    return matches(perBoard, *state, error);
}

} // namespace

std::string uniqueLockPath(const PerBoardValues &perBoard) {
    return perBoard.statePath + ".lock";
}

std::string uniqueJournalPath(const PerBoardValues &perBoard) {
    return perBoard.statePath + ".journal";
}

bool checkUniqueState(const PerBoardValues &perBoard, std::string *error) {
    State state;
    return loadMatching(perBoard, &state, error);
}

bool allocateValues(const PerBoardValues &perBoard, const std::string &who, Allocation *allocation,
                    std::string *error) {
    StateLock lock;
    State state;
    if (!lock.take(uniqueLockPath(perBoard), error) || !loadMatching(perBoard, &state, error)) {
        return false;
    }
    allocation->indexes.clear();
    allocation->texts.clear();
    for (const UniqueValue &v : perBoard.values) {
        uint64_t index = state[v.name].handedOut;
        if (index >= v.count()) {
            return fail(error, "unique value \"" + v.name + "\" is used up (" + v.rangeText() +
                                   ", " + std::to_string(v.count()) + " handed out)");
        }
        allocation->indexes.push_back(index);
        allocation->texts.push_back(v.textAt(index));
        state[v.name].handedOut = index + 1;
    }
    if (!writeState(perBoard.statePath, stateText(perBoard, state), error)) {
        return false;
    }
    appendJournal(perBoard, who + " allocated " + allocationText(perBoard, *allocation));
    return true;
}

void recordOutcome(const PerBoardValues &perBoard, const Allocation &allocation,
                   const std::string &who, const std::string &outcome) {
    StateLock lock;
    std::string ignored;
    lock.take(uniqueLockPath(perBoard), &ignored); // the journal's lines stay whole without it
    appendJournal(perBoard, who + " " + outcome + " " + allocationText(perBoard, allocation));
}

bool uniqueStatusText(const PerBoardValues &perBoard, std::string *text, std::string *error) {
    State state;
    if (!loadMatching(perBoard, &state, error)) {
        return false;
    }
    std::ostringstream out;
    out << "state " << perBoard.statePath << "\n";
    for (const UniqueValue &v : perBoard.values) {
        uint64_t used = state[v.name].handedOut;
        uint64_t left = used < v.count() ? v.count() - used : 0;
        out << v.name << ": next " << (left > 0 ? v.textAt(used) : "(none: used up)") << ", "
            << left << " left of " << v.count() << " (" << v.rangeText() << ")\n";
    }
    *text = out.str();
    return true;
}

std::string allocationText(const PerBoardValues &perBoard, const Allocation &allocation) {
    std::string text;
    for (size_t i = 0; i < perBoard.values.size() && i < allocation.texts.size(); ++i) {
        text += (i > 0 ? " " : "") + perBoard.values[i].name + "=" + allocation.texts[i];
    }
    return text;
}

} // namespace gang
