#include "dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

QString Dialogs::openFileName(QWidget *parent, const QString &caption, const QString &dir,
                              const QString &filter) {
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString Dialogs::saveFileName(QWidget *parent, const QString &caption, const QString &name,
                              const QString &filter) {
    return QFileDialog::getSaveFileName(parent, caption, name, filter);
}

void Dialogs::information(QWidget *parent, const QString &title, const QString &text) {
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}
