// Saves a picture of each tab of the window, for the documentation.
// Usage: kelvo_pgtool_screenshot OUTDIR (run in a scratch directory: the
// window creates "record.dat" where it starts).
#include "mainwindow.h"

#include <QApplication>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    MainWindow window;
    window.show();
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    int failures = 0;
    // Let the window manager-less X server map and paint the window first.
    QTimer::singleShot(500, [&] {
        for (int tab = 0; tab < tabs->count(); ++tab) {
            tabs->setCurrentIndex(tab);
            const QString file = outDir + "/screenshot-" + tabs->tabText(tab).toLower() + ".png";
            if (!window.grab().save(file)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(file));
            }
        }
        app.exit(failures ? 1 : 0);
    });
    return app.exec();
}
