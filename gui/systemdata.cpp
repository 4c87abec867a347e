// The system-data block and the "System Data" area's Save, Load and Edit.
#include "systemdata.h"

#include "dialogs.h"
#include "mainwindow.h"
#include "savefile.h"
#include "systemdatamap.h"
#include "textconvert.h"
#include "ui_mainwindow.h"

#include <QFile>

namespace {

// Offsets of the fields inside the block.
constexpr int kForceOldOtaOffset = 0x08;
constexpr int kFlashModeOffset = 0x21;
constexpr int kFlashIdOffset = 0x24; // two bytes, little-endian
constexpr int kFlashSizeOffset = 0x27;

// Values by combo box index: "Quad IO", "Quad Output", "Dual IO",
// "Dual Output", "One IO", "QPI".
constexpr unsigned char kFlashModeLadder[] = {0xFF, 0x7F, 0x3F, 0x1F, 0x0F, 0x07};
// "2MB", "32MB", "16MB", "8MB", "4MB", "1MB".
constexpr unsigned char kFlashSizeLadder[] = {0xFF, 0x7F, 0x3F, 0x1F, 0x0F, 0x03};

// Bits 0-4 pin, bit 5 port, bit 7 level.
constexpr int kPortWeight = 32;
constexpr int kLevelWeight = 128;

template <size_t N>
void putLadderValue(QByteArray &block, int offset, int index, const unsigned char (&ladder)[N]) {
    if (index >= 0 && index < int(N))
        block[offset] = char(ladder[index]);
}

} // namespace

QByteArray encodeSystemData(const SystemDataChoices &choices) {
    QByteArray block(kSystemDataSize, char(0xFF));
    if (choices.forceOldOta) {
        const int trigger =
            choices.pin + kPortWeight * choices.gpioPort + kLevelWeight * choices.level;
        block[kForceOldOtaOffset] = char(trigger & 0xFF);
    }
    putLadderValue(block, kFlashModeOffset, choices.flashMode, kFlashModeLadder);
    const unsigned long id = static_cast<unsigned long>(textconvert::flashIdValue(choices.flashId));
    block[kFlashIdOffset] = char(id & 0xFF);
    block[kFlashIdOffset + 1] = char((id >> 8) & 0xFF);
    putLadderValue(block, kFlashSizeOffset, choices.flashSize, kFlashSizeLadder);
    return block;
}

QByteArray readSystemDataFile(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = path + " could not be read: " + file.errorString();
        return QByteArray();
    }
    QByteArray block = file.read(kSystemDataSize);
    if (file.error() != QFileDevice::NoError) {
        *error = path + " could not be read: " + file.errorString();
        return QByteArray();
    }
    if (block.size() < kSystemDataSize)
        block.append(QByteArray(kSystemDataSize - block.size(), char(0xFF)));
    return block;
}

QByteArray MainWindow::GenerateSystemData() {
    SystemDataChoices choices;
    choices.forceOldOta = ui->cbForceOldOTAs->isChecked();
    choices.gpioPort = ui->cbGPIO->currentIndex();
    choices.pin = ui->cbPin->currentIndex();
    choices.level = ui->cbValue->currentIndex();
    choices.flashMode = ui->cbFlashMode->currentIndex();
    choices.flashSize = ui->cbFlashSize->currentIndex();
    choices.flashId = ui->tbFlashID->text();
    system_data = encodeSystemData(choices);
    return system_data;
}

void MainWindow::on_btSave_clicked() {
    const QString name = dialogs()->saveFileName(this, tr("Save file"), "system.bin",
                                                 tr("bin Files(*.bin);;All Files(*.*)"));
    if (name.isEmpty())
        return;
    system_data = GenerateSystemData();
    const QString reason = saveWholeFile(name, system_data);
    system_data.clear();
    showPopupMsg(reason.isEmpty() ? savedMessage(name) : notSavedMessage(name, reason));
}

void MainWindow::on_btLoad_clicked() {
    const QString path = dialogs()->openFileName(this, tr("choose bin"), "~/",
                                                 tr("bin Files(*.bin);;All Files(*.*)"));
    ui->tbSystemBin->setText(path);
}

// The grid starts from the file the field names now, typed or loaded.
void MainWindow::on_btEdit_clicked() {
    QByteArray block;
    const QString path = ui->tbSystemBin->text();
    if (!path.isEmpty()) {
        QString error;
        block = readSystemDataFile(path, &error);
        if (!error.isEmpty())
            showPopupMsg(error);
    }
    // Top-level and not modal; it deletes itself when closed.
    auto *map = new SystemDataMap(nullptr, dialogs());
    if (!block.isEmpty())
        map->showBytes(block);
    map->show();
}
