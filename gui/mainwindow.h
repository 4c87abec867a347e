#pragma once

#include <QByteArray>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <mutex>

#include "windowlogic.h"

class Dialogs;
namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // dialogs: the seam for file dialogs and message boxes; nullptr uses
    // the real ones. The window does not take ownership.
    explicit MainWindow(QWidget *parent = nullptr, Dialogs *dialogs = nullptr);
    ~MainWindow() override;

    struct generatefileinfo {
        QString path;
        int32_t size = 0;
    };

    void trig_xmodem_download();
    void clear_stats_onDisplay();
    void showPopupMsg(QString message);
    bool checkFileExists(QString path);
    int32_t checkFileSize(QString path);
    QByteArray GenerateSystemData();

    // True while a download or an erase runs on the worker.
    bool isBusy() const;
    // True while "Generate" writes its image on the worker.
    bool isComposing() const;
    Dialogs *dialogs() const;

  signals:
    // Emitted on the window thread when a download or erase has ended.
    void operationFinished(int result);
    // Emitted on the window thread when a composed image has been written
    // (or has failed), after its message was shown.
    void composeFinished();

  protected:
    // Closing during an operation cancels it and waits a little for the
    // worker, so that the port is released before the window goes.
    void closeEvent(QCloseEvent *event) override;

  private slots:
    void on_pushButton_2_clicked();
    void on_pushButton_clicked();
    void on_pushButton_3_clicked();
    void on_comboBox_8_activated(int index);
    void on_pushButton_4_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_8_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_10_clicked();
    void on_pushButton_11_clicked();
    void on_pushButton_12_clicked();
    void on_pushButton_13_clicked();
    void on_checkBox_2_stateChanged(int state);
    void on_checkBox_3_stateChanged(int state);
    void on_checkBox_4_stateChanged(int state);
    void on_checkBox_5_stateChanged(int state);
    void on_checkBox_6_stateChanged(int state);
    void on_checkBox_7_stateChanged(int state);
    void on_checkBox_8_stateChanged(int state);
    void on_checkBox_9_stateChanged(int state);
    void on_checkBox_10_stateChanged(int state);
    void on_checkBox_11_stateChanged(int state);
    void on_pushButton_14_clicked();
    void on_btSave_clicked();
    void on_btLoad_clicked();
    void on_btEdit_clicked();

  private:
    enum class Operation { None, Download, Erase };

    void fillPortList(const QStringList &ports);
    QString selectedDevice() const;
    bool storeFlashOffset();
    void showStoredOffset();
    void showStoredBaudRate();
    void showImageDigest();
    void onComposeFinished();
    static void captureLine(int32_t level, const char *line, void *window);
    QStringList takeCapturedLines();
    void disableUnofferedEntries();
    void showStoredImagePath();
    QString storedImagePath() const;
    void setBusy(bool busy);
    void startOperation(Operation operation, const QFuture<int> &future);
    void onOperationFinished();
    void followProgress();
    void printTransferTotal(int64_t total);
    bool stored(int result);
    void appendLog(const QString &line);
    void appendResultLine(int result);
    void showStatus(bool success);
    void showDownloadResult(int result);
    void showEraseResult(int result);

    Ui::MainWindow *ui;
    Dialogs *dialogs_;
    QByteArray system_data;
    QFutureWatcher<int> watcher_;
    QFutureWatcher<QString> composeWatcher_;
    bool composing_ = false; // until the window has shown the outcome
    // The serial layer's error and warning lines of the operation in flight,
    // written by the worker.
    std::mutex capturedLock_;
    QStringList capturedLines_;
    int capturedLinesDropped_ = 0;
    QTimer progressTimer_;
    Operation running_ = Operation::None;
    QString offeredDevice_;     // the record's device in the port list, or ""
    bool totalPrinted_ = false; // the download's byte count is on standard output
};
