// No text of either window is cut off at a Debian desktop's default font
// (DejaVu Sans at 100 dpi): every label, check box, push button and line
// edit is as wide as its text needs, inside its parent and not covered by
// a sibling stacked above it.
#include "guitest.h"
#include "mainwindow.h"
#include "systemdatamap.h"

#include <QtTest>
#include <QtWidgets>

namespace {

constexpr qreal kDesktopDpi = 100;
// What Qt picks on an X11 desktop with no theme of its own (the offscreen
// platform picks 12 points instead).
constexpr int kDesktopPointSize = 9;
// QLineEdit's own margin on each side of its text, and its cursor.
constexpr int kLineEditMargin = 2;
constexpr int kCursorWidth = 1;

// The widget's font as the desktop draws it.
QFontMetrics desktopMetrics(const QWidget *w) {
    QFont font = w->font();
    font.setPointSizeF(font.pointSizeF() * kDesktopDpi / w->logicalDpiX());
    return QFontMetrics(font);
}

QString textOf(const QWidget *w) {
    if (auto *label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    if (auto *edit = qobject_cast<const QLineEdit *>(w))
        return edit->text();
    return QString();
}

// Width the text needs with the style's margins around it.
int neededWidth(QWidget *w) {
    const QString text = textOf(w);
    const QFontMetrics fm = desktopMetrics(w);
    const int textWidth = fm.horizontalAdvance(text);
    const QSize contents(textWidth, fm.height());
    QStyle *style = w->style();
    if (auto *label = qobject_cast<QLabel *>(w))
        return textWidth + 2 * label->margin() + 2 * label->frameWidth();
    if (qobject_cast<QCheckBox *>(w)) {
        QStyleOptionButton opt;
        opt.initFrom(w);
        opt.text = text;
        return style->sizeFromContents(QStyle::CT_CheckBox, &opt, contents, w).width();
    }
    if (qobject_cast<QPushButton *>(w)) {
        // The style's minimum button width is looks, not room for the text.
        return textWidth + style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w) +
               2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
    }
    auto *edit = qobject_cast<QLineEdit *>(w);
    QStyleOptionFrame opt;
    opt.initFrom(w);
    opt.lineWidth =
        edit->hasFrame() ? style->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, w) : 0;
    const QMargins margins = edit->textMargins();
    const QSize inner(textWidth + 2 * kLineEditMargin + kCursorWidth + margins.left() +
                          margins.right(),
                      contents.height());
    return style->sizeFromContents(QStyle::CT_LineEdit, &opt, inner, w).width();
}

// Width of w left in view by its parent and its siblings: one stacked
// above hides the text, one below shows through it. A plain frame below is
// the panel that a caption sits on, which is meant.
int visibleWidth(QWidget *w) {
    QWidget *parent = w->parentWidget();
    int left = w->x(), right = qMin(w->geometry().right(), parent->width() - 1);
    bool above = false;
    for (QObject *o : parent->children()) {
        if (o == w) {
            above = true;
            continue;
        }
        auto *sibling = qobject_cast<QWidget *>(o);
        if (!sibling || sibling->isHidden() || !sibling->geometry().intersects(w->geometry()))
            continue;
        if (!above && QString(sibling->metaObject()->className()) == "QFrame")
            continue;
        if (sibling->x() <= left)
            left = qMax(left, sibling->geometry().right() + 1);
        else
            right = qMin(right, sibling->x() - 1);
    }
    return qMax(0, right - left + 1);
}

QStringList cutTexts(QWidget *root) {
    QStringList cut;
    for (QWidget *w : root->findChildren<QWidget *>()) {
        const bool walked = qobject_cast<QLabel *>(w) || qobject_cast<QCheckBox *>(w) ||
                            qobject_cast<QPushButton *>(w) || qobject_cast<QLineEdit *>(w);
        // Line edits inside combo boxes and spin boxes are the style's business.
        if (!walked || textOf(w).isEmpty() || !w->parentWidget() ||
            qobject_cast<QComboBox *>(w->parentWidget()))
            continue;
        const int needed = neededWidth(w), shown = visibleWidth(w);
        if (shown < needed)
            cut << QString("%1 \"%2\": %3 of %4")
                       .arg(w->objectName(), textOf(w))
                       .arg(shown)
                       .arg(needed);
    }
    return cut;
}

// Frames and pages must lie inside their parents, or their children are cut.
QStringList framesOutside(QWidget *root) {
    QStringList outside;
    for (QFrame *frame : root->findChildren<QFrame *>()) {
        QWidget *parent = frame->parentWidget();
        if (qobject_cast<QAbstractScrollArea *>(frame) || !parent ||
            qobject_cast<QAbstractScrollArea *>(parent) || frame->isWindow())
            continue;
        if (!parent->rect().contains(frame->geometry()) && frame->objectName().startsWith("frame"))
            outside << frame->objectName();
    }
    return outside;
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT

    std::unique_ptr<gt::WorkDir> dir;
    gt::FakeDialogs dialogs;

  private slots:
    void initTestCase() {
        QApplication::setFont(QFont("DejaVu Sans", kDesktopPointSize));
        QCOMPARE(QFontInfo(QApplication::font()).family(), QStringLiteral("DejaVu Sans"));
    }
    void init() { dir = std::make_unique<gt::WorkDir>(); }
    void cleanup() { dir.reset(); }

    // Both tabs, with the texts the window shows in use: a chosen image
    // with its digest and the record's offset.
    void mainWindowTexts() {
        const QString image = dir->file("image.bin");
        kt::writeFile(image.toStdString(), "firmware");
        MainWindow window(nullptr, &dialogs);
        dialogs.nextFileName = image;
        gt::child<QPushButton>(&window, "pushButton_2")->click();
        QCOMPARE(gt::child<QLineEdit>(&window, "lineEdit_2")->text().size(), 64);
        gt::child<QLineEdit>(&window, "lineEdit")->setText("image.bin");
        window.show();
        auto *tabs = gt::child<QTabWidget>(&window, "tabWidget");
        QVERIFY(window.rect().contains(tabs->geometry()));
        QStringList cut, outside;
        for (int tab = 0; tab < tabs->count(); ++tab) {
            tabs->setCurrentIndex(tab);
            QCoreApplication::processEvents();
            cut << cutTexts(tabs->widget(tab));
            outside << framesOutside(tabs->widget(tab));
        }
        for (const QString &line : cut + outside)
            qWarning("%s", qPrintable(line));
        QVERIFY(cut.isEmpty());
        QVERIFY(outside.isEmpty());
    }

    void systemDataMapTexts() {
        SystemDataMap map(nullptr, &dialogs);
        map.show();
        QCoreApplication::processEvents();
        const QStringList cut = cutTexts(&map);
        for (const QString &line : cut)
            qWarning("%s", qPrintable(line));
        QVERIFY(cut.isEmpty());
        auto *view = gt::child<QTableView>(&map, "tvSystemData");
        QVERIFY(map.rect().contains(view->geometry()));
        QVERIFY(map.rect().contains(gt::widget(&map, "btSync")->geometry()));
    }
};

QTEST_MAIN(LayoutTest)
#include "tst_layout.moc"
