// The form as built, on a bare main window, before the window's own
// start-up changes anything.
#include "guitest.h"
#include "ui_mainwindow.h"

#include <QtTest>

namespace {

struct Expected {
    const char *name;
    const char *cls;
    const char *parent;
    QString text;      // label, button, check box or line edit text
    QStringList items; // combo box entries in order
    bool enabled = true;
};

QStringList numbers(int count) {
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QString::number(i);
    return list;
}

QList<Expected> downloadPage() {
    return {
        {"label", "QLabel", "Download", "Firmware", {}},
        {"frame", "QFrame", "Download", "", {}},
        {"label_2", "QLabel", "frame", "Filename", {}},
        {"lineEdit", "QLineEdit", "frame", "", {}},
        {"pushButton_2", "QPushButton", "frame", "Browse", {}},
        {"label_3", "QLabel", "frame", "SHA256", {}},
        {"lineEdit_2", "QLineEdit", "frame", "", {}},
        {"label_4", "QLabel", "frame", "Address", {}},
        {"lineEdit_3", "QLineEdit", "frame", "", {}, false},
        {"comboBox",
         "QComboBox",
         "Download",
         "",
         {"1. Program flash memory", "2. Program flash Image 1", "3. Update image 2",
          "4. Update image 2 auto", "5. Program RAM", "6. UART boot with a FW image"}},
        {"label_5", "QLabel", "Download", "Flash Option", {}},
        {"frame_4", "QFrame", "Download", "", {}},
        {"label_11", "QLabel", "frame_4", "Flash IO", {}},
        {"comboBox_5",
         "QComboBox",
         "frame_4",
         "",
         {"One IO", "Dual Output", "Dual IO", "Quad Output", "Quad IO", "QPI"},
         false},
        {"label_12", "QLabel", "frame_4", "Flash Pin", {}},
        {"comboBox_6",
         "QComboBox",
         "frame_4",
         "",
         {"Auto", "PIN_A7_A12", "PIN_B6_B12", "PIN_A15_A20"},
         false},
        {"label_13", "QLabel", "frame_4", "FW Idx", {}},
        {"comboBox_7", "QComboBox", "frame_4", "", {"1. 1st image2"}, false},
        {"label_14", "QLabel", "frame_4", "Offset", {}},
        {"lineEdit_5", "QLineEdit", "frame_4", "", {}},
        {"label_6", "QLabel", "Download", "UART Setting", {}},
        {"frame_5", "QFrame", "Download", "", {}},
        {"label_15", "QLabel", "frame_5", "Serial Port", {}},
        {"comboBox_8", "QComboBox", "frame_5", "", {"N/A", "Scan"}},
        {"label_16", "QLabel", "frame_5", "BAUD Rate", {}},
        {"comboBox_9",
         "QComboBox",
         "frame_5",
         "",
         {"921600", "1000000", "1500000", "2000000", "3000000"}},
        {"label_17", "QLabel", "frame_5", "Pairity", {}},
        {"comboBox_10", "QComboBox", "frame_5", "", {"NONE", "ODD", "EVEN"}, false},
        {"label_18", "QLabel", "frame_5", "Flow Control", {}},
        {"comboBox_11", "QComboBox", "frame_5", "", {"OFF", "ON"}, false},
        {"label_7", "QLabel", "Download", "Flash Erase", {}},
        {"frame_3", "QFrame", "Download", "", {}},
        {"label_19", "QLabel", "frame_3", "Offset", {}},
        {"lineEdit_6", "QLineEdit", "frame_3", "", {}, false},
        {"label_20", "QLabel", "frame_3", "Length(Byte)", {}},
        {"lineEdit_7", "QLineEdit", "frame_3", "", {}, false},
        {"label_21", "QLabel", "frame_3", "Mode", {}},
        {"comboBox_12",
         "QComboBox",
         "frame_3",
         "",
         {"1. Flash Sector Erase", "2. Flash Chip Erase"}},
        {"pushButton_3", "QPushButton", "frame_3", "Erase", {}},
        {"textBrowser", "QTextBrowser", "Download", "", {}},
        {"progressBar", "QProgressBar", "Download", "", {}},
        {"label_22", "QLabel", "Download", "Success", {}},
        {"checkBox", "QCheckBox", "Download", "Chip Erase", {}},
        {"pushButton", "QPushButton", "Download", "Download", {}},
    };
}

QList<Expected> systemDataArea() {
    return {
        {"label_10", "QLabel", "Generate", "System Data", {}},
        {"frame_6", "QFrame", "Generate", "", {}},
        {"label_23", "QLabel", "frame_6", "Force old OTA", {}},
        {"cbForceOldOTAs", "QCheckBox", "frame_6", "Force old OTA", {}},
        {"cbGPIO", "QComboBox", "frame_6", "", {"GPIO_A", "GPIO_B"}},
        {"cbPin", "QComboBox", "frame_6", "", numbers(24)},
        {"cbValue", "QComboBox", "frame_6", "", {"Low", "High"}},
        {"label_27", "QLabel", "frame_6", "Flash Mode:", {}},
        {"cbFlashMode",
         "QComboBox",
         "frame_6",
         "",
         {"Quad IO", "Quad Output", "Dual IO", "Dual Output", "One IO", "QPI"}},
        {"label_28", "QLabel", "frame_6", "Flash Size:", {}},
        {"cbFlashSize", "QComboBox", "frame_6", "", {"2MB", "32MB", "16MB", "8MB", "4MB", "1MB"}},
        {"label_29", "QLabel", "frame_6", "Flash ID:", {}},
        {"tbFlashID", "QLineEdit", "frame_6", "0xFFFF", {}},
        {"label_30", "QLabel", "frame_6", "Load Existing system bin", {}},
        {"tbSystemBin", "QLineEdit", "frame_6", "system.bin", {}},
        {"btLoad", "QPushButton", "frame_6", "Load", {}},
        {"btEdit", "QPushButton", "frame_6", "Edit", {}},
        {"btSave", "QPushButton", "frame_6", "Save", {}},
        {"label_47", "QLabel", "Generate", "Image Layout", {}},
        {"frame_2", "QFrame", "Generate", "", {}},
        {"pushButton_14", "QPushButton", "frame_2", "Generate", {}},
    };
}

struct Row {
    const char *check, *label, *file, *browse, *offsetLabel, *offset;
    const char *fileName, *offsetText;
};

const Row kRows[] = {
    {"checkBox_2", "label_8", "lineEdit_4", "pushButton_4", "label_37", "lineEdit_8",
     "partition.bin", "0x00000000"},
    {"checkBox_3", "label_9", "lineEdit_9", "pushButton_5", "label_38", "lineEdit_10", "system.bin",
     "0x00001000"},
    {"checkBox_4", "label_24", "lineEdit_11", "pushButton_6", "label_39", "lineEdit_12",
     "calibration.bin", "0x00002000"},
    {"checkBox_5", "label_25", "lineEdit_13", "pushButton_7", "label_40", "lineEdit_14",
     "bootloader.bin", "0x00004000"},
    {"checkBox_6", "label_26", "lineEdit_15", "pushButton_8", "label_41", "lineEdit_16",
     "firmware 1.bin", "0x00010000"},
    {"checkBox_7", "label_32", "lineEdit_17", "pushButton_9", "label_42", "lineEdit_18",
     "firmware 2.bin", "0x00090000"},
    {"checkBox_8", "label_33", "lineEdit_19", "pushButton_10", "label_43", "lineEdit_20",
     "user 1.bin", "0x00110000"},
    {"checkBox_9", "label_34", "lineEdit_21", "pushButton_11", "label_44", "lineEdit_22",
     "user 2.bin", "0x00110000"},
    {"checkBox_10", "label_35", "lineEdit_23", "pushButton_12", "label_45", "lineEdit_24",
     "user 3.bin", "0x00110000"},
    {"checkBox_11", "label_36", "lineEdit_25", "pushButton_13", "label_46", "lineEdit_26",
     "user 4.bin", "0x00110000"},
};

QList<Expected> imageLayoutRows() {
    QList<Expected> list;
    int number = 1;
    for (const Row &row : kRows) {
        const QString n = QString::number(number++);
        list << Expected{row.check, "QCheckBox", "frame_2", "", {}}
             << Expected{row.label, "QLabel", "frame_2", "Bin " + n + ":", {}}
             << Expected{row.file, "QLineEdit", "frame_2", row.fileName, {}, false}
             << Expected{row.browse, "QPushButton", "frame_2", "Browse", {}, false}
             << Expected{row.offsetLabel, "QLabel", "frame_2", "Offset " + n + ":", {}}
             << Expected{row.offset, "QLineEdit", "frame_2", row.offsetText, {}, false};
    }
    return list;
}

QList<Expected> everyWidget() {
    return downloadPage() + systemDataArea() + imageLayoutRows();
}

QStringList itemsOf(QComboBox *combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

QString textOf(QWidget *w) {
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return button->text();
    if (auto *edit = qobject_cast<QLineEdit *>(w))
        return edit->text();
    if (auto *browser = qobject_cast<QTextBrowser *>(w))
        return browser->toPlainText();
    return QString();
}

} // namespace

class FormTest : public QObject {
    Q_OBJECT

    QMainWindow window;
    Ui::MainWindow ui;

  private slots:
    void initTestCase() { ui.setupUi(&window); }

    void widgetTree() {
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Kelvo_PGTool_Linux_v1.0.9"));
        QCOMPARE(window.centralWidget(), gt::widget(&window, "centralWidget"));
        QCOMPARE(ui.tabWidget->parentWidget(), window.centralWidget());
        QCOMPARE(ui.tabWidget->count(), 2);
        QCOMPARE(ui.tabWidget->tabText(0), QStringLiteral("Download"));
        QCOMPARE(ui.tabWidget->tabText(1), QStringLiteral("Generate"));
        QCOMPARE(ui.tabWidget->widget(0)->objectName(), QStringLiteral("Download"));
        QCOMPARE(ui.tabWidget->widget(1)->objectName(), QStringLiteral("Generate"));

        for (const Expected &e : everyWidget()) {
            QWidget *w = gt::widget(&window, e.name);
            QVERIFY2(w, e.name);
            QCOMPARE(QString(w->metaObject()->className()), QString(e.cls));
            QCOMPARE(w->parentWidget()->objectName(), QString(e.parent));
            QVERIFY2(w->isEnabled() == e.enabled, e.name);
            if (auto *combo = qobject_cast<QComboBox *>(w))
                QCOMPARE(itemsOf(combo), e.items);
            else
                QCOMPARE(textOf(w), e.text);
        }
    }

    void geometries() {
        QCOMPARE(window.size(), QSize(660, 559));
        const struct {
            const char *name;
            QRect rect;
        } samples[] = {
            {"tabWidget", {7, 0, 644, 551}},     {"frame", {10, 10, 624, 111}},
            {"lineEdit_2", {80, 35, 534, 41}},   {"frame_5", {326, 170, 308, 131}},
            {"comboBox_8", {100, 10, 198, 25}},  {"label_20", {300, 14, 91, 17}},
            {"pushButton_3", {525, 40, 89, 25}}, {"textBrowser", {10, 390, 624, 81}},
            {"progressBar", {10, 480, 241, 16}}, {"checkBox", {420, 490, 110, 20}},
            {"pushButton", {545, 480, 89, 23}},  {"cbForceOldOTAs", {125, 20, 118, 22}},
            {"cbFlashSize", {120, 80, 85, 27}},  {"label_47", {20, 152, 95, 17}},
            {"frame_2", {10, 160, 624, 351}},    {"pushButton_14", {271, 319, 81, 25}},
            {"checkBox_2", {62, 13, 18, 15}},    {"checkBox_11", {62, 289, 21, 22}},
        };
        for (const auto &s : samples)
            QCOMPARE(gt::widget(&window, s.name)->geometry(), s.rect);
        // The rows share their columns and follow their y.
        const int rowY[] = {13, 43, 72, 103, 136, 167, 198, 229, 260, 291};
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(gt::widget(&window, kRows[i].label)->geometry(), QRect(7, rowY[i], 52, 17));
            QCOMPARE(gt::widget(&window, kRows[i].browse)->x(), 368);
            QCOMPARE(gt::widget(&window, kRows[i].offset)->geometry(),
                     QRect(514, rowY[i], 100, 17));
        }
    }

    void fontsFramesCaptions() {
        QCOMPARE(ui.label_22->font().pointSize(), 14);
        QCOMPARE(ui.checkBox->font().pointSize(), 10);
        QCOMPARE(ui.label_47->font().pointSize(), 9);
        for (QWidget *w : ui.frame_2->findChildren<QWidget *>())
            QVERIFY2(w->font().pointSize() == 10, qPrintable(w->objectName()));
        for (QFrame *f : {ui.frame, ui.frame_2, ui.frame_3, ui.frame_4, ui.frame_5, ui.frame_6}) {
            QCOMPARE(f->frameShape(), QFrame::StyledPanel);
            QCOMPARE(f->frameShadow(), QFrame::Raised);
        }
        for (QLabel *caption :
             {ui.label, ui.label_5, ui.label_6, ui.label_7, ui.label_10, ui.label_47})
            QVERIFY2(caption->autoFillBackground(), qPrintable(caption->objectName()));
        QVERIFY(!ui.label_2->autoFillBackground());
        QCOMPARE(ui.progressBar->value(), 24);
    }

    void stacking() {
        const QStringList download{"frame",    "pushButton", "progressBar", "textBrowser",
                                   "checkBox", "label",      "comboBox",    "frame_5",
                                   "label_6",  "frame_3",    "frame_4",     "label_5",
                                   "label_7",  "label_22"};
        QCOMPARE(childOrder(ui.Download, download), download);
        const QStringList generate{"frame_2", "label_47", "frame_6", "label_10"};
        QCOMPARE(childOrder(ui.Generate, generate), generate);
        // The pin lists lie over the check box they partly cover.
        const QStringList systemData{"cbForceOldOTAs", "cbGPIO", "cbPin", "cbValue"};
        QCOMPARE(childOrder(ui.frame_6, systemData), systemData);
    }

    void initialSelection() {
        QCOMPARE(ui.tabWidget->currentIndex(), 0);
        QCOMPARE(ui.comboBox->currentText(), QStringLiteral("1. Program flash memory"));
        QCOMPARE(ui.comboBox_12->currentText(), QStringLiteral("2. Flash Chip Erase"));
        QCOMPARE(ui.comboBox_9->currentText(), QStringLiteral("921600"));
        QCOMPARE(ui.comboBox_8->currentText(), QStringLiteral("N/A"));
        QCOMPARE(ui.cbFlashSize->currentText(), QStringLiteral("2MB"));
        QVERIFY(!ui.checkBox->isChecked());
        QVERIFY(!ui.checkBox_2->isChecked());
        QVERIFY(ui.lineEdit->text().isEmpty());
    }

    void retranslateTwice() {
        ui.cbFlashSize->setCurrentIndex(3);
        ui.retranslateUi(&window);
        ui.retranslateUi(&window);
        for (const Expected &e : everyWidget()) {
            if (auto *combo = qobject_cast<QComboBox *>(gt::widget(&window, e.name)))
                QCOMPARE(itemsOf(combo), e.items);
            else
                QCOMPARE(textOf(gt::widget(&window, e.name)), e.text);
        }
        QCOMPARE(ui.cbFlashSize->currentText(), QStringLiteral("2MB"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Kelvo_PGTool_Linux_v1.0.9"));
    }

  private:
    // The given names in the order in which they are stacked (lowest first).
    static QStringList childOrder(QWidget *parent, const QStringList &names) {
        QStringList order;
        for (QObject *o : parent->children())
            if (names.contains(o->objectName()))
                order << o->objectName();
        return order;
    }
};

QTEST_MAIN(FormTest)
#include "tst_form.moc"
