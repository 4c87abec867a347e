// The 4096-byte system-data block that the firmware reads from flash
// offset 0x1000: every byte 0xFF except a few fields at fixed offsets.
#pragma once

#include <QByteArray>
#include <QString>

constexpr int kSystemDataSize = 4096;

// What the "System Data" area of the Generate page asks for; each index is
// the position chosen in its combo box.
struct SystemDataChoices {
    bool forceOldOta = false;
    int gpioPort = 0; // 0 GPIO_A, 1 GPIO_B
    int pin = 0;      // 0 to 23
    int level = 0;    // 0 Low, 1 High
    int flashMode = 0;
    int flashSize = 0;
    QString flashId; // hexadecimal text, "0x" allowed
};

QByteArray encodeSystemData(const SystemDataChoices &choices);

// The first kSystemDataSize bytes of the file, a shorter file completed
// with 0xFF. On failure returns an empty array and sets *error to the
// message to show.
QByteArray readSystemDataFile(const QString &path, QString *error);
