// Download and erase from the window, end to end against kelvo_chipsim on
// a pseudo-terminal.
#include "KelvoPG_core.h"
#include "guitest.h"
#include "mainwindow.h"

#include <QtTest>
#include <QtWidgets>
#include <cstdlib>
#include <fcntl.h>
#include <csignal>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Switches of the simulator that make the chip misbehave.
const std::string kNoPing = "--no-ping";
const std::string kRefuseConfig = "--refuse-ucfg";
const std::string kEraseReplyExtra = "--erase-extra";
const std::string kWireTime = "--baud-model";

const char *const kGreen = "QLabel { color: green }";
const char *const kRed = "QLabel { color: red }";

// Long enough for any flow against the simulator; only a hang reaches it.
constexpr int kOperationTimeoutMs = 90000;

QStringList operationControls() {
    return {"pushButton", "pushButton_2", "pushButton_3", "comboBox_8", "comboBox_9", "lineEdit_5"};
}

bool controlsEnabled(QObject *window, bool enabled) {
    for (const QString &name : operationControls())
        if (gt::widget(window, qPrintable(name))->isEnabled() != enabled)
            return false;
    return true;
}

// The simulator's terminal as the port list would show it (no "/dev/").
void selectPort(QObject *window, const std::string &tty) {
    auto *ports = gt::child<QComboBox>(window, "comboBox_8");
    ports->clear();
    ports->addItems({QString::fromStdString(tty).mid(5), "Scan"});
    ports->setCurrentIndex(0);
}

void selectNoPort(QObject *window) {
    auto *ports = gt::child<QComboBox>(window, "comboBox_8");
    ports->clear();
    ports->addItems({"N/A", "Scan"});
    ports->setCurrentIndex(0);
}

QString status(QObject *window) {
    return gt::child<QLabel>(window, "label_22")->text();
}
QString statusStyle(QObject *window) {
    return gt::child<QLabel>(window, "label_22")->styleSheet();
}
int progress(QObject *window) {
    return gt::child<QProgressBar>(window, "progressBar")->value();
}

void click(QObject *window, const char *button) {
    gt::child<QPushButton>(window, button)->click();
}

// Clicks the button and waits for the operation it starts; its result.
int runOperation(MainWindow *window, const char *button) {
    QSignalSpy finished(window, &MainWindow::operationFinished);
    click(window, button);
    if (!finished.wait(kOperationTimeoutMs))
        return -1;
    return finished.at(0).at(0).toInt();
}

std::string showDeviceAndSetting(const std::string &device, const QString &image, int chipErase) {
    return "CMD_download_device\n Added device:\t" + device +
           "\nCMD_download_setting\n Image file path:\t" + image.toStdString() +
           "\n Baudrate:\t\t1000000\n Chip Erase:            " + std::to_string(chipErase) +
           "\n Hash Verify:           1\n Keep sys data:         0\n Keep wifi data:        0\n"
           " Flash Offset:          0x0000\n";
}

// Leaves the core's progress counter at size, as a transfer does that the
// receiver cancels (two CAN, then the 'O' that ends the sender's flush).
bool leaveCounterFromCancelledTransfer(int32_t size) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return false;
    const char cancel[] = {0x18, 0x18, 'O'};
    bool left = serialport_open(::ptsname(master), 115200) != 0 &&
                ::write(master, cancel, sizeof cancel) == ssize_t(sizeof cancel);
    const std::vector<uint8_t> data(size_t(size), 0);
    left = left && xmodemTransmit(data.data(), size) == -1;
    serialport_close();
    ::close(master);
    return left && checkremaining_bytes() == size;
}

constexpr int kFlashOffset = 636; // record field

// True when nobody holds the port: the core takes an exclusive lock on it.
bool portReleased(const std::string &tty) {
    const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return free;
}

bool endsWith(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

class OperationsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<gt::WorkDir> dir;
    gt::FakeDialogs dialogs;

    QString writeImage(size_t size, unsigned seed) {
        const QString path = dir->file("image.bin");
        kt::writeFile(path.toStdString(), kt::randomBytes(size, seed));
        return path;
    }

  private slots:
    void init() { dir = std::make_unique<gt::WorkDir>(); }
    void cleanup() { dir.reset(); }

    void downloadMissingFile() {
        MainWindow window(nullptr, &dialogs);
        const QByteArray before = gt::record();
        auto *path = gt::child<QLineEdit>(&window, "lineEdit");
        for (const QString &bad :
             {QString(), dir->file("missing.bin"), QString::fromStdString(dir->path())}) {
            gt::child<QTextBrowser>(&window, "textBrowser")->clear();
            path->setText(bad);
            click(&window, "pushButton");
            QCOMPARE(gt::logLines(&window), QStringList({"File Dosent Exists"}));
            QVERIFY(!window.isBusy());
        }
        QCOMPARE(gt::record(), before); // nothing stored
    }

    void downloadNoPort() {
        MainWindow window(nullptr, &dialogs);
        const QString image = writeImage(100, 1);
        selectNoPort(&window);
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        gt::child<QCheckBox>(&window, "checkBox")->setChecked(true);
        click(&window, "pushButton");
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists", "Please select serial port"}));
        QVERIFY(!window.isBusy());
        // The path and the erase flag were stored before the port was looked at.
        QCOMPARE(gt::recordText(gt::kImage), image.toLocal8Bit());
        QCOMPARE(gt::recordInt(gt::kChipErase), 1);
        QCOMPARE(gt::recordText(gt::kDevice), QByteArray("NaN"));
        // ... where the command-line program finds them.
        const kt::RunResult shown = kt::runCli({"-show", "setting"}, dir->path());
        const std::string expected = " Image file path:\t" + image.toStdString() +
                                     "\n Baudrate:\t\t1000000\n Chip Erase:            1\n";
        QVERIFY2(shown.out.find(expected) != std::string::npos, shown.out.c_str());
    }

    // A path the record cannot hold must not leave the previous image in
    // place for the download.
    void downloadRefusedPath() {
        MainWindow window(nullptr, &dialogs);
        const QString deep = dir->file(QString(120, 'd') + '/' + QString(120, 'e') + '/' +
                                       QString(120, 'f') + '/' + QString(120, 'g'));
        QVERIFY(QDir().mkpath(deep));
        const QString image = deep + "/image.bin";
        kt::writeFile(image.toStdString(), "data");
        QVERIFY(image.toLocal8Bit().size() > 511);
        selectPort(&window, "/dev/ttyNONE");
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        QSignalSpy finished(&window, &MainWindow::operationFinished);
        click(&window, "pushButton");
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists", "Unable to store settings"}));
        QCOMPARE(status(&window), QStringLiteral("Fail"));
        QCOMPARE(statusStyle(&window), QString(kRed));
        QVERIFY(!window.isBusy());
        QCOMPARE(finished.count(), 0);
        QCOMPARE(gt::recordText(gt::kImage), QByteArray("NaN"));
        QCOMPARE(gt::recordText(gt::kDevice), QByteArray("NaN"));
    }

    void downloadSuccess() {
        const size_t size = 96 * 1024;
        const QString image = writeImage(size, 42);
        kt::ChipSim sim(dir->path(), {kWireTime});
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        gt::child<QCheckBox>(&window, "checkBox")->setChecked(true);
        QList<int> seen;
        connect(gt::child<QProgressBar>(&window, "progressBar"), &QProgressBar::valueChanged,
                [&seen](int value) { seen << value; });

        gt::StdoutCapture out;
        QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_SUCCESS));
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists", "Xmodem download success"}));
        QCOMPARE(progress(&window), 100);
        QCOMPARE(status(&window), QStringLiteral("Success"));
        QCOMPARE(statusStyle(&window), QString(kGreen));
        QVERIFY(controlsEnabled(&window, true));

        // The bar moved through the transfer, never backwards.
        QVERIFY2(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 0 && v < 100; }),
                 qPrintable(QString("values seen: %1").arg(seen.size())));
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));

        const std::string printed = out.text();
        QVERIFY(printed.find("rem " + std::to_string(size) + "\n") != std::string::npos);
        QVERIFY2(endsWith(printed, showDeviceAndSetting(sim.tty(), image, 1)), printed.c_str());
        QVERIFY(sim.commandLog().find("ceras 0 ") != std::string::npos);
        QVERIFY(sim.flash().compare(0, size, kt::readFile(image.toStdString())) == 0);
    }

    // With a kept region the download is several transfers; the bar runs
    // once from 0 to 100 over all of them. A rate the list lacks is used
    // and left in the record as it was.
    void downloadKeepingWifiData() {
        const size_t size = 64 * 1024;
        const QString image = writeImage(size, 43);
        kt::ChipSim sim(dir->path(), {kWireTime});
        create_device_setting();
        QCOMPARE(setKeepWifiData("1"), int(KELVO_SUCCESS));
        QCOMPARE(setBaudRate("460800"), int(KELVO_SUCCESS));
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        QList<int> seen;
        connect(gt::child<QProgressBar>(&window, "progressBar"), &QProgressBar::valueChanged,
                [&seen](int value) { seen << value; });

        std::string printed;
        {
            gt::StdoutCapture out;
            QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_SUCCESS));
            printed = out.text();
        }
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));
        // Past the 75 % that the first region's own transfer reaches.
        QVERIFY(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 75 && v < 100; }));
        QCOMPARE(progress(&window), 100);
        QVERIFY2(printed.find("rem " + std::to_string(size - 0x1000) + "\n") != std::string::npos,
                 printed.c_str());
        QCOMPARE(gt::recordInt(gt::kBaudrate), 460800);
        QVERIFY(sim.commandLog().find("ucfg 460800 ") != std::string::npos);
    }

    void downloadSilentChip() {
        const QString image = writeImage(4096, 3);
        kt::ChipSim sim(dir->path(), {kNoPing});
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        gt::StdoutCapture out;
        QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_NO_PING));
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists", "Ping not received"}));
        QCOMPARE(status(&window), QStringLiteral("Fail"));
        QCOMPARE(statusStyle(&window), QString(kRed));
        QCOMPARE(progress(&window), 0);
        QVERIFY(out.text().find("rem 0\n") != std::string::npos);
        QVERIFY(sim.commandLog().find("fwd") == std::string::npos);
    }

    // The counter still holds what a failed transfer left when the next
    // download starts; the bar's total must be the new transfer's size.
    void downloadAfterFailedTransfer() {
        const int32_t leftOver = 300000;
        QVERIFY(leaveCounterFromCancelledTransfer(leftOver));
        const size_t size = 8192;
        const QString image = writeImage(size, 7);
        kt::ChipSim sim(dir->path());
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        int result = 0;
        std::string printed;
        {
            gt::StdoutCapture out; // ends before the checks, so their reports are seen
            result = runOperation(&window, "pushButton");
            printed = out.text();
        }
        QCOMPARE(result, int(KELVO_SUCCESS));
        QVERIFY2(printed.find("rem " + std::to_string(size) + "\n") != std::string::npos,
                 printed.c_str());
        QVERIFY(printed.find("rem " + std::to_string(leftOver)) == std::string::npos);
        QCOMPARE(progress(&window), 100);
    }

    // While the chip is silent the operation takes seconds: the window
    // keeps its event loop and accepts no second operation.
    void downloadBusyAndResponsive() {
        const QString image = writeImage(4096, 5);
        kt::ChipSim sim(dir->path(), {kNoPing});
        MainWindow window(nullptr, &dialogs);
        window.show();
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);

        int ticks = 0;
        bool alwaysDisabled = true;
        QTimer ticker;
        ticker.setInterval(10);
        connect(&ticker, &QTimer::timeout, [&] {
            ++ticks;
            // A tick in the event pass that ends the operation must not click:
            // that would rightly start a new download.
            if (!window.isBusy())
                return;
            alwaysDisabled = alwaysDisabled && controlsEnabled(&window, false);
            // Clicks meanwhile must not queue another operation.
            click(&window, "pushButton");
            click(&window, "pushButton_3");
        });
        QSignalSpy finished(&window, &MainWindow::operationFinished);
        click(&window, "pushButton");
        QVERIFY(window.isBusy());
        QVERIFY(controlsEnabled(&window, false));
        ticker.start();
        QVERIFY(finished.wait(kOperationTimeoutMs));
        ticker.stop();

        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QVERIFY(alwaysDisabled);
        QVERIFY(!window.isBusy());
        QVERIFY(controlsEnabled(&window, true));
        QTest::qWait(200);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists", "Ping not received"}));
    }

    // The Offset field is the download's offset: shown from the record,
    // checked like the download checks it, stored before anything is sent.
    void downloadOffsetField() {
        const QString image = writeImage(5000, 11);
        {
            MainWindow window(nullptr, &dialogs);
            auto *offset = gt::child<QLineEdit>(&window, "lineEdit_5");
            QCOMPARE(offset->text(), QStringLiteral("0x0000"));
            selectPort(&window, "/dev/ttyNONE");
            gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
            const QByteArray before = gt::record();
            const struct {
                QString text, line;
            } refused[] = {
                {"0x4000zz", "Flash Offset format incorrect.(specify 0x...)"},
                {"4000", "Flash Offset format incorrect.(specify 0x...)"},
                {"0x", "Flash Offset format incorrect.(specify 0x...)"},
                {"0x80000000", "Flash Offset out of range"},
                {"0x100000000", "Flash Offset out of range"},
            };
            for (const auto &r : refused) {
                gt::child<QTextBrowser>(&window, "textBrowser")->clear();
                offset->setText(r.text);
                QSignalSpy finished(&window, &MainWindow::operationFinished);
                click(&window, "pushButton");
                QCOMPARE(gt::logLines(&window), QStringList({"File " + image + " Exists", r.line}));
                QCOMPARE(status(&window), QStringLiteral("Fail"));
                QVERIFY(!window.isBusy());
                QCOMPARE(finished.count(), 0);
                QCOMPARE(gt::record(), before); // nothing stored, nothing sent
            }
        }
        kt::ChipSim sim(dir->path(), {});
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        gt::child<QLineEdit>(&window, "lineEdit_5")->setText("0x00004000");
        QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_SUCCESS));
        QCOMPARE(gt::recordText(kFlashOffset), QByteArray("0x00004000"));
        QCOMPARE(gt::child<QLineEdit>(&window, "lineEdit_5")->text(), QStringLiteral("0x00004000"));
        // An empty field keeps the record's offset.
        gt::child<QLineEdit>(&window, "lineEdit_5")->clear();
        QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_SUCCESS));
        QCOMPARE(gt::child<QLineEdit>(&window, "lineEdit_5")->text(), QStringLiteral("0x00004000"));
        const std::string flash = sim.flash();
        QCOMPARE(flash.substr(0x4000, 5000), kt::readFile(image.toStdString()));
        QCOMPARE(flash.substr(0, 0x4000), std::string(0x4000, '\xff'));
    }

    // The reason of a failure that the serial layer prints reaches the log
    // too, before the result line; standard output keeps it as well.
    void serialErrorsInLog() {
        const QString image = writeImage(4096, 12);
        kt::ChipSim sim(dir->path(), {});
        const int holder = ::open(sim.tty().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        std::string printed;
        {
            gt::StdoutCapture out;
            QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_NO_PING));
            QCOMPARE(runOperation(&window, "pushButton_3"), int(KELVO_NO_PING));
            printed = out.text();
        }
        ::close(holder);
        const QString busy = "error: cannot access " + QString::fromStdString(sim.tty()) + ": busy";
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists", busy, "Ping not received", busy,
                              "Ping not received", "Chip Erase Fail"}));
        QVERIFY2(printed.find(busy.toStdString() + "\n") != std::string::npos, printed.c_str());
    }

    // A program holding the port without a lock is named in the log.
    void portHolderInLog() {
        const QString image = writeImage(4096, 13);
        kt::ChipSim sim(dir->path(), {kNoPing});
        const pid_t holder = ::fork();
        if (holder == 0) {
            const int fd = ::open(sim.tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ::execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
            ::_exit(fd < 0 ? 126 : 127);
        }
        const std::string comm = "/proc/" + std::to_string(holder) + "/comm";
        for (int i = 0; i < 100 && kt::readFile(comm) != "sleep\n"; ++i)
            QTest::qWait(20);
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        const int result = runOperation(&window, "pushButton");
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
        QCOMPARE(result, int(KELVO_NO_PING));
        const QString named = QString("warning: %1 is also open in process %2 (sleep)")
                                  .arg(QString::fromStdString(sim.tty()))
                                  .arg(holder);
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists", named, "Ping not received"}));
    }

    // A chip erase with a keep option of the record is refused before
    // anything is sent, with the reason in the log.
    void downloadEraseWithKeepOption() {
        const QString image = writeImage(4096, 14);
        kt::ChipSim sim(dir->path(), {});
        create_device_setting();
        QCOMPARE(setKeepSysData("1"), int(KELVO_SUCCESS));
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        gt::child<QCheckBox>(&window, "checkBox")->setChecked(true);
        QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_SETTINGS_CONFLICT));
        QCOMPARE(gt::logLines(&window),
                 QStringList({"File " + image + " Exists",
                              "error: chip_erase 1 would erase the system data that "
                              "keep_sys_data 1 asks to keep: set chip_erase 0 to keep it, or "
                              "keep_sys_data 0 to let it be erased",
                              "Download refused: untick \"Chip Erase\" to keep the data, or "
                              "set the keep option to 0 with kelvo_pgtool_cli"}));
        QCOMPARE(status(&window), QStringLiteral("Fail"));
        QCOMPARE(sim.commandLog(), std::string());
    }

    // A record's device that is no serial line is refused by the download
    // and the erase before anything is written to it, with the reason in
    // the log.
    void notASerialPort() {
        const QString image = writeImage(4096, 17);
        const std::string plain = dir->path() + "/not-a-port";
        kt::writeFile(plain, "untouched");
        for (const std::string &device : {plain, std::string("/dev/null")}) {
            create_device_setting();
            QCOMPARE(addDevice(device.c_str()), int(KELVO_SUCCESS));
            MainWindow window(nullptr, &dialogs);
            QCOMPARE(gt::child<QComboBox>(&window, "comboBox_8")->currentText(),
                     QString::fromStdString(device));
            gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
            const QString refused =
                "error: cannot access " + QString::fromStdString(device) + ": not a serial port";
            QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_NO_PING));
            QCOMPARE(runOperation(&window, "pushButton_3"), int(KELVO_NO_PING));
            QCOMPARE(gt::logLines(&window),
                     QStringList({"File " + image + " Exists", refused, "Ping not received",
                                  refused, "Ping not received", "Chip Erase Fail"}));
            QCOMPARE(status(&window), QStringLiteral("Fail"));
            QCOMPARE(gt::recordText(gt::kDevice), QByteArray::fromStdString(device));
        }
        QCOMPARE(kt::readFile(plain), std::string("untouched"));
    }

    // A device of the record that the system does not list (the
    // simulator's link) is offered by its path and stored unchanged.
    void recordDeviceOffered() {
        kt::ChipSim sim(dir->path(), {"--link", dir->path() + "/ttyKELVO0"});
        create_device_setting();
        QCOMPARE(addDevice("./ttyKELVO0"), int(KELVO_SUCCESS));
        MainWindow window(nullptr, &dialogs);
        auto *ports = gt::child<QComboBox>(&window, "comboBox_8");
        QCOMPARE(ports->itemText(0), QStringLiteral("./ttyKELVO0"));
        QCOMPARE(ports->currentIndex(), 0);
        QCOMPARE(ports->itemText(ports->count() - 1), QStringLiteral("Scan"));
        QCOMPARE(ports->findText("N/A"), -1);
        QCOMPARE(runOperation(&window, "pushButton_3"), int(KELVO_SUCCESS));
        QCOMPARE(gt::recordText(gt::kDevice), QByteArray("./ttyKELVO0"));
        const QString image = writeImage(3000, 13);
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        QCOMPARE(runOperation(&window, "pushButton"), int(KELVO_SUCCESS));
        QCOMPARE(gt::recordText(gt::kDevice), QByteArray("./ttyKELVO0"));
        // Gone, it is no longer offered.
        QVERIFY(QFile::remove("ttyKELVO0"));
        ports->setCurrentText("Scan");
        QMetaObject::invokeMethod(ports, "activated", Q_ARG(int, ports->currentIndex()));
        QVERIFY(ports->findText("./ttyKELVO0") < 0);
    }

    // Closing the window cancels the download on the line and lets go of
    // the port instead of leaving the transfer running unseen.
    void closeCancelsDownload() {
        const size_t size = 2 * 1024 * 1024; // tens of seconds on the paced line
        const QString image = writeImage(size, 14);
        kt::ChipSim sim(dir->path(), {kWireTime});
        MainWindow window(nullptr, &dialogs);
        window.show();
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText(image);
        QSignalSpy finished(&window, &MainWindow::operationFinished);
        click(&window, "pushButton");
        QTRY_VERIFY_WITH_TIMEOUT(progress(&window) > 0, kOperationTimeoutMs);
        QVERIFY(window.close());
        QVERIFY(!window.isVisible());
        QVERIFY(finished.count() == 1 || finished.wait(kOperationTimeoutMs));
        QCOMPARE(finished.at(0).at(0).toInt(), int(KELVO_INTERRUPTED));
        QVERIFY(portReleased(sim.tty()));
        QVERIFY(sim.flash().compare(0, size, kt::readFile(image.toStdString())) != 0);
    }

    void eraseNoPort() {
        MainWindow window(nullptr, &dialogs);
        selectNoPort(&window);
        gt::child<QComboBox>(&window, "comboBox_9")->setCurrentText("2000000");
        click(&window, "pushButton_3");
        QCOMPARE(gt::logLines(&window), QStringList({"Please select serial port"}));
        QVERIFY(!window.isBusy());
        QCOMPARE(gt::recordInt(gt::kBaudrate), 2000000);
        QCOMPARE(gt::recordText(gt::kDevice), QByteArray("NaN"));
    }

    // The record's rate (here one of the list's) is the one used and kept.
    void eraseSuccess() {
        kt::writeFile(dir->path() + "/simflash.bin", std::string(8192, '\x5a'));
        kt::ChipSim sim(dir->path());
        create_device_setting();
        QCOMPARE(setBaudRate("3000000"), int(KELVO_SUCCESS));
        MainWindow window(nullptr, &dialogs);
        selectPort(&window, sim.tty());
        gt::child<QLineEdit>(&window, "lineEdit")->setText("unused.bin");
        QCOMPARE(runOperation(&window, "pushButton_3"), int(KELVO_SUCCESS));
        QCOMPARE(gt::logLines(&window), QStringList({"Chip Erase Done"}));
        QCOMPARE(status(&window), QStringLiteral("Success"));
        QCOMPARE(statusStyle(&window), QString(kGreen));
        QCOMPARE(progress(&window), 0);
        QVERIFY(controlsEnabled(&window, true));
        QCOMPARE(gt::recordText(gt::kDevice), QByteArray::fromStdString(sim.tty()));
        QCOMPARE(gt::recordInt(gt::kBaudrate), 3000000);
        QCOMPARE(gt::recordText(gt::kImage), QByteArray("NaN")); // not the erase's business
        QVERIFY(sim.commandLog().find("ucfg 3000000 ") != std::string::npos);
        QVERIFY(sim.commandLog().find("ceras 0 ") != std::string::npos);
        QCOMPARE(sim.flash().substr(0, 8192), std::string(8192, '\xff'));
    }

    void eraseFailures() {
        const struct {
            std::string simSwitch;
            int result;
            QString line;
        } cases[] = {
            {kNoPing, KELVO_NO_PING, "Ping not received"},
            {kRefuseConfig, KELVO_CONFIG_REFUSED, "Unable to set device configs"},
            {kEraseReplyExtra, KELVO_ERASE_FAILED, "Erase Unsuccessful"},
        };
        MainWindow window(nullptr, &dialogs);
        for (const auto &c : cases) {
            kt::ChipSim sim(dir->path(), {c.simSwitch});
            selectPort(&window, sim.tty());
            QCOMPARE(runOperation(&window, "pushButton_3"), c.result);
            QCOMPARE(gt::logLines(&window), QStringList({c.line, "Chip Erase Fail"}));
            QCOMPARE(status(&window), QStringLiteral("Fail"));
            QCOMPARE(statusStyle(&window), QString(kRed));
            gt::child<QTextBrowser>(&window, "textBrowser")->clear();
        }
    }

    void eraseSettingsMissing() {
        MainWindow window(nullptr, &dialogs);
        DeviceSetting record;
        QCOMPARE(load_device_setting(&record), int(KELVO_SUCCESS));
        record.flash_pin = KELVO_NOT_SET;
        QCOMPARE(save_device_setting(&record), int(KELVO_SUCCESS));
        selectPort(&window, "/dev/ttyNONE");
        QCOMPARE(runOperation(&window, "pushButton_3"), int(KELVO_SETTINGS_MISSING));
        QCOMPARE(gt::logLines(&window),
                 QStringList({"Baudrate/flashpin not set", "Chip Erase Fail"}));
        QCOMPARE(status(&window), QStringLiteral("Fail"));
    }
};

QTEST_MAIN(OperationsTest)
#include "tst_operations.moc"
