// Generate page: image layout rows and the system-data block.
// Placeholder bodies until the page is built.
#include "mainwindow.h"

void MainWindow::on_pushButton_4_clicked() {}
void MainWindow::on_pushButton_5_clicked() {}
void MainWindow::on_pushButton_6_clicked() {}
void MainWindow::on_pushButton_7_clicked() {}
void MainWindow::on_pushButton_8_clicked() {}
void MainWindow::on_pushButton_9_clicked() {}
void MainWindow::on_pushButton_10_clicked() {}
void MainWindow::on_pushButton_11_clicked() {}
void MainWindow::on_pushButton_12_clicked() {}
void MainWindow::on_pushButton_13_clicked() {}
void MainWindow::on_checkBox_2_stateChanged(int) {}
void MainWindow::on_checkBox_3_stateChanged(int) {}
void MainWindow::on_checkBox_4_stateChanged(int) {}
void MainWindow::on_checkBox_5_stateChanged(int) {}
void MainWindow::on_checkBox_6_stateChanged(int) {}
void MainWindow::on_checkBox_7_stateChanged(int) {}
void MainWindow::on_checkBox_8_stateChanged(int) {}
void MainWindow::on_checkBox_9_stateChanged(int) {}
void MainWindow::on_checkBox_10_stateChanged(int) {}
void MainWindow::on_checkBox_11_stateChanged(int) {}
void MainWindow::on_pushButton_14_clicked() {}
void MainWindow::on_btSave_clicked() {}
void MainWindow::on_btLoad_clicked() {}
void MainWindow::on_btEdit_clicked() {}

QByteArray MainWindow::GenerateSystemData() { return QByteArray(4096, char(0xFF)); }
