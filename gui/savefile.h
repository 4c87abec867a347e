// Saving whole files so that a failed save never leaves a half-written one.
#pragma once

#include <QByteArray>
#include <QString>

// Writes bytes to name through a temporary file that replaces the target
// only when everything was written: the file then holds exactly these
// bytes, or is untouched. Returns "" on success, else the reason.
QString saveWholeFile(const QString &name, const QByteArray &bytes);

// The message box text for a save that failed.
QString notSavedMessage(const QString &name, const QString &reason);

// The message box text for a save that succeeded.
QString savedMessage(const QString &name);
