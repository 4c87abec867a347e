// Verbosity-filtered diagnostic printer of the core.
#include "KelvoPG_core.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

// 0 errors only, 1 also warnings, 2 and up ever more detail.
int8_t infolevel = 1;
// Highest level the switches can reach; more would wrap the 8-bit level
// to a negative one that hides even errors.
constexpr int kMaxInfolevel = 20;

// State of a progress display's line. The display runs on a monitor thread
// while diagnostics come from the transfer's thread, so the state and the
// printing that depends on it change together under the lock.
enum class ProgressLine { None, Open, EndedByDiagnostic };
ProgressLine progress_line = ProgressLine::None;
std::mutex progress_lock;
// A front end's copy of the diagnostics (the window's log); guarded by
// progress_lock like the printing itself.
infohelper_line_hook line_hook = nullptr;
void *line_hook_context = nullptr;
constexpr size_t kHookLineMax = 1024;

const char *prefixFor(int32_t level) {
    switch (level) {
    case 0:
        return "error: ";
    case 1:
        return "warning: ";
    case 2:
        return "";
    case 3:
        return "\t";
    default:
        return "\t\t";
    }
}

// Number of consecutive 'v' letters from the second character on.
int countVs(const char *arg) {
    int n = 0;
    for (const char *p = arg + 1; *p == 'v'; ++p) {
        ++n;
    }
    return n;
}

} // namespace

extern "C" void infohelper_output(int32_t level, const char *fmt, ...) {
    if (infolevel < level) {
        return;
    }
    std::lock_guard<std::mutex> hold(progress_lock);
    if (progress_line == ProgressLine::Open) {
        std::fputc('\n', stdout);
        progress_line = ProgressLine::EndedByDiagnostic;
    }
    std::fputs(prefixFor(level), stdout);
    va_list ap;
    va_start(ap, fmt);
    if (line_hook) {
        va_list copy;
        va_copy(copy, ap);
        char line[kHookLineMax];
        int used = std::snprintf(line, sizeof line, "%s", prefixFor(level));
        std::vsnprintf(line + used, sizeof line - size_t(used), fmt, copy);
        va_end(copy);
        line_hook(level, line, line_hook_context);
    }
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

extern "C" void infohelper_set_line_hook(infohelper_line_hook hook, void *context) {
    std::lock_guard<std::mutex> hold(progress_lock);
    line_hook = hook;
    line_hook_context = context;
}

extern "C" int32_t infohelper_output_plain(int32_t level, const char *fmt, ...) {
    if (infolevel < level) {
        return 0;
    }
    va_list ap;
    va_start(ap, fmt);
    int n = std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fflush(stdout);
    return n;
}

extern "C" void infohelper_output_progress(const char *fmt, ...) {
    std::lock_guard<std::mutex> hold(progress_lock);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fflush(stdout);
    progress_line = ProgressLine::Open;
}

extern "C" int32_t infohelper_end_progress(void) {
    std::lock_guard<std::mutex> hold(progress_lock);
    bool ended = progress_line == ProgressLine::EndedByDiagnostic;
    progress_line = ProgressLine::None;
    return ended ? 1 : 0;
}

extern "C" void infohelper_set_infolevel(int32_t level) {
    infolevel = static_cast<int8_t>(level);
}

extern "C" int32_t infohelper_get_infolevel(void) {
    return infolevel;
}

extern "C" int32_t infohelper_increase_infolevel(void) {
    if (infolevel < kMaxInfolevel) {
        ++infolevel;
    }
    return infolevel;
}

extern "C" void infohelper_set_argverbosity(int argc, char **argv) {
    int level = infolevel;
    for (int i = argc - 1; i >= 0; --i) {
        const char *arg = argv[i];
        if (!arg || arg[0] != '-') {
            continue;
        }
        if (arg[1] == 'q') {
            infolevel = 0;
            return;
        }
        level += countVs(arg);
        if (level > kMaxInfolevel) {
            level = kMaxInfolevel;
        }
    }
    infolevel = static_cast<int8_t>(level);
}
