// The "System Data Map" window: the 4096-byte system-data block as a grid
// of 256 rows of 16 hexadecimal cells, and "Sync" to save it.
#pragma once

#include <QByteArray>
#include <QDialog>

class Dialogs;
class QStandardItemModel;
namespace Ui {
class SystemDataMap;
}

class SystemDataMap : public QDialog {
    Q_OBJECT

  public:
    // dialogs: the seam for the save dialog and message boxes; nullptr uses
    // the real ones. The window does not take ownership. Each window owns
    // its grid and deletes itself when closed.
    explicit SystemDataMap(QWidget *parent = nullptr, Dialogs *dialogs = nullptr);
    ~SystemDataMap() override;

    // Resets the grid: address labels and every cell "FF".
    void InitSystemDataMap();
    // Puts the block's bytes into the cells; bytes beyond it stay as they are.
    void showBytes(const QByteArray &block);
    // The block as the cells read now; empty, with *problem naming the
    // first cell that is not a byte, when one is not.
    QByteArray gatherBytes(QString *problem) const;

  private slots:
    void on_btSync_clicked();

  private:
    void fitGrid();

    Ui::SystemDataMap *ui;
    Dialogs *dialogs_;
    QStandardItemModel *model_;
};
