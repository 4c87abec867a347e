#include "KelvoPG_core.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    kelvo_prepare_process();
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
