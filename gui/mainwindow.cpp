// Main window: start-up, the download page and the erase panel. Download
// and erase run on a worker so that the window keeps painting and no
// second operation can be queued behind a running one.
#include "mainwindow.h"

#include "KelvoPG_core.h"
#include "dialogs.h"
#include "ui_mainwindow.h"
#include "windowlogic.h"

#include <QFileInfo>
#include <QStandardItemModel>
#include <QtConcurrent/QtConcurrentRun>
#include <cstdio>

namespace {

// Often enough for a smooth bar, rare enough to cost nothing.
constexpr int kProgressPollMs = 10;

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

} // namespace

MainWindow::MainWindow(QWidget *parent, Dialogs *dialogs)
    : QMainWindow(parent), ui(new Ui::MainWindow), dialogs_(dialogs) {
    create_device_setting();
    ui->setupUi(this);
    fillPortList(windowlogic::availablePortNames());
    clear_stats_onDisplay();
    showStoredImagePath();
    disableUnofferedEntries();

    progressTimer_.setInterval(kProgressPollMs);
    connect(&progressTimer_, &QTimer::timeout, this, &MainWindow::followProgress);
    connect(&watcher_, &QFutureWatcherBase::finished, this, &MainWindow::onOperationFinished);
}

MainWindow::~MainWindow() {
    // The worker uses the core's process-wide port; let it finish (the
    // core bounds every wait) before the window goes away.
    watcher_.waitForFinished();
    delete ui;
}

bool MainWindow::isBusy() const {
    return running_ != Operation::None;
}

Dialogs *MainWindow::dialogs() const {
    return dialogs_ ? dialogs_ : &realDialogs();
}

void MainWindow::fillPortList(const QStringList &ports) {
    ui->comboBox_8->clear();
    ui->comboBox_8->addItems(windowlogic::portEntries(ports));
    ui->comboBox_8->setCurrentIndex(0);
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
}

// ---- Running an operation on the worker.

// The one place that locks the controls able to start or redirect an
// operation while one runs.
void MainWindow::setBusy(bool busy) {
    const QList<QWidget *> controls{ui->pushButton, ui->pushButton_2, ui->pushButton_3,
                                    ui->comboBox_8, ui->comboBox_9};
    for (QWidget *control : controls)
        control->setEnabled(!busy);
}

void MainWindow::startOperation(Operation operation, const QFuture<int> &future) {
    running_ = operation;
    setBusy(true);
    watcher_.setFuture(future);
}

void MainWindow::trig_xmodem_download() {
    // Read before the worker starts, so that it cannot be the new transfer's
    // value yet; a plain write sends the whole image in one transfer.
    const QFileInfo image(storedImagePath());
    counter_ =
        windowlogic::FreshCounter(checkremaining_bytes(), image.isFile() ? image.size() : -1);
    transferTotal_ = 0;
    totalPrinted_ = false;
    startOperation(Operation::Download, QtConcurrent::run(xmodem_download_image));
    progressTimer_.start();
}

void MainWindow::printTransferTotal(int32_t total) {
    std::printf("rem %d\n", int(total));
    std::fflush(stdout);
    totalPrinted_ = true;
}

// The bar follows the first transfer of the download: its first positive
// fresh counter reading is the total; once the counter is back at 0 the bar
// waits for the result.
void MainWindow::followProgress() {
    const int32_t remaining = counter_.filter(checkremaining_bytes());
    if (!totalPrinted_) {
        if (remaining <= 0)
            return;
        transferTotal_ = remaining;
        printTransferTotal(transferTotal_);
    }
    if (remaining < 1) {
        progressTimer_.stop();
        return;
    }
    ui->progressBar->setValue(windowlogic::progressPercent(transferTotal_, remaining));
}

void MainWindow::onOperationFinished() {
    progressTimer_.stop();
    const int result = watcher_.result();
    const Operation finished = running_;
    running_ = Operation::None;
    if (finished == Operation::Download) {
        if (!totalPrinted_)
            printTransferTotal(counter_.filter(checkremaining_bytes()));
        showDownloadResult(result);
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
    if (!stored(setImgPath(path.toLocal8Bit().constData())))
        return;
    if (!stored(setChipErase(ui->checkBox->isChecked() ? "1" : "0")))
        return;
    const QString port = ui->comboBox_8->currentText();
    if (port == QLatin1String(windowlogic::kNoPort)) {
        appendLog(tr("Please select serial port"));
        return;
    }
    if (!stored(addDevice(("/dev/" + port).toLocal8Bit().constData())))
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
    if (!stored(addDevice(("/dev/" + port).toLocal8Bit().constData())))
        return;
    startOperation(Operation::Erase, QtConcurrent::run(eraseChip));
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
