#include "systemdatamap.h"

#include "dialogs.h"
#include "savefile.h"
#include "systemdata.h"
#include "textconvert.h"
#include "ui_systemdatamap.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QStandardItemModel>

namespace {

constexpr int kHexBase = 16;
constexpr int kBytesPerRow = 16;
constexpr int kRows = kSystemDataSize / kBytesPerRow;
constexpr int kAddressColumn = 0;
constexpr int kFirstByteColumn = 1;
constexpr int kColumns = kFirstByteColumn + kBytesPerRow;
// Where the firmware sees byte 0 of the block.
constexpr quint32 kBlockAddress = 0x98001000;
constexpr int kAddressColumnWidth = 100;
constexpr int kByteColumnWidth = 40;
constexpr int kViewHeight = 400;
constexpr int kMargin = 10;

Dialogs *realDialogs() {
    static Dialogs dialogs;
    return &dialogs;
}

QString addressLabel(int row) {
    return "0x" + QString::number(kBlockAddress + quint32(row * kBytesPerRow), kHexBase);
}

QString byteText(unsigned char byte) {
    return QString("%1").arg(byte, 2, kHexBase, QChar('0')).toUpper();
}

QStandardItem *addressItem(int row) {
    auto *item = new QStandardItem(addressLabel(row));
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

} // namespace

SystemDataMap::SystemDataMap(QWidget *parent, Dialogs *dialogs)
    : QDialog(parent), ui(new Ui::SystemDataMap), dialogs_(dialogs ? dialogs : realDialogs()),
      model_(new QStandardItemModel(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    ui->setupUi(this);
    InitSystemDataMap();
    fitGrid();
}

// Wide enough for the address and all 16 byte columns beside the row
// numbers and the scroll bar, whatever the font.
void SystemDataMap::fitGrid() {
    QTableView *view = ui->tvSystemData;
    const int width = view->verticalHeader()->sizeHint().width() +
                      view->horizontalHeader()->length() +
                      view->verticalScrollBar()->sizeHint().width() + 2 * view->frameWidth();
    view->setFixedSize(width, kViewHeight);
    const int windowWidth = width + 2 * kMargin;
    ui->btSync->move(windowWidth - kMargin - ui->btSync->width(), ui->btSync->y());
    resize(windowWidth, height());
}

SystemDataMap::~SystemDataMap() {
    delete ui;
}

void SystemDataMap::InitSystemDataMap() {
    ui->tvSystemData->setModel(model_);
    ui->tvSystemData->setFixedHeight(kViewHeight);
    ui->tvSystemData->show();
    model_->setColumnCount(kColumns);
    model_->setRowCount(kRows);
    model_->setHorizontalHeaderItem(kAddressColumn, new QStandardItem(tr("Address")));
    for (int i = 0; i < kBytesPerRow; ++i) {
        const QString digit = QString::number(i, kHexBase).toUpper();
        model_->setHorizontalHeaderItem(kFirstByteColumn + i, new QStandardItem(digit));
    }
    ui->tvSystemData->setColumnWidth(kAddressColumn, kAddressColumnWidth);
    for (int column = kFirstByteColumn; column < kColumns; ++column)
        ui->tvSystemData->setColumnWidth(column, kByteColumnWidth);
    for (int row = 0; row < kRows; ++row) {
        for (int i = 0; i < kBytesPerRow; ++i)
            model_->setItem(row, kFirstByteColumn + i, new QStandardItem("FF"));
        model_->setItem(row, kAddressColumn, addressItem(row));
    }
}

void SystemDataMap::showBytes(const QByteArray &block) {
    const int count = qMin(block.size(), kSystemDataSize);
    for (int i = 0; i < count; ++i) {
        const QModelIndex cell =
            model_->index(i / kBytesPerRow, kFirstByteColumn + i % kBytesPerRow);
        model_->setData(cell, byteText(static_cast<unsigned char>(block[i])));
    }
}

QByteArray SystemDataMap::gatherBytes(QString *problem) const {
    QByteArray block(kSystemDataSize, char(0));
    for (int i = 0; i < kSystemDataSize; ++i) {
        const int row = i / kBytesPerRow;
        const QModelIndex cell = model_->index(row, kFirstByteColumn + i % kBytesPerRow);
        const QString text = model_->data(cell, Qt::DisplayRole).toString();
        const int byte = textconvert::cellByte(text);
        if (byte < 0) {
            *problem = tr("Row %1 (%2), column %3: \"%4\" is not a number from 00 to FF")
                           .arg(row + 1)
                           .arg(addressLabel(row))
                           .arg(model_->headerData(cell.column(), Qt::Horizontal).toString())
                           .arg(text);
            return QByteArray();
        }
        block[i] = char(byte);
    }
    return block;
}

// Nothing is saved while a cell is not a byte: a wrong block in the
// system-data region misconfigures the chip.
void SystemDataMap::on_btSync_clicked() {
    QString problem;
    const QByteArray system_data_map = gatherBytes(&problem);
    if (!problem.isEmpty()) {
        dialogs_->information(this, tr("Kelvo PG Tool"), problem);
        return;
    }
    const QString name = dialogs_->saveFileName(this, tr("Save file"), "system.bin",
                                                tr("bin Files(*.bin);;All Files(*.*)"));
    if (name.isEmpty())
        return;
    const QString reason = saveWholeFile(name, system_data_map);
    if (!reason.isEmpty())
        dialogs_->information(this, tr("Kelvo PG Tool"), notSavedMessage(name, reason));
}
