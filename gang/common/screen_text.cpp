#include "common/screen_text.h"

#include "KelvoPG_core.h"

#include <algorithm>
#include <set>
#include <sys/ioctl.h>

namespace gang {
namespace {

std::string lastComponent(const std::string &port) {
    std::string base = port.substr(port.find_last_of('/') + 1);
    return base.empty() || base == "." || base == ".." ? "port" : base;
}

std::string unique(const std::string &base, std::set<std::string> *taken) {
    std::string name = base;
    for (int n = 2; taken->count(name); ++n) {
        name = base + "-" + std::to_string(n);
    }
    taken->insert(name);
    return name;
}

} // namespace

TerminalSize terminalSize(int fd) {
    TerminalSize size;
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        size.rows = ws.ws_row;
        size.cols = ws.ws_col;
    }
    return size;
}

std::vector<std::string> slotLabels(const std::vector<std::string> &ports,
                                    const std::vector<std::string> &names) {
    std::set<std::string> taken;
    std::vector<std::string> labels(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i < names.size() && !names[i].empty()) {
            labels[i] = unique(names[i], &taken);
        }
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        if (labels[i].empty()) {
            labels[i] = unique(lastComponent(ports[i]), &taken);
        }
    }
    return labels;
}

std::string fitted(const std::string &text, size_t width) {
    if (text.size() <= width) {
        return text;
    }
    return width > 3 ? text.substr(0, width - 3) + "..." : text.substr(0, width);
}

std::string fittedLabel(const std::string &label, size_t width) {
    if (label.size() <= width) {
        return label;
    }
    return width > 3 ? "..." + label.substr(label.size() - (width - 3))
                     : label.substr(label.size() - width);
}

std::vector<std::string> fittedLabels(std::vector<std::string> labels, size_t width) {
    // The common end of names such as "usb-FTDI_..._A50285BI-if00-port0"
    // tells nothing apart: it goes first from the labels too long to show.
    std::vector<std::string *> cut;
    for (std::string &label : labels) {
        if (label.size() > width) {
            cut.push_back(&label);
        }
    }
    size_t common = cut.size() < 2 ? 0 : cut[0]->size();
    for (const std::string *label : cut) {
        common = std::min(common, label->size() - 1);
        size_t n = 0;
        while (n < common && (*label)[label->size() - 1 - n] == (*cut[0])[cut[0]->size() - 1 - n]) {
            ++n;
        }
        common = n;
    }
    for (std::string *label : cut) {
        label->erase(label->size() - common);
        *label = fittedLabel(*label, width);
    }
    return labels;
}

std::string withoutPath(std::string text, const std::string &path) {
    if (path.empty()) {
        return text;
    }
    for (size_t at = 0; (at = text.find(path, at)) != std::string::npos;) {
        size_t end = at + path.size();
        if (end < text.size() && text[end] != ':' && text[end] != ' ') {
            at = end; // a longer path that starts the same
            continue;
        }
        bool colonAfter = text.compare(end, 2, ": ") == 0;
        if (colonAfter && (at == 0 || (at >= 2 && text.compare(at - 2, 2, ": ") == 0))) {
            text.erase(at, path.size() + 2); // "error: P: why", "P: why"
        } else if (at > 0 && text[at - 1] == ' ') {
            text.erase(at - 1, path.size() + 1); // "cannot access P: busy"
        } else {
            text.erase(at, end < text.size() && text[end] == ' ' ? path.size() + 1 : path.size());
        }
    }
    return text;
}

std::string corePhaseName(int phase) {
    switch (phase) {
    case KELVO_PHASE_ERASING:
        return "erasing";
    case KELVO_PHASE_WRITING:
        return "writing";
    case KELVO_PHASE_VERIFYING:
        return "verifying";
    default:
        return "connecting";
    }
}

} // namespace gang
