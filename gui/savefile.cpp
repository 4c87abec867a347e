#include "savefile.h"

#include <QSaveFile>

QString saveWholeFile(const QString &name, const QByteArray &bytes) {
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

QString notSavedMessage(const QString &name, const QString &reason) {
    return "File: " + name + " could not be saved: " + reason;
}

QString savedMessage(const QString &name) {
    return "File: " + name + " has been saved";
}
