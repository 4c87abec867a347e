// Image layout page: ten rows of files and flash offsets joined into one
// flat flash image with 0xFF between the files.
#include "dialogs.h"
#include "mainwindow.h"
#include "savefile.h"
#include "textconvert.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QMap>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>
#include <initializer_list>
#include <iterator>
#include <vector>

namespace {

using ImageMap = QMap<int, MainWindow::generatefileinfo>;

struct LayoutRow {
    QCheckBox *tick;
    QLineEdit *path;
    QLineEdit *offsetField; // nullptr: the row has a fixed offset
    int fixedOffset;
};

constexpr int kPartitionOffset = 0x0;
constexpr int kSystemDataOffset = 0x1000;
constexpr int kCalibrationOffset = 0x2000;
constexpr int kNotMeasured = -255;
constexpr qint64 kFillChunk = 64 * 1024;
constexpr int kHexBase = 16;
// The largest flash the System Data area offers; a bigger image is a typo.
constexpr qint64 kLargestFlash = 32 * 1024 * 1024;

std::vector<LayoutRow> layoutRows(Ui::MainWindow *ui) {
    return {
        {ui->checkBox_2, ui->lineEdit_4, nullptr, kPartitionOffset},
        {ui->checkBox_3, ui->lineEdit_9, nullptr, kSystemDataOffset},
        {ui->checkBox_4, ui->lineEdit_11, nullptr, kCalibrationOffset},
        {ui->checkBox_5, ui->lineEdit_13, ui->lineEdit_14, 0},
        {ui->checkBox_6, ui->lineEdit_15, ui->lineEdit_16, 0},
        {ui->checkBox_7, ui->lineEdit_17, ui->lineEdit_18, 0},
        {ui->checkBox_8, ui->lineEdit_19, ui->lineEdit_20, 0},
        {ui->checkBox_9, ui->lineEdit_21, ui->lineEdit_22, 0},
        {ui->checkBox_10, ui->lineEdit_23, ui->lineEdit_24, 0},
        {ui->checkBox_11, ui->lineEdit_25, ui->lineEdit_26, 0},
    };
}

void enableRow(int state, std::initializer_list<QWidget *> widgets) {
    for (QWidget *widget : widgets)
        widget->setEnabled(state == Qt::Checked);
}

void browseInto(MainWindow *window, QLineEdit *field) {
    // A cancelled dialog gives "", which empties the field.
    field->setText(
        window->dialogs()->openFileName(window, MainWindow::tr("choose bin"), "~/",
                                        MainWindow::tr("bin Files(*.bin);;All Files(*.*)")));
}

QString hexOffset(qint64 offset) {
    return "0x" + QString::number(offset, kHexBase).toUpper().rightJustified(8, '0');
}

// The whole text must be one hexadecimal number from 0 to 0x7FFFFFFF,
// "0x" allowed; -1 for anything else.
int rowOffset(const LayoutRow &row) {
    if (!row.offsetField)
        return row.fixedOffset;
    return textconvert::rowOffsetValue(row.offsetField->text());
}

// Fills map from the ticked rows. Returns "" or the message of the first
// failing row; two rows at one offset overlap.
QString collectRows(MainWindow *window, const std::vector<LayoutRow> &rows, ImageMap *map) {
    bool sharedOffset = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        const LayoutRow &row = rows[i];
        if (!row.tick->isChecked())
            continue;
        MainWindow::generatefileinfo file;
        file.path = row.path->text();
        if (!window->checkFileExists(file.path))
            return file.path + " dosent exist";
        file.size = window->checkFileSize(file.path);
        if (file.size == kNotMeasured)
            return file.path + " size error";
        const int offset = rowOffset(row);
        if (offset < 0)
            return QString("Bin %1: offset \"%2\" is not a hexadecimal number")
                .arg(i + 1)
                .arg(row.offsetField->text());
        sharedOffset = sharedOffset || map->contains(offset);
        map->insert(offset, file);
    }
    return sharedOffset ? QString("Overlap detected: Please check offset values") : QString();
}

// 64-bit sums: offsets near the top of the signed range must not wrap.
qint64 endOf(ImageMap::const_iterator entry) {
    return qint64(entry.key()) + entry->size;
}

bool hasOverlap(const ImageMap &map) {
    for (auto entry = map.cbegin(); entry != map.cend(); ++entry) {
        const auto next = std::next(entry);
        if (next != map.cend() && qint64(next.key()) < endOf(entry))
            return true;
    }
    return false;
}

// "" or why the image is too large for any flash.
QString sizeProblem(const ImageMap &map) {
    const qint64 first = map.firstKey();
    const qint64 size = endOf(std::prev(map.cend())) - first;
    if (size <= kLargestFlash)
        return QString();
    return QString("The image would be %1 bytes, more than the largest flash (%2 bytes): "
                   "it runs from offset %3 to the end of the file at offset %4")
        .arg(size)
        .arg(kLargestFlash)
        .arg(hexOffset(first))
        .arg(hexOffset(map.lastKey()));
}

bool writeFill(QSaveFile *out, qint64 count) {
    const QByteArray chunk(int(qMin(count, kFillChunk)), char(0xFF));
    while (count > 0) {
        const qint64 part = qMin(count, qint64(chunk.size()));
        if (out->write(chunk.constData(), part) != part)
            return false;
        count -= part;
    }
    return true;
}

// The file exactly as measured, or "" with *error set: anything else
// would shift the files after it.
QByteArray readMeasured(const MainWindow::generatefileinfo &file, QString *error) {
    QFile input(file.path);
    QByteArray data;
    if (input.open(QIODevice::ReadOnly))
        data = input.readAll();
    if (!input.isOpen() || input.error() != QFileDevice::NoError || data.size() != file.size) {
        *error = file.path + " could not be read in full";
        return QByteArray();
    }
    return data;
}

// Writes the image into out (not committed). Returns "" or the message.
QString writeImage(const ImageMap &map, const QString &name, QSaveFile *out) {
    for (auto entry = map.cbegin(); entry != map.cend(); ++entry) {
        QString error;
        const QByteArray data = readMeasured(*entry, &error);
        if (!error.isEmpty())
            return error;
        const auto next = std::next(entry);
        const qint64 gap = next == map.cend() ? 0 : qint64(next.key()) - endOf(entry);
        if (out->write(data) != data.size() || !writeFill(out, gap))
            return notSavedMessage(name, out->errorString());
    }
    return QString();
}

QString saveImage(const ImageMap &map, const QString &name) {
    QSaveFile out(name);
    if (!out.open(QIODevice::WriteOnly))
        return notSavedMessage(name, out.errorString());
    const QString error = writeImage(map, name, &out);
    if (!error.isEmpty()) {
        out.cancelWriting();
        return error;
    }
    if (!out.commit())
        return notSavedMessage(name, out.errorString());
    return savedMessage(name);
}

} // namespace

void MainWindow::on_pushButton_4_clicked() {
    browseInto(this, ui->lineEdit_4);
}
void MainWindow::on_pushButton_5_clicked() {
    browseInto(this, ui->lineEdit_9);
}
void MainWindow::on_pushButton_6_clicked() {
    browseInto(this, ui->lineEdit_11);
}
void MainWindow::on_pushButton_7_clicked() {
    browseInto(this, ui->lineEdit_13);
}
void MainWindow::on_pushButton_8_clicked() {
    browseInto(this, ui->lineEdit_15);
}
void MainWindow::on_pushButton_9_clicked() {
    browseInto(this, ui->lineEdit_17);
}
void MainWindow::on_pushButton_10_clicked() {
    browseInto(this, ui->lineEdit_19);
}
void MainWindow::on_pushButton_11_clicked() {
    browseInto(this, ui->lineEdit_21);
}
void MainWindow::on_pushButton_12_clicked() {
    browseInto(this, ui->lineEdit_23);
}
void MainWindow::on_pushButton_13_clicked() {
    browseInto(this, ui->lineEdit_25);
}

// Rows 1 to 3 have fixed offsets, so their offset fields stay disabled.
void MainWindow::on_checkBox_2_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_4, ui->pushButton_4});
}
void MainWindow::on_checkBox_3_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_9, ui->pushButton_5});
}
void MainWindow::on_checkBox_4_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_11, ui->pushButton_6});
}
void MainWindow::on_checkBox_5_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_13, ui->lineEdit_14, ui->pushButton_7});
}
void MainWindow::on_checkBox_6_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_15, ui->lineEdit_16, ui->pushButton_8});
}
void MainWindow::on_checkBox_7_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_17, ui->lineEdit_18, ui->pushButton_9});
}
void MainWindow::on_checkBox_8_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_19, ui->lineEdit_20, ui->pushButton_10});
}
void MainWindow::on_checkBox_9_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_21, ui->lineEdit_22, ui->pushButton_11});
}
void MainWindow::on_checkBox_10_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_23, ui->lineEdit_24, ui->pushButton_12});
}
void MainWindow::on_checkBox_11_stateChanged(int state) {
    enableRow(state, {ui->lineEdit_25, ui->lineEdit_26, ui->pushButton_13});
}

void MainWindow::on_pushButton_14_clicked() {
    if (isComposing())
        return;
    ImageMap map;
    QString problem = collectRows(this, layoutRows(ui), &map);
    if (problem.isEmpty() && map.isEmpty())
        problem = "No files selected";
    if (problem.isEmpty() && hasOverlap(map))
        problem = "Overlap detected: Please check offset values";
    if (problem.isEmpty())
        problem = sizeProblem(map);
    if (!problem.isEmpty()) {
        showPopupMsg(problem);
        return;
    }
    const QString name = dialogs()->saveFileName(this, tr("Save file"), "flash.bin",
                                                 tr("bin Files(*.bin);;All Files(*.*)"));
    if (name.isEmpty())
        return;
    // Tens of megabytes take a while to write: the window keeps painting.
    ui->pushButton_14->setEnabled(false);
    composing_ = true;
    composeWatcher_.setFuture(QtConcurrent::run(saveImage, map, name));
}

void MainWindow::onComposeFinished() {
    composing_ = false;
    ui->pushButton_14->setEnabled(true);
    showPopupMsg(composeWatcher_.result());
    emit composeFinished();
}
