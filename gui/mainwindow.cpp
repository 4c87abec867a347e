// Main window: start-up, the download page and the erase panel. Download
// and erase run on a worker so that the window keeps painting and no
// second operation can be queued behind a running one.
#include "mainwindow.h"

#include "KelvoPG_core.h"
#include "dialogs.h"
#include "ui_mainwindow.h"
#include "windowlogic.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardItemModel>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <cstdio>

namespace {

// Often enough for a smooth bar, rare enough to cost nothing.
constexpr int kProgressPollMs = 10;
// How long a close waits for a cancelled operation to let go of the port.
constexpr int kCloseWaitMs = 2000;
constexpr int kCloseWaitStepMs = 10;
// A line that keeps failing must not flood the log.
constexpr int kCapturedLinesMax = 100;
// Bytes read at a time while the image's digest is computed.
constexpr qint64 kDigestChunk = 64 * 1024;

const char *const kSuccessStyle = "QLabel { color: green }";
const char *const kFailStyle = "QLabel { color: red }";

Dialogs &realDialogs() {
    static Dialogs dialogs;
    return dialogs;
}

void disableItems(QComboBox *combo, int first, int last) {
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    if (!model)
        return;
    for (int row = first; row <= last && row < model->rowCount(); ++row)
        model->item(row)->setEnabled(false);
}

// The record's device, flash offset and baud rate; empty texts and no rate
// when it cannot be read.
struct StoredSettings {
    QString device, flashOffset;
    int32_t baudrate = KELVO_NOT_SET;
};

QString recordText(const char *field, size_t size) {
    return QString::fromLocal8Bit(field, int(qstrnlen(field, uint(size))));
}

StoredSettings storedSettings() {
    DeviceSetting record;
    if (load_device_setting(&record) != KELVO_SUCCESS)
        return {};
    return {recordText(record.device, sizeof record.device),
            recordText(record.flash_offset, sizeof record.flash_offset), record.baudrate};
}

// Hex SHA-256 of a regular file, "" when it cannot be read: the core's
// digest, the one the chip's verification is compared with.
QString fileDigest(const QString &path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QString();
    sha256_context ctx;
    sha256_init(&ctx);
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(kDigestChunk);
        if (chunk.isEmpty() && file.error() != QFileDevice::NoError)
            return QString();
        sha256_update(&ctx, reinterpret_cast<const uint8_t *>(chunk.constData()),
                      static_cast<uint64_t>(chunk.size()));
    }
    char hex[65];
    sha256_final_hex(&ctx, hex);
    return QString::fromLatin1(hex);
}

} // namespace

MainWindow::MainWindow(QWidget *parent, Dialogs *dialogs)
    : QMainWindow(parent), ui(new Ui::MainWindow), dialogs_(dialogs) {
    create_device_setting();
    ui->setupUi(this);
    fillPortList(windowlogic::availablePortNames());
    clear_stats_onDisplay();
    showStoredImagePath();
    showStoredOffset();
    showStoredBaudRate();
    showImageDigest();
    disableUnofferedEntries();
    ui->lineEdit_2->setReadOnly(true);
    connect(ui->lineEdit, &QLineEdit::editingFinished, this, &MainWindow::showImageDigest);

    progressTimer_.setInterval(kProgressPollMs);
    connect(&progressTimer_, &QTimer::timeout, this, &MainWindow::followProgress);
    connect(&watcher_, &QFutureWatcherBase::finished, this, &MainWindow::onOperationFinished);
    connect(&composeWatcher_, &QFutureWatcherBase::finished, this, &MainWindow::onComposeFinished);
}

MainWindow::~MainWindow() {
    // The worker uses the core's process-wide port; let it finish (the
    // core bounds every wait) before the window goes away.
    watcher_.waitForFinished();
    composeWatcher_.waitForFinished();
    infohelper_set_line_hook(nullptr, nullptr);
    delete ui;
}

bool MainWindow::isBusy() const {
    return running_ != Operation::None;
}

bool MainWindow::isComposing() const {
    return composing_;
}

void MainWindow::closeEvent(QCloseEvent *event) {
    if (isBusy()) {
        kelvo_request_cancel();
        QElapsedTimer waited;
        waited.start();
        while (!watcher_.future().isFinished() && waited.elapsed() < kCloseWaitMs)
            QThread::msleep(kCloseWaitStepMs);
    }
    QMainWindow::closeEvent(event);
}

Dialogs *MainWindow::dialogs() const {
    return dialogs_ ? dialogs_ : &realDialogs();
}

// The record's device joins the list when it is a path of its own (the
// simulator's link, say), so that the window can be tried without a board.
void MainWindow::fillPortList(const QStringList &ports) {
    ui->comboBox_8->clear();
    offeredDevice_ = windowlogic::offeredDevice(storedSettings().device, ports);
    ui->comboBox_8->addItems(windowlogic::portEntries(ports, offeredDevice_));
    ui->comboBox_8->setCurrentIndex(0);
}

QString MainWindow::selectedDevice() const {
    return windowlogic::devicePath(ui->comboBox_8->currentText(), offeredDevice_);
}

// "NaN" (never set) shows as an empty field, which keeps the record's.
void MainWindow::showStoredOffset() {
    const QString offset = storedSettings().flashOffset;
    ui->lineEdit_5->setText(offset == QLatin1String("NaN") ? QString() : offset);
}

// The record's rate, so that opening the window and running an operation
// leaves a station's rate as it was; a record without a rate shows the
// list's first entry.
void MainWindow::showStoredBaudRate() {
    const int32_t rate = storedSettings().baudrate;
    QStringList entries;
    for (int row = 0; row < ui->comboBox_9->count(); ++row)
        entries << ui->comboBox_9->itemText(row);
    const QStringList joined = windowlogic::baudEntries(entries, rate);
    if (joined != entries) {
        ui->comboBox_9->clear();
        ui->comboBox_9->addItems(joined);
    }
    const int row = ui->comboBox_9->findText(QString::number(rate));
    if (row >= 0)
        ui->comboBox_9->setCurrentIndex(row);
}

void MainWindow::showImageDigest() {
    ui->lineEdit_2->setText(fileDigest(ui->lineEdit->text()));
}

// The field is the offset of the next download: checked as the download
// checks it, so that a refusal costs no serial traffic.
bool MainWindow::storeFlashOffset() {
    const QString text = ui->lineEdit_5->text().trimmed();
    if (text.isEmpty())
        return true;
    const int verdict = windowlogic::checkFlashOffset(text);
    if (verdict != KELVO_SUCCESS) {
        appendLog(verdict == KELVO_OFFSET_RANGE
                      ? tr("Flash Offset out of range")
                      : tr("Flash Offset format incorrect.(specify 0x...)"));
        showStatus(false);
        return false;
    }
    return stored(setFlashOffset(text.toLatin1().constData()));
}

void MainWindow::disableUnofferedEntries() {
    disableItems(ui->comboBox_12, 0, 0); // sector erase is not offered
    disableItems(ui->comboBox, 1, 5);    // only "Program flash memory" is
}

// The record's image path; a null string when the record cannot be read.
QString MainWindow::storedImagePath() const {
    DeviceSetting record;
    if (load_device_setting(&record) != KELVO_SUCCESS)
        return QString();
    const int length = int(qstrnlen(record.image, sizeof record.image));
    return QString::fromLocal8Bit(record.image, length);
}

void MainWindow::showStoredImagePath() {
    const QString path = storedImagePath();
    if (!path.isNull())
        ui->lineEdit->setText(path);
}

// ---- Small helpers shared by both operations.

void MainWindow::clear_stats_onDisplay() {
    ui->label_22->clear();
    ui->progressBar->setMaximum(100);
    ui->progressBar->setValue(0);
}

void MainWindow::showPopupMsg(QString message) {
    dialogs()->information(this, tr("Kelvo PG Tool"), tr(message.toLocal8Bit().constData()));
}

bool MainWindow::checkFileExists(QString path) {
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

int32_t MainWindow::checkFileSize(QString path) {
    if (!checkFileExists(path))
        return KELVO_NOT_SET;
    // Callers take the low 32 bits of the size.
    return static_cast<int32_t>(static_cast<uint32_t>(QFileInfo(path).size()));
}

void MainWindow::appendLog(const QString &line) {
    ui->textBrowser->append(line);
}

void MainWindow::showStatus(bool success) {
    ui->label_22->setText(success ? tr("Success") : tr("Fail"));
    ui->label_22->setStyleSheet(QString::fromLatin1(success ? kSuccessStyle : kFailStyle));
}

// A setter that refused its value leaves the old one in "record.dat";
// going on would program with settings the user did not choose.
bool MainWindow::stored(int result) {
    if (result == KELVO_SUCCESS)
        return true;
    appendLog(tr("Unable to store settings"));
    showStatus(false);
    return false;
}

void MainWindow::appendResultLine(int result) {
    // Offset problems and unknown codes have no line of their own.
    static const struct {
        int result;
        const char *line;
    } kResultLines[] = {
        {KELVO_SETTINGS_MISSING, QT_TR_NOOP("Baudrate/flashpin not set")},
        {KELVO_NO_PING, QT_TR_NOOP("Ping not received")},
        {KELVO_CONFIG_REFUSED, QT_TR_NOOP("Unable to set device configs")},
        {KELVO_ERASE_FAILED, QT_TR_NOOP("Erase Unsuccessful")},
        {KELVO_TRANSFER_FAILED, QT_TR_NOOP("Xmodem failure")},
        {KELVO_INTERRUPTED, QT_TR_NOOP("Operation interrupted")},
        // The core's line names the record's fields; this one the window's box.
        {KELVO_SETTINGS_CONFLICT,
         QT_TR_NOOP("Download refused: untick \"Chip Erase\" to keep the data, or set the "
                    "keep option to 0 with kelvo_pgtool_cli")},
    };
    for (const auto &entry : kResultLines) {
        if (entry.result == result) {
            appendLog(tr(entry.line));
            return;
        }
    }
}

// ---- Serial port list and image choice.

void MainWindow::on_comboBox_8_activated(int) {
    if (ui->comboBox_8->currentText() != QLatin1String(windowlogic::kScan))
        return;
    fillPortList(windowlogic::availablePortNames());
}

void MainWindow::on_pushButton_2_clicked() {
    ui->lineEdit->setText(dialogs()->openFileName(this, tr("choose bin"), QStringLiteral("~/"),
                                                  tr("bin Files(*.bin);;All Files(*.*)")));
    showImageDigest();
}

// ---- Running an operation on the worker.

// The one place that locks the controls able to start or redirect an
// operation while one runs.
void MainWindow::setBusy(bool busy) {
    // The offset field too: it shows the record's offset again afterwards.
    const QList<QWidget *> controls{ui->pushButton, ui->pushButton_2, ui->pushButton_3,
                                    ui->comboBox_8, ui->comboBox_9,   ui->lineEdit_5};
    for (QWidget *control : controls)
        control->setEnabled(!busy);
}

void MainWindow::captureLine(int32_t level, const char *line, void *window) {
    if (level > 1) // errors and warnings only
        return;
    auto *self = static_cast<MainWindow *>(window);
    std::lock_guard<std::mutex> hold(self->capturedLock_);
    if (self->capturedLines_.size() < kCapturedLinesMax)
        self->capturedLines_ << QString::fromLocal8Bit(line);
    else
        ++self->capturedLinesDropped_;
}

QStringList MainWindow::takeCapturedLines() {
    std::lock_guard<std::mutex> hold(capturedLock_);
    QStringList lines;
    lines.swap(capturedLines_);
    if (capturedLinesDropped_ > 0)
        lines << tr("(%1 more lines on standard output)").arg(capturedLinesDropped_);
    capturedLinesDropped_ = 0;
    return lines;
}

void MainWindow::startOperation(Operation operation, const QFuture<int> &future) {
    running_ = operation;
    setBusy(true);
    watcher_.setFuture(future);
}

// What runs on the worker: the core's own diagnostics are copied for the log.
static QFuture<int> runWithCapture(MainWindow *window, int32_t (*operation)(),
                                   infohelper_line_hook hook) {
    kelvo_clear_cancel();
    infohelper_set_line_hook(hook, window);
    return QtConcurrent::run(operation);
}

void MainWindow::trig_xmodem_download() {
    totalPrinted_ = false;
    startOperation(Operation::Download,
                   runWithCapture(this, xmodem_download_image, &MainWindow::captureLine));
    progressTimer_.start();
}

void MainWindow::printTransferTotal(int64_t total) {
    std::printf("rem %lld\n", static_cast<long long>(total));
    std::fflush(stdout);
    totalPrinted_ = true;
}

// The bar follows the whole download, every region of it, as the core
// counts it; it never moves back while the download runs.
void MainWindow::followProgress() {
    int64_t total = 0;
    const int64_t sent = kelvo_download_progress(&total);
    if (total <= 0)
        return;
    if (!totalPrinted_)
        printTransferTotal(total);
    const int percent = windowlogic::progressPercent(total, sent);
    if (percent > ui->progressBar->value())
        ui->progressBar->setValue(percent);
}

void MainWindow::onOperationFinished() {
    progressTimer_.stop();
    const int result = watcher_.result();
    const Operation finished = running_;
    running_ = Operation::None;
    infohelper_set_line_hook(nullptr, nullptr);
    for (const QString &line : takeCapturedLines())
        appendLog(line);
    if (finished == Operation::Download) {
        if (!totalPrinted_)
            printTransferTotal(0); // nothing was written
        showDownloadResult(result);
        showStoredOffset();
        ShowDevice();
        ShowSetting();
    } else {
        showEraseResult(result);
    }
    setBusy(false);
    emit operationFinished(result);
}

// ---- Download.

void MainWindow::on_pushButton_clicked() {
    if (isBusy())
        return;
    clear_stats_onDisplay();
    const QString path = ui->lineEdit->text();
    if (!checkFileExists(path)) {
        appendLog(tr("File Dosent Exists"));
        return;
    }
    appendLog(tr("File ") + path + tr(" Exists"));
    showImageDigest();
    if (!storeFlashOffset())
        return;
    if (!stored(setImgPath(path.toLocal8Bit().constData())))
        return;
    if (!stored(setChipErase(ui->checkBox->isChecked() ? "1" : "0")))
        return;
    const QString port = ui->comboBox_8->currentText();
    if (port == QLatin1String(windowlogic::kNoPort)) {
        appendLog(tr("Please select serial port"));
        return;
    }
    if (!stored(addDevice(selectedDevice().toLocal8Bit().constData())))
        return;
    if (!stored(setBaudRate(ui->comboBox_9->currentText().toLocal8Bit().constData())))
        return;
    trig_xmodem_download();
}

void MainWindow::showDownloadResult(int result) {
    if (result == KELVO_SUCCESS) {
        appendLog(tr("Xmodem download success"));
        ui->progressBar->setValue(100);
        showStatus(true);
        return;
    }
    appendResultLine(result); // the bar keeps its last value
    showStatus(false);
}

// ---- Chip erase.

void MainWindow::on_pushButton_3_clicked() {
    if (isBusy())
        return;
    clear_stats_onDisplay();
    if (!stored(setBaudRate(ui->comboBox_9->currentText().toLocal8Bit().constData())))
        return;
    const QString port = ui->comboBox_8->currentText();
    if (port == QLatin1String(windowlogic::kNoPort)) {
        appendLog(tr("Please select serial port"));
        return;
    }
    if (!stored(addDevice(selectedDevice().toLocal8Bit().constData())))
        return;
    startOperation(Operation::Erase, runWithCapture(this, eraseChip, &MainWindow::captureLine));
}

void MainWindow::showEraseResult(int result) {
    if (result == KELVO_SUCCESS) {
        appendLog(tr("Chip Erase Done"));
        showStatus(true);
        return;
    }
    appendResultLine(result);
    appendLog(tr("Chip Erase Fail"));
    showStatus(false);
}
