#include "systemdatamap.h"

#include "dialogs.h"
#include "savefile.h"
#include "systemdata.h"
#include "textconvert.h"
#include "ui_systemdatamap.h"

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
constexpr int kViewWidth = 780;
constexpr int kViewHeight = 400;

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

} // namespace

SystemDataMap::SystemDataMap(QWidget *parent, Dialogs *dialogs)
    : QDialog(parent), ui(new Ui::SystemDataMap), dialogs_(dialogs ? dialogs : realDialogs()),
      model_(new QStandardItemModel(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    ui->setupUi(this);
    InitSystemDataMap();
}

SystemDataMap::~SystemDataMap() {
    delete ui;
}

void SystemDataMap::InitSystemDataMap() {
    ui->tvSystemData->setModel(model_);
    ui->tvSystemData->setFixedSize(kViewWidth, kViewHeight);
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
        model_->setItem(row, kAddressColumn, new QStandardItem(addressLabel(row)));
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

QByteArray SystemDataMap::gatherBytes() const {
    QByteArray block(kSystemDataSize, char(0));
    for (int i = 0; i < kSystemDataSize; ++i) {
        const QModelIndex cell =
            model_->index(i / kBytesPerRow, kFirstByteColumn + i % kBytesPerRow);
        block[i] = textconvert::cellByte(model_->data(cell, Qt::DisplayRole).toString());
    }
    return block;
}

void SystemDataMap::on_btSync_clicked() {
    const QByteArray system_data_map = gatherBytes();
    const QString name = dialogs_->saveFileName(this, tr("Save file"), "system.bin", ".bin");
    if (name.isEmpty())
        return;
    const QString reason = saveWholeFile(name, system_data_map);
    if (!reason.isEmpty())
        dialogs_->information(this, tr("Kelvo PG Tool"), notSavedMessage(name, reason));
}
