// The window's start-up, port list, image choice and small helpers.
#include "KelvoPG_core.h"
#include "guitest.h"
#include "mainwindow.h"
#include "windowlogic.h"

#include <QtTest>
#include <QtWidgets>
#include <unistd.h>

namespace {

QStringList itemsOf(QComboBox *combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

bool itemEnabled(QComboBox *combo, int row) {
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    return model->item(row)->isEnabled();
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<gt::WorkDir> dir;
    gt::FakeDialogs dialogs;

  private slots:
    void init() {
        dir = std::make_unique<gt::WorkDir>();
        dialogs = gt::FakeDialogs();
    }
    void cleanup() { dir.reset(); }

    void portEntries() {
        using windowlogic::portEntries;
        QCOMPARE(portEntries({}), QStringList({"N/A", "Scan"}));
        QCOMPARE(portEntries({"ttyUSB0", "ttyACM1"}), QStringList({"ttyUSB0", "ttyACM1", "Scan"}));
    }

    void progressPercent() {
        const struct {
            int64_t total, sent;
            int percent;
        } cases[] = {
            {10000, 7024, 70},
            {10000, 9999, 99},
            {61440, 61440, 100},
            {5000, 65536, 100},
            {5000, -1, 0},
            {0, 0, 0},
            {int64_t(3) << 31, int64_t(3) << 30, 50},
        };
        for (const auto &c : cases)
            QCOMPARE(windowlogic::progressPercent(c.total, c.sent), c.percent);
    }

    // The baud rate list starts at the record's rate, joined to the list
    // when the list lacks it; a record without a rate keeps the first entry.
    void startupBaudRate() {
        const QStringList offered{"921600", "1000000", "1500000", "2000000", "3000000"};
        const struct {
            int32_t rate;
            QStringList items;
            QString current;
        } cases[] = {
            {1000000, offered, "1000000"}, // the default record
            {3000000, offered, "3000000"},
            {115200, QStringList{"115200"} + offered, "115200"},
            {2500000, offered.mid(0, 4) + QStringList{"2500000", "3000000"}, "2500000"},
            {4000000, offered + QStringList{"4000000"}, "4000000"},
            {KELVO_NOT_SET, offered, "921600"},
            {0, offered, "921600"},
        };
        for (const auto &c : cases) {
            create_device_setting();
            QCOMPARE(setBaudRate(QByteArray::number(c.rate).constData()), int(KELVO_SUCCESS));
            const QByteArray before = gt::record();
            MainWindow window(nullptr, &dialogs);
            auto *rates = gt::child<QComboBox>(&window, "comboBox_9");
            QCOMPARE(itemsOf(rates), c.items);
            QCOMPARE(rates->currentText(), c.current);
            QCOMPARE(gt::record(), before);
        }
    }

    // The machine may or may not have serial ports: the list must be the
    // entries for whatever the toolkit lists.
    void startupPortList() {
        MainWindow window(nullptr, &dialogs);
        auto *ports = gt::child<QComboBox>(&window, "comboBox_8");
        const QStringList available = windowlogic::availablePortNames();
        QCOMPARE(itemsOf(ports), windowlogic::portEntries(available));
        QCOMPARE(ports->currentIndex(), 0);
        if (available.isEmpty())
            QCOMPARE(ports->currentText(), QStringLiteral("N/A"));
    }

    void rescan() {
        MainWindow window(nullptr, &dialogs);
        auto *ports = gt::child<QComboBox>(&window, "comboBox_8");
        // Choosing anything but "Scan" leaves the list alone.
        ports->clear();
        ports->addItems({"ttyFAKE0", "Scan"});
        emit ports->activated(0);
        QCOMPARE(itemsOf(ports), QStringList({"ttyFAKE0", "Scan"}));

        ports->setCurrentIndex(1);
        emit ports->activated(1);
        QCOMPARE(itemsOf(ports), windowlogic::portEntries(windowlogic::availablePortNames()));
        QCOMPARE(ports->currentIndex(), 0);
    }

    void startupFreshRecord() {
        QVERIFY(!QFile::exists("record.dat"));
        MainWindow window(nullptr, &dialogs);
        QCOMPARE(gt::record().size(), 652);
        QCOMPARE(gt::child<QLineEdit>(&window, "lineEdit")->text(), QStringLiteral("NaN"));
    }

    // The command-line program and the window share "record.dat".
    void startupStoredImage() {
        const std::string image = "/opt/images/fw \xc3\xa9.bin";
        const kt::RunResult set = kt::runCli({"-set", "image", image}, dir->path());
        QCOMPARE(set.exit_code, 0);
        const QByteArray before = gt::record();
        MainWindow window(nullptr, &dialogs);
        QCOMPARE(gt::child<QLineEdit>(&window, "lineEdit")->text(),
                 QString::fromLocal8Bit(image.c_str()));
        QCOMPARE(gt::record(), before); // an existing record is left as it is
    }

    void startupState() {
        MainWindow window(nullptr, &dialogs);
        auto *bar = gt::child<QProgressBar>(&window, "progressBar");
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->maximum(), 100);
        QVERIFY(gt::child<QLabel>(&window, "label_22")->text().isEmpty());
        QVERIFY(gt::logLines(&window).isEmpty());
        QVERIFY(!gt::child<QCheckBox>(&window, "checkBox")->isChecked());
        QCOMPARE(gt::child<QComboBox>(&window, "comboBox_9")->currentText(),
                 QStringLiteral("1000000")); // the default record's
        QCOMPARE(gt::child<QComboBox>(&window, "comboBox_12")->currentText(),
                 QStringLiteral("2. Flash Chip Erase"));
        QCOMPARE(gt::child<QTabWidget>(&window, "tabWidget")->currentIndex(), 0);
        QCOMPARE(window.windowTitle(), QStringLiteral("Kelvo_PGTool_Linux_v1.0.9"));
        QVERIFY(!window.isBusy());
    }

    void disabledEntries() {
        MainWindow window(nullptr, &dialogs);
        auto *mode = gt::child<QComboBox>(&window, "comboBox_12");
        QCOMPARE(mode->count(), 2);
        QVERIFY(!itemEnabled(mode, 0));
        QVERIFY(itemEnabled(mode, 1));
        auto *option = gt::child<QComboBox>(&window, "comboBox");
        QCOMPARE(option->count(), 6); // disabled entries stay in the list
        QVERIFY(itemEnabled(option, 0));
        for (int row = 1; row < 6; ++row)
            QVERIFY(!itemEnabled(option, row));
        // The keyboard cannot reach a disabled entry.
        QTest::keyClick(option, Qt::Key_Down);
        QCOMPARE(option->currentIndex(), 0);
    }

    void browse() {
        MainWindow window(nullptr, &dialogs);
        auto *path = gt::child<QLineEdit>(&window, "lineEdit");
        dialogs.nextFileName = "/data/app.bin";
        gt::child<QPushButton>(&window, "pushButton_2")->click();
        QCOMPARE(path->text(), QStringLiteral("/data/app.bin"));
        QCOMPARE(dialogs.asked,
                 QStringList({"open|choose bin|~/|bin Files(*.bin);;All Files(*.*)"}));
        QCOMPARE(dialogs.lastParent, &window);
        QCOMPARE(gt::recordText(gt::kImage), QByteArray("NaN")); // stored only on download

        dialogs.nextFileName.clear(); // cancelled
        gt::child<QPushButton>(&window, "pushButton_2")->click();
        QVERIFY(path->text().isEmpty());
    }

    // The SHA256 box shows the digest of the file the Filename names, for
    // comparing with release notes; it cannot be typed into.
    void imageDigest() {
        const QString abc = dir->file("abc.bin");
        kt::writeFile(abc.toStdString(), "abc");
        const QString abcDigest =
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
        const QString emptyDigest =
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        create_device_setting();
        QCOMPARE(setImgPath(abc.toLocal8Bit().constData()), int(KELVO_SUCCESS));
        MainWindow window(nullptr, &dialogs);
        auto *digest = gt::child<QLineEdit>(&window, "lineEdit_2");
        QVERIFY(digest->isReadOnly());
        QCOMPARE(digest->text(), abcDigest); // the record's image at start-up

        const QString empty = dir->file("empty.bin");
        kt::writeFile(empty.toStdString(), "");
        dialogs.nextFileName = empty;
        gt::child<QPushButton>(&window, "pushButton_2")->click();
        QCOMPARE(digest->text(), emptyDigest);
        dialogs.nextFileName.clear(); // cancelled: no file, no digest
        gt::child<QPushButton>(&window, "pushButton_2")->click();
        QVERIFY(digest->text().isEmpty());

        // Taken again when a download starts: the file may have changed.
        gt::child<QLineEdit>(&window, "lineEdit")->setText(empty);
        kt::writeFile(empty.toStdString(), "abc");
        auto *ports = gt::child<QComboBox>(&window, "comboBox_8");
        ports->clear();
        ports->addItems({"N/A", "Scan"});
        gt::child<QPushButton>(&window, "pushButton")->click();
        QCOMPARE(digest->text(), abcDigest);
    }

    void popup() {
        MainWindow window(nullptr, &dialogs);
        window.showPopupMsg("Generate Success");
        QCOMPARE(dialogs.asked, QStringList({"info|Kelvo PG Tool|Generate Success"}));
        QCOMPARE(dialogs.lastParent, &window);
    }

    void fileChecks() {
        MainWindow window(nullptr, &dialogs);
        const QString file = dir->file("image.bin");
        kt::writeFile(file.toStdString(), std::string(1234, 'x'));
        const QString link = dir->file("link.bin");
        QVERIFY(::symlink(file.toLocal8Bit().constData(), link.toLocal8Bit().constData()) == 0);
        const QString dangling = dir->file("dangling.bin");
        QVERIFY(::symlink("nowhere.bin", dangling.toLocal8Bit().constData()) == 0);
        const QString folder = QString::fromStdString(dir->path());

        QVERIFY(window.checkFileExists(file));
        QVERIFY(window.checkFileExists(link));
        QVERIFY(!window.checkFileExists(dangling));
        QVERIFY(!window.checkFileExists(folder));
        QVERIFY(!window.checkFileExists(dir->file("missing.bin")));
        QVERIFY(!window.checkFileExists(""));

        QCOMPARE(window.checkFileSize(file), 1234);
        QCOMPARE(window.checkFileSize(link), 1234);
        QCOMPARE(window.checkFileSize(folder), -255);
        QCOMPARE(window.checkFileSize(dir->file("missing.bin")), -255);
        kt::writeFile(file.toStdString(), "");
        QCOMPARE(window.checkFileSize(file), 0);
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
