// The one seam between the windows and the modal dialogs they open, so
// that every slot can be driven by a test without a person clicking.
#pragma once

#include <QString>

class QWidget;

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // An open-file dialog; "" when cancelled.
    virtual QString openFileName(QWidget *parent, const QString &caption, const QString &dir,
                                 const QString &filter);
    // A save-file dialog; "" when cancelled.
    virtual QString saveFileName(QWidget *parent, const QString &caption, const QString &name,
                                 const QString &filter);
    // A modal information box with an Ok button.
    virtual void information(QWidget *parent, const QString &title, const QString &text);
};
