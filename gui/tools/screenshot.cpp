// Saves pictures of the window for the documentation.
// Usage: kelvo_pgtool_screenshot OUTDIR          one picture per tab
//        kelvo_pgtool_screenshot OUTDIR --download
//            clicks "Download" and saves the window halfway through the
//            transfer (the record must name an image and a device that
//            answers, such as kelvo_chipsim's link).
// Run it in a scratch directory: the window creates "record.dat" where it starts.
#include "mainwindow.h"

#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

namespace {

// Let the window-manager-less X server map and paint the window first.
constexpr int kSettleMs = 500;
constexpr int kPollMs = 20;
constexpr int kPicturePercent = 40;

bool save(QWidget &window, const QString &file) {
    if (!window.grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

int tabs(QApplication &app, MainWindow &window, const QString &outDir) {
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    int failures = 0;
    QTimer::singleShot(kSettleMs, [&] {
        for (int tab = 0; tab < tabs->count(); ++tab) {
            tabs->setCurrentIndex(tab);
            const QString name = "/screenshot-" + tabs->tabText(tab).toLower() + ".png";
            failures += save(window, outDir + name) ? 0 : 1;
        }
        app.exit(failures ? 1 : 0);
    });
    return app.exec();
}

int downloadInProgress(QApplication &app, MainWindow &window, const QString &outDir) {
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    bool saved = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!saved && bar->value() >= kPicturePercent) {
            saved = save(window, outDir + "/screenshot-download-progress.png");
            poll.stop();
        }
    });
    QObject::connect(&window, &MainWindow::operationFinished, [&](int result) {
        if (!saved)
            std::fprintf(stderr, "the download ended (%d) before the picture\n", result);
        app.exit(saved ? 0 : 1);
    });
    QTimer::singleShot(kSettleMs, [&] {
        window.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        poll.start(kPollMs);
    });
    return app.exec();
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const bool download = argc == 3 && QByteArray(argv[2]) == "--download";
    if (argc != 2 && !download) {
        std::fprintf(stderr, "usage: %s OUTDIR [--download]\n", argv[0]);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    MainWindow window;
    window.show();
    return download ? downloadInProgress(app, window, outDir) : tabs(app, window, outDir);
}
