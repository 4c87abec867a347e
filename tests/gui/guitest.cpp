#include "guitest.h"

#include <QDir>
#include <QFile>
#include <QTextBrowser>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace gt {

QString FakeDialogs::openFileName(QWidget *parent, const QString &caption, const QString &dir,
                                  const QString &filter) {
    lastParent = parent;
    asked << QStringList{"open", caption, dir, filter}.join('|');
    return nextFileName;
}

QString FakeDialogs::saveFileName(QWidget *parent, const QString &caption, const QString &name,
                                  const QString &filter) {
    lastParent = parent;
    asked << QStringList{"save", caption, name, filter}.join('|');
    return nextFileName;
}

void FakeDialogs::information(QWidget *parent, const QString &title, const QString &text) {
    lastParent = parent;
    asked << QStringList{"info", title, text}.join('|');
}

WorkDir::WorkDir() : previous_(QDir::currentPath()) {
    QDir::setCurrent(QString::fromStdString(dir_.path()));
}

WorkDir::~WorkDir() {
    QDir::setCurrent(previous_);
}

QString WorkDir::file(const QString &name) const {
    return QString::fromStdString(dir_.path()) + '/' + name;
}

StdoutCapture::StdoutCapture() : file_(dir_.file("stdout")) {
    std::fflush(stdout);
    saved_ = ::dup(1);
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 1);
    ::close(fd);
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
}

std::string StdoutCapture::text() {
    std::fflush(stdout);
    return kt::readFile(file_);
}

QWidget *widget(QObject *root, const char *name) {
    return child<QWidget>(root, name);
}

QStringList logLines(QObject *window) {
    auto *log = child<QTextBrowser>(window, "textBrowser");
    const QString text = log->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

QByteArray record() {
    QFile file(QStringLiteral("record.dat"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QByteArray recordText(int offset) {
    const QByteArray bytes = record();
    if (offset >= bytes.size())
        return {};
    return QByteArray(bytes.constData() + offset,
                      int(qstrnlen(bytes.constData() + offset, uint(bytes.size() - offset))));
}

int recordInt(int offset) {
    const QByteArray bytes = record();
    int32_t value = 0;
    if (offset + 4 <= bytes.size())
        std::memcpy(&value, bytes.constData() + offset, 4); // little-endian host
    return value;
}

} // namespace gt
