#include "common/child_protocol.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace gang {
namespace {

using Kind = ChildMessage::Kind;

struct Tag {
    Kind kind;
    char letter;
};
const Tag kTags[] = {{Kind::Waiting, 'W'}, {Kind::Board, 'B'},   {Kind::Progress, 'P'},
                     {Kind::Result, 'R'},  {Kind::Error, 'E'},   {Kind::Held, 'H'},
                     {Kind::Gone, 'G'},    {Kind::NotReady, 'N'}};

char letterOf(Kind kind) {
    for (const Tag &tag : kTags) {
        if (tag.kind == kind) {
            return tag.letter;
        }
    }
    return '?';
}

bool kindOf(char letter, Kind *kind) {
    for (const Tag &tag : kTags) {
        if (tag.letter == letter) {
            *kind = tag.kind;
            return true;
        }
    }
    return false;
}

std::string oneLine(std::string text) {
    for (char &c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

// Whole decimal integers separated by single spaces: "12 -1".
bool parseInts(const std::string &text, int *values, size_t count) {
    const char *p = text.c_str();
    for (size_t i = 0; i < count; ++i) {
        char *end = nullptr;
        errno = 0;
        long value = std::strtol(p, &end, 10);
        if (end == p || errno != 0 || value < INT_MIN || value > INT_MAX) {
            return false;
        }
        values[i] = static_cast<int>(value);
        p = end;
        if (i + 1 < count) {
            if (*p != ' ') {
                return false;
            }
            ++p;
        }
    }
    return *p == '\0';
}

ChildMessage make(Kind kind) {
    ChildMessage message;
    message.kind = kind;
    return message;
}

ChildMessage withText(Kind kind, const std::string &text) {
    ChildMessage message = make(kind);
    message.text = text;
    return message;
}

} // namespace

ChildMessage waitingMessage(const std::string &problem) {
    return withText(Kind::Waiting, problem);
}
ChildMessage boardMessage(const std::string &identity) {
    return withText(Kind::Board, identity);
}
ChildMessage errorMessage(const std::string &reason) {
    return withText(Kind::Error, reason);
}
ChildMessage notReadyMessage(const std::string &identity) {
    return withText(Kind::NotReady, identity);
}
ChildMessage heldMessage() {
    return make(Kind::Held);
}
ChildMessage goneMessage() {
    return make(Kind::Gone);
}

ChildMessage progressMessage(int phase, int percent) {
    ChildMessage message = make(Kind::Progress);
    message.phase = phase;
    message.percent = percent;
    return message;
}

ChildMessage resultMessage(int result) {
    ChildMessage message = make(Kind::Result);
    message.result = result;
    return message;
}

std::string encodeMessage(const ChildMessage &message) {
    std::string line(1, letterOf(message.kind));
    switch (message.kind) {
    case Kind::Progress:
        line += " " + std::to_string(message.phase) + " " + std::to_string(message.percent);
        break;
    case Kind::Result:
        line += " " + std::to_string(message.result);
        break;
    case Kind::Waiting:
    case Kind::Board:
    case Kind::Error:
    case Kind::NotReady:
        line += " " + oneLine(message.text);
        break;
    case Kind::Held:
    case Kind::Gone:
        break;
    }
    return line + "\n";
}

bool parseMessage(const std::string &line, ChildMessage *message) {
    if (line.empty() || !kindOf(line[0], &message->kind)) {
        return false;
    }
    if (line.size() > 1 && line[1] != ' ') {
        return false;
    }
    std::string rest = line.size() > 2 ? line.substr(2) : "";
    int values[2] = {0, 0};
    switch (message->kind) {
    case Kind::Progress:
        if (!parseInts(rest, values, 2)) {
            return false;
        }
        message->phase = values[0];
        message->percent = values[1];
        return true;
    case Kind::Result:
        if (!parseInts(rest, values, 1)) {
            return false;
        }
        message->result = values[0];
        return true;
    case Kind::Held:
    case Kind::Gone:
        return line.size() == 1;
    default:
        message->text = rest;
        return true;
    }
}

std::vector<ChildMessage> MessageReader::feed(const char *bytes, size_t n) {
    pending_.append(bytes, n);
    std::vector<ChildMessage> messages;
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        ChildMessage message;
        if (parseMessage(pending_.substr(0, nl), &message)) {
            messages.push_back(message);
        }
        pending_.erase(0, nl + 1);
    }
    return messages;
}

} // namespace gang
