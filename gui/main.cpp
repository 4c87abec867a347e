#include "KelvoPG_core.h"
#include "mainwindow.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "Usage: kelvo_pgtool [qt-option]...\n"
                      "Opens the window that downloads an image into a Kelvo chip, erases it,\n"
                      "and composes flash images and system-data blocks. The settings of each\n"
                      "download go to record.dat in the current directory.\n"
                      "\n"
                      "  --help       show this text\n"
                      "  --version    show the program's name and version\n"
                      "  -platform NAME, -style STYLE and the other options of Qt applications\n";

// Answered before Qt starts: they need no display, and must leave no
// record.dat behind.
bool answersInfoOption(int argc, char **argv) {
    if (argc != 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::puts("kelvo_pgtool " KELVO_VERSION);
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[]) {
    if (answersInfoOption(argc, argv)) {
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    kelvo_prepare_process();
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
