// Helpers of the desktop window tests: a scripted stand-in for the modal
// dialogs, a private working directory per test, capture of standard
// output, and access to widgets by object name.
#pragma once

#include "dialogs.h"
#include "kelvo_test.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <string>

namespace gt {

// Answers the dialogs with prepared values and remembers what was asked.
class FakeDialogs : public Dialogs {
  public:
    QString openFileName(QWidget *parent, const QString &caption, const QString &dir,
                         const QString &filter) override;
    QString saveFileName(QWidget *parent, const QString &caption, const QString &name,
                         const QString &filter) override;
    void information(QWidget *parent, const QString &title, const QString &text) override;

    QString nextFileName; // returned by both file dialogs
    QStringList asked;    // "open|caption|dir|filter", "info|title|text", ...
    QWidget *lastParent = nullptr;
};

// A fresh temporary directory made the current one; the old current
// directory comes back when it goes.
class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    QString file(const QString &name) const;
    std::string path() const { return dir_.path(); }

  private:
    kt::TempDir dir_;
    QString previous_;
};

// Collects what this process writes on standard output meanwhile.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text(); // what was written so far

  private:
    int saved_ = -1;
    std::string file_;
    kt::TempDir dir_;
};

// The child widget of this object name, or nullptr.
QWidget *widget(QObject *root, const char *name);

template <class W> W *child(QObject *root, const char *name) {
    return root->findChild<W *>(QString::fromLatin1(name));
}

// The lines of a text browser.
QStringList logLines(QObject *window);

// The raw 652 bytes of "record.dat" in the current directory.
QByteArray record();
// A text field of the record up to its first zero byte.
QByteArray recordText(int offset);
int recordInt(int offset);

// Record offsets of the fields the window writes.
enum RecordOffset {
    kDevice = 0,
    kFlashPin = 100,
    kBaudrate = 104,
    kImage = 108,
    kChipErase = 620,
};

} // namespace gt
