// The Generate page end to end: image layout rows, the system-data block
// and the "System Data Map" editor, driven through the window's widgets
// with the dialogs replaced by a recording fake.
#include "dialogs.h"
#include "kelvo_test.h"
#include "mainwindow.h"
#include "systemdatamap.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QtTest>
#include <memory>

namespace {

struct DialogCall {
    QString caption, name, filter;
};

// Returns the preset file names in turn ("" once they run out, as a
// cancelled dialog does) and records every call and message.
class FakeDialogs : public Dialogs {
  public:
    QStringList openAnswers, saveAnswers, messages;
    QList<DialogCall> openCalls, saveCalls;

    QString openFileName(QWidget *, const QString &caption, const QString &dir,
                         const QString &filter) override {
        openCalls.append({caption, dir, filter});
        return openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
    }
    QString saveFileName(QWidget *, const QString &caption, const QString &name,
                         const QString &filter) override {
        saveCalls.append({caption, name, filter});
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }
    void information(QWidget *, const QString &title, const QString &text) override {
        QCOMPARE(title, QString("Kelvo PG Tool"));
        messages.append(text);
    }
};

struct RowNames {
    const char *tick, *path, *browse, *offset;
};

// Object names of the image layout rows 1 to 10.
const RowNames kRows[] = {
    {"checkBox_2", "lineEdit_4", "pushButton_4", "lineEdit_8"},
    {"checkBox_3", "lineEdit_9", "pushButton_5", "lineEdit_10"},
    {"checkBox_4", "lineEdit_11", "pushButton_6", "lineEdit_12"},
    {"checkBox_5", "lineEdit_13", "pushButton_7", "lineEdit_14"},
    {"checkBox_6", "lineEdit_15", "pushButton_8", "lineEdit_16"},
    {"checkBox_7", "lineEdit_17", "pushButton_9", "lineEdit_18"},
    {"checkBox_8", "lineEdit_19", "pushButton_10", "lineEdit_20"},
    {"checkBox_9", "lineEdit_21", "pushButton_11", "lineEdit_22"},
    {"checkBox_10", "lineEdit_23", "pushButton_12", "lineEdit_24"},
    {"checkBox_11", "lineEdit_25", "pushButton_13", "lineEdit_26"},
};

const QString kBinFilter = "bin Files(*.bin);;All Files(*.*)";
// Only a hang reaches it.
constexpr int kComposeTimeoutMs = 120000;

std::string ff(size_t n) {
    return std::string(n, '\xFF');
}

} // namespace

class GenerateTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<kt::TempDir> dir;
    QString oldCwd;
    FakeDialogs fake;
    std::unique_ptr<MainWindow> window;

    template <typename T> T *widget(const char *name) {
        T *found = window->findChild<T *>(name);
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    const RowNames &row(int number) { return kRows[number - 1]; }
    std::string path(const std::string &name) { return dir->file(name); }
    // Ticks the row and gives it a file with these bytes.
    void useRow(int number, const std::string &bytes, const QString &offset = QString()) {
        const std::string name = "in" + std::to_string(number) + ".bin";
        kt::writeFile(path(name), bytes);
        widget<QCheckBox>(row(number).tick)->setChecked(true);
        widget<QLineEdit>(row(number).path)->setText(QString::fromStdString(name));
        if (!offset.isNull())
            widget<QLineEdit>(row(number).offset)->setText(offset);
    }
    // Clicks "Generate" and waits for the image being written, if any.
    void clickGenerate() {
        QSignalSpy done(window.get(), &MainWindow::composeFinished);
        widget<QPushButton>("pushButton_14")->click();
        if (window->isComposing())
            QVERIFY(done.wait(kComposeTimeoutMs));
    }
    // Clicks "Generate", saving to out.bin; returns the file's bytes.
    std::string generate() {
        fake.saveAnswers = QStringList{"out.bin"};
        clickGenerate();
        return kt::readFile(path("out.bin"));
    }
    void expectOnlyMessage(const QString &text) { QCOMPARE(fake.messages, QStringList{text}); }
    void expectSaved(const QString &name) {
        expectOnlyMessage("File: " + name + " has been saved");
    }
    std::string saveSystemData() {
        fake.saveAnswers = QStringList{"system.bin"};
        widget<QPushButton>("btSave")->click();
        return kt::readFile(path("system.bin"));
    }
    static QList<SystemDataMap *> mapWindows() {
        QList<SystemDataMap *> maps;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (auto *map = qobject_cast<SystemDataMap *>(top))
                maps.append(map);
        return maps;
    }
    SystemDataMap *openEditor() {
        const auto before = mapWindows();
        widget<QPushButton>("btEdit")->click();
        for (SystemDataMap *map : mapWindows())
            if (!before.contains(map))
                return map;
        qFatal("Edit opened no window");
        return nullptr;
    }
    static QAbstractItemModel *grid(SystemDataMap *map) {
        return map->findChild<QTableView *>("tvSystemData")->model();
    }
    static void setCell(SystemDataMap *map, int r, int column, const QString &text) {
        grid(map)->setData(grid(map)->index(r, column), text);
    }
    static QString cell(SystemDataMap *map, int r, int column) {
        return grid(map)->index(r, column).data().toString();
    }
    // The bytes the grid shows, as "Sync" would read them.
    std::string syncTo(SystemDataMap *map, const QString &name) {
        fake.saveAnswers = QStringList{name};
        map->findChild<QPushButton *>("btSync")->click();
        return kt::readFile(path(name.toStdString()));
    }
    static void closeAll() {
        for (SystemDataMap *map : mapWindows())
            map->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

  private slots:
    void init() {
        dir = std::make_unique<kt::TempDir>();
        oldCwd = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(dir->path()));
        fake = FakeDialogs();
        window = std::make_unique<MainWindow>(nullptr, &fake);
    }
    void cleanup() {
        closeAll();
        window.reset();
        QDir::setCurrent(oldCwd);
        dir.reset();
    }

    void filesBackToBackAndGapFill();
    void rowsPlacedByOffset();
    void fileEndingAtNextOffset();
    void offsetTexts_data();
    void offsetTexts();
    void imageSizeCap();
    void failuresStopBeforeSaving();
    void saveOutcomes();
    void inputChangedAfterChecksStops();
    void rowTicksKeepTexts();
    void browseFillsRowPath();
    void imageEqualsCliGenerate();

    void systemDataEncoding_data();
    void systemDataEncoding();
    void systemDataSaveAndCancel();
    void editorFreshGrid();
    void syncCellTexts();
    void windowsKeepTheirOwnEdits();
    void loadThenEditShowsFile();
    void loadFailuresGiveAllFfGrid();
};

void GenerateTest::filesBackToBackAndGapFill() {
    const std::string a = kt::randomBytes(4096, 1), b = kt::randomBytes(4096, 2);
    useRow(1, a);
    useRow(2, b);
    QCOMPARE(generate(), a + b);
    expectSaved("out.bin");
    QCOMPARE(fake.saveCalls.size(), 1);
    QCOMPARE(fake.saveCalls[0].caption, QString("Save file"));
    QCOMPARE(fake.saveCalls[0].name, QString("flash.bin"));
    QCOMPARE(fake.saveCalls[0].filter, kBinFilter);

    widget<QCheckBox>(row(2).tick)->setChecked(false);
    const std::string c = kt::randomBytes(0x10, 3);
    useRow(1, a.substr(0, 0x20));
    useRow(4, c, "0x00004000");
    QCOMPARE(generate(), a.substr(0, 0x20) + ff(0x3FE0) + c);
}

void GenerateTest::rowsPlacedByOffset() {
    const std::string seven = kt::randomBytes(100, 7), eight = kt::randomBytes(50, 8);
    useRow(7, seven);
    useRow(8, eight);
    QCOMPARE(generate(), std::string()); // two rows at one offset overlap
    expectOnlyMessage("Overlap detected: Please check offset values");
    QVERIFY(fake.saveCalls.isEmpty());
    fake.messages.clear();
    widget<QCheckBox>(row(7).tick)->setChecked(false);
    widget<QCheckBox>(row(8).tick)->setChecked(false);

    const std::string four = kt::randomBytes(5, 4), five = kt::randomBytes(7, 5);
    useRow(4, four, "0x00090000");
    useRow(5, five, "0x00010000");
    QCOMPARE(generate(), five + ff(0x80000 - 7) + four);
    widget<QCheckBox>(row(4).tick)->setChecked(false);
    widget<QCheckBox>(row(5).tick)->setChecked(false);

    const std::string one = kt::randomBytes(0x10, 1), three = kt::randomBytes(0x10, 3);
    useRow(1, one);
    useRow(2, ""); // its whole slot stays 0xFF
    useRow(3, three);
    QCOMPARE(generate(), one + ff(0x2000 - 0x10) + three);
}

void GenerateTest::fileEndingAtNextOffset() {
    useRow(5, kt::randomBytes(0x80001, 5), "0x00010000");
    useRow(6, kt::randomBytes(3, 6), "0x00090000");
    QCOMPARE(generate(), std::string());
    expectOnlyMessage("Overlap detected: Please check offset values");
    QVERIFY(fake.saveCalls.isEmpty());

    fake.messages.clear();
    const std::string five = kt::randomBytes(0x80000, 5), six = kt::randomBytes(3, 6);
    useRow(5, five);
    QCOMPARE(generate(), five + six);
}

void GenerateTest::offsetTexts_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("offset"); // -1: refused
    QTest::newRow("no prefix") << "4000" << 0x4000;
    QTest::newRow("prefix") << "0x4000" << 0x4000;
    QTest::newRow("blanks") << " 0x4000 " << 0x4000;
    QTest::newRow("trailing text") << "0x4000zz" << -1;
    QTest::newRow("letter beyond F") << "0xG000" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("negative") << "-0x10" << -1;
}

void GenerateTest::offsetTexts() {
    QFETCH(QString, text);
    QFETCH(int, offset);
    const std::string one = kt::randomBytes(0x20, 1), four = kt::randomBytes(0x10, 4);
    useRow(1, one);
    useRow(4, four, text);
    if (offset < 0) {
        QCOMPARE(generate(), std::string());
        expectOnlyMessage("Bin 4: offset \"" + text + "\" is not a hexadecimal number");
        QVERIFY(fake.saveCalls.isEmpty());
        return;
    }
    QCOMPARE(generate(), one + ff(size_t(offset) - 0x20) + four);
}

// A typo in an offset must not write gigabytes; a large image is written
// on the worker while the button waits.
void GenerateTest::imageSizeCap() {
    useRow(1, "a");
    useRow(4, "b", "0x7FFFF000");
    QCOMPARE(generate(), std::string());
    expectOnlyMessage("The image would be 2147479553 bytes, more than the largest flash "
                      "(33554432 bytes): it runs from offset 0x00000000 to the end of the file "
                      "at offset 0x7FFFF000");
    QVERIFY(fake.saveCalls.isEmpty());

    fake.messages.clear();
    const std::string last = kt::randomBytes(0x1000, 4);
    useRow(4, last, "0x01FFF000"); // ends exactly at 32 MiB
    fake.saveAnswers = QStringList{"out.bin"};
    QSignalSpy done(window.get(), &MainWindow::composeFinished);
    widget<QPushButton>("pushButton_14")->click();
    QVERIFY(window->isComposing());
    QVERIFY(!widget<QPushButton>("pushButton_14")->isEnabled());
    widget<QPushButton>("pushButton_14")->click(); // ignored meanwhile
    QVERIFY(done.wait(kComposeTimeoutMs));
    QCOMPARE(done.count(), 1);
    QVERIFY(widget<QPushButton>("pushButton_14")->isEnabled());
    expectSaved("out.bin");
    QCOMPARE(fake.saveCalls.size(), 1);
    QCOMPARE(kt::readFile(path("out.bin")), "a" + ff(0x1FFF000 - 1) + last);
}

void GenerateTest::failuresStopBeforeSaving() {
    clickGenerate();
    expectOnlyMessage("No files selected");

    fake.messages.clear();
    widget<QCheckBox>(row(1).tick)->setChecked(true);
    clickGenerate();
    expectOnlyMessage("partition.bin dosent exist");

    fake.messages.clear();
    QDir().mkdir("adir");
    widget<QLineEdit>(row(1).path)->setText("adir");
    clickGenerate();
    expectOnlyMessage("adir dosent exist");

    // The first failing row in row order decides.
    fake.messages.clear();
    widget<QLineEdit>(row(1).path)->setText("missing1.bin");
    widget<QCheckBox>(row(9).tick)->setChecked(true);
    widget<QLineEdit>(row(9).path)->setText("missing9.bin");
    clickGenerate();
    expectOnlyMessage("missing1.bin dosent exist");
    QVERIFY(fake.saveCalls.isEmpty());
}

void GenerateTest::saveOutcomes() {
    kt::writeFile(path("out.bin"), kt::randomBytes(10000, 9));
    useRow(1, "abc");
    QCOMPARE(generate(), std::string("abc")); // the longer file is replaced whole

    fake.messages.clear();
    fake.saveAnswers.clear();
    clickGenerate();
    QVERIFY(fake.messages.isEmpty());
    QCOMPARE(QDir().entryList(QDir::Files | QDir::NoDotAndDotDot).contains("flash.bin"), false);

    fake.saveAnswers = QStringList{"nodir/out.bin"};
    clickGenerate();
    QCOMPARE(fake.messages.size(), 1);
    QVERIFY2(fake.messages[0].startsWith("File: nodir/out.bin could not be saved: "),
             qPrintable(fake.messages[0]));
}

void GenerateTest::inputChangedAfterChecksStops() {
    // Measured as 0 bytes, yet reads as more: the files after it would
    // land at wrong addresses, so nothing may be saved.
    kt::writeFile(path("out.bin"), "old");
    widget<QCheckBox>(row(1).tick)->setChecked(true);
    widget<QLineEdit>(row(1).path)->setText("/proc/self/status");
    useRow(2, "abc");
    QCOMPARE(generate(), std::string("old"));
    expectOnlyMessage("/proc/self/status could not be read in full");
}

void GenerateTest::rowTicksKeepTexts() {
    for (int number = 1; number <= 10; ++number) {
        auto *tick = widget<QCheckBox>(row(number).tick);
        auto *pathField = widget<QLineEdit>(row(number).path);
        auto *offsetField = widget<QLineEdit>(row(number).offset);
        auto *browse = widget<QPushButton>(row(number).browse);
        const bool offsetEditable = number >= 4;
        QVERIFY(!pathField->isEnabled() && !browse->isEnabled() && !offsetField->isEnabled());
        tick->setChecked(true);
        QVERIFY(pathField->isEnabled() && browse->isEnabled());
        QCOMPARE(offsetField->isEnabled(), offsetEditable);
        pathField->setText("p" + QString::number(number));
        offsetField->setText("o" + QString::number(number));
        tick->setChecked(false);
        QVERIFY(!pathField->isEnabled() && !browse->isEnabled() && !offsetField->isEnabled());
        tick->setCheckState(Qt::PartiallyChecked);
        QVERIFY(!pathField->isEnabled());
        tick->setChecked(true);
        QCOMPARE(pathField->text(), "p" + QString::number(number));
        QCOMPARE(offsetField->text(), "o" + QString::number(number));
        QCOMPARE(offsetField->isEnabled(), offsetEditable);
    }
}

void GenerateTest::browseFillsRowPath() {
    for (int number = 1; number <= 10; ++number) {
        auto *pathField = widget<QLineEdit>(row(number).path);
        widget<QCheckBox>(row(number).tick)->setChecked(true);
        fake.openAnswers = QStringList{"/chosen/" + QString::number(number) + ".bin"};
        widget<QPushButton>(row(number).browse)->click();
        QCOMPARE(pathField->text(), "/chosen/" + QString::number(number) + ".bin");
        widget<QPushButton>(row(number).browse)->click(); // cancelled
        QCOMPARE(pathField->text(), QString());
    }
    QCOMPARE(fake.openCalls.size(), 20);
    for (const DialogCall &call : fake.openCalls) {
        QCOMPARE(call.caption, QString("choose bin"));
        QCOMPARE(call.name, QString("~/"));
        QCOMPARE(call.filter, QString("bin Files(*.bin);;All Files(*.*)"));
    }
}

void GenerateTest::imageEqualsCliGenerate() {
    struct Input {
        int row;
        size_t size;
        const char *offset;
    };
    const Input inputs[] = {{1, 0x300, "0x0"},
                            {2, 0x1000, "0x1000"},
                            {4, 0, "0x4000"},
                            {5, 0x2345, "0x00010000"},
                            {7, 0x11, "0x00013000"}};
    for (const Input &input : inputs) {
        const std::string name = "in" + std::to_string(input.row) + ".bin";
        useRow(input.row, kt::randomBytes(input.size, unsigned(input.row)),
               input.row >= 4 ? QString(input.offset) : QString());
        const auto result = kt::runCli(
            {"-set", "generate_bin", std::to_string(input.row), name, input.offset}, dir->path());
        QCOMPARE(result.exit_code, 0);
    }
    const auto result = kt::runCli({"-generate"}, dir->path());
    QCOMPARE(result.exit_code, 0);
    const std::string cli = kt::readFile(path("flash.bin"));
    QCOMPARE(cli.size(), size_t(0x13011));
    QCOMPARE(generate(), cli);
}

void GenerateTest::systemDataEncoding_data() {
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("pin");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("flashId");
    QTest::addColumn<QString>("changes"); // offset=byte pairs, hexadecimal
    QTest::newRow("presets") << false << 1 << 13 << 1 << 0 << 0 << "0xFFFF"
                             << "";
    QTest::newRow("GPIO_B 13 High") << true << 1 << 13 << 1 << 0 << 0 << "0xFFFF"
                                    << "08=AD";
    QTest::newRow("GPIO_A 0 Low") << true << 0 << 0 << 0 << 0 << 0 << "0xFFFF"
                                  << "08=00";
    QTest::newRow("QPI 1MB") << false << 0 << 0 << 0 << 5 << 5 << "0xFFFF"
                             << "21=07 27=03";
    QTest::newRow("Dual IO 16MB") << false << 0 << 0 << 0 << 2 << 2 << "0xFFFF"
                                  << "21=3F 27=3F";
    QTest::newRow("id 0x417") << false << 0 << 0 << 0 << 0 << 0 << "0x417"
                              << "24=17 25=04";
    QTest::newRow("id 0x12345") << false << 0 << 0 << 0 << 0 << 0 << "0x12345"
                                << "24=45 25=23";
    QTest::newRow("id empty") << false << 0 << 0 << 0 << 0 << 0 << ""
                              << "24=00 25=00";
    QTest::newRow("id zz") << false << 0 << 0 << 0 << 0 << 0 << "zz"
                           << "24=00 25=00";
}

void GenerateTest::systemDataEncoding() {
    QFETCH(bool, force);
    QFETCH(int, port);
    QFETCH(int, pin);
    QFETCH(int, level);
    QFETCH(int, mode);
    QFETCH(int, size);
    QFETCH(QString, flashId);
    QFETCH(QString, changes);
    widget<QCheckBox>("cbForceOldOTAs")->setChecked(force);
    widget<QComboBox>("cbGPIO")->setCurrentIndex(port);
    widget<QComboBox>("cbPin")->setCurrentIndex(pin);
    widget<QComboBox>("cbValue")->setCurrentIndex(level);
    widget<QComboBox>("cbFlashMode")->setCurrentIndex(mode);
    widget<QComboBox>("cbFlashSize")->setCurrentIndex(size);
    widget<QLineEdit>("tbFlashID")->setText(flashId);
    std::string expected = ff(4096);
    for (const QString &change : changes.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = change.split('=');
        expected[size_t(parts[0].toInt(nullptr, 16))] = char(parts[1].toInt(nullptr, 16));
    }
    QCOMPARE(window->GenerateSystemData(), QByteArray::fromStdString(expected));
    QCOMPARE(saveSystemData(), expected);
    expectSaved("system.bin");
}

void GenerateTest::systemDataSaveAndCancel() {
    kt::writeFile(path("system.bin"), kt::randomBytes(8192, 1));
    QCOMPARE(saveSystemData(), ff(4096));
    QCOMPARE(fake.saveCalls.size(), 1);
    QCOMPARE(fake.saveCalls[0].caption, QString("Save file"));
    QCOMPARE(fake.saveCalls[0].name, QString("system.bin"));
    QCOMPARE(fake.saveCalls[0].filter, kBinFilter);

    fake.messages.clear();
    widget<QPushButton>("btSave")->click(); // cancelled
    QVERIFY(fake.messages.isEmpty());

    fake.saveAnswers = QStringList{"nodir/system.bin"};
    widget<QPushButton>("btSave")->click();
    QCOMPARE(fake.messages.size(), 1);
    QVERIFY(fake.messages[0].startsWith("File: nodir/system.bin could not be saved: "));
}

void GenerateTest::editorFreshGrid() {
    widget<QLineEdit>("tbSystemBin")->clear(); // no file to start from
    SystemDataMap *map = openEditor();
    QCOMPARE(map->windowTitle(), QString("System Data Map"));
    QCOMPARE(map->height(), 450);
    // Every column is in view beside the row numbers, the Address one read-only.
    auto *view = map->findChild<QTableView *>("tvSystemData");
    QVERIFY(view->horizontalHeader()->length() <= view->viewport()->width());
    QVERIFY(view->geometry().right() < map->width());
    QAbstractItemModel *model = grid(map);
    QVERIFY(!(model->flags(model->index(3, 0)) & Qt::ItemIsEditable));
    QVERIFY(model->flags(model->index(3, 1)) & Qt::ItemIsEditable);
    QCOMPARE(model->rowCount(), 256);
    QCOMPARE(model->columnCount(), 17);
    QStringList headers;
    for (int column = 0; column < 17; ++column)
        headers << model->headerData(column, Qt::Horizontal).toString();
    QCOMPARE(headers.join(' '), QString("Address 0 1 2 3 4 5 6 7 8 9 A B C D E F"));
    QCOMPARE(cell(map, 0, 0), QString("0x98001000"));
    QCOMPARE(cell(map, 10, 0), QString("0x980010a0"));
    QCOMPARE(cell(map, 255, 0), QString("0x98001ff0"));
    for (int r = 0; r < 256; ++r)
        for (int column = 1; column < 17; ++column)
            QCOMPARE(cell(map, r, column), QString("FF"));

    kt::writeFile(path("system.bin"), kt::randomBytes(8192, 1));
    QCOMPARE(syncTo(map, "system.bin"), ff(4096));
    QVERIFY(fake.messages.isEmpty());
    QCOMPARE(fake.saveCalls.size(), 1);
    QCOMPARE(fake.saveCalls[0].name, QString("system.bin"));

    QPointer<SystemDataMap> closed(map);
    map->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(closed.isNull());
}

void GenerateTest::syncCellTexts() {
    widget<QLineEdit>("tbSystemBin")->clear();
    SystemDataMap *map = openEditor();
    setCell(map, 0, 4, "5a"); // column "3"
    setCell(map, 1, 1, "0");
    setCell(map, 255, 16, " 7 ");
    std::string expected = ff(4096);
    expected[3] = '\x5A';
    expected[16] = '\x00';
    expected[4095] = '\x07';
    QCOMPARE(syncTo(map, "s.bin"), expected);

    // A cell that is no byte stops the save and names itself; the grid
    // keeps what was typed.
    for (const QString &bad : QStringList{"zz", "100", "1FF", ""}) {
        fake.messages.clear();
        fake.saveCalls.clear();
        setCell(map, 1, 12, bad);
        QCOMPARE(syncTo(map, "bad.bin"), std::string());
        expectOnlyMessage("Row 2 (0x98001010), column B: \"" + bad +
                          "\" is not a number from 00 to FF");
        QVERIFY(fake.saveCalls.isEmpty());
        QCOMPARE(cell(map, 1, 12), bad);
    }
    setCell(map, 1, 12, "FF");
    fake.messages.clear();

    fake.saveAnswers.clear();
    map->findChild<QPushButton *>("btSync")->click(); // cancelled
    fake.saveAnswers = QStringList{"nodir/s.bin"};
    map->findChild<QPushButton *>("btSync")->click();
    QCOMPARE(fake.messages.size(), 1);
    QVERIFY(fake.messages[0].startsWith("File: nodir/s.bin could not be saved: "));
}

void GenerateTest::windowsKeepTheirOwnEdits() {
    SystemDataMap *first = openEditor();
    setCell(first, 2, 1, "12");
    SystemDataMap *second = openEditor();
    QCOMPARE(cell(first, 2, 1), QString("12"));
    QCOMPARE(cell(second, 2, 1), QString("FF"));
    setCell(second, 0, 1, "34");
    std::string firstBytes = ff(4096), secondBytes = ff(4096);
    firstBytes[32] = '\x12';
    secondBytes[0] = '\x34';
    QCOMPARE(syncTo(first, "first.bin"), firstBytes);
    QCOMPARE(syncTo(second, "second.bin"), secondBytes);
}

void GenerateTest::loadThenEditShowsFile() {
    const std::string longer = kt::randomBytes(5000, 5);
    kt::writeFile(path("long.bin"), longer);
    fake.openAnswers = QStringList{path("long.bin").c_str()};
    widget<QPushButton>("btLoad")->click();
    QCOMPARE(widget<QLineEdit>("tbSystemBin")->text(), QString(path("long.bin").c_str()));
    QCOMPARE(fake.openCalls[0].caption, QString("choose bin"));
    SystemDataMap *map = openEditor();
    QCOMPARE(cell(map, 0, 1), QString("%1").arg(uchar(longer[0]), 2, 16, QChar('0')).toUpper());
    QCOMPARE(syncTo(map, "copy.bin"), longer.substr(0, 4096));

    kt::writeFile(path("short.bin"), "\x01\xab");
    widget<QLineEdit>("tbSystemBin")->setText("short.bin"); // typed, not loaded
    map = openEditor();
    QCOMPARE(cell(map, 0, 1), QString("01"));
    QCOMPARE(cell(map, 0, 2), QString("AB"));
    QCOMPARE(syncTo(map, "copy2.bin"), std::string("\x01\xab") + ff(4094));
    QVERIFY(fake.messages.isEmpty());
}

void GenerateTest::loadFailuresGiveAllFfGrid() {
    fake.openAnswers = QStringList{"missing.bin"};
    widget<QPushButton>("btLoad")->click();
    SystemDataMap *map = openEditor();
    QCOMPARE(fake.messages.size(), 1);
    QVERIFY2(fake.messages[0].startsWith("missing.bin could not be read: "),
             qPrintable(fake.messages[0]));
    QCOMPARE(syncTo(map, "a.bin"), ff(4096));

    kt::writeFile(path("real.bin"), "\x01");
    fake.openAnswers = QStringList{"real.bin"};
    widget<QPushButton>("btLoad")->click();
    widget<QPushButton>("btLoad")->click(); // cancelled: forgets real.bin
    QCOMPARE(widget<QLineEdit>("tbSystemBin")->text(), QString());
    QCOMPARE(syncTo(openEditor(), "b.bin"), ff(4096));
    QCOMPARE(fake.messages.size(), 1);
}

QTEST_MAIN(GenerateTest)
#include "generate_test.moc"
