#include "ui/mainwindow.h"

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Veyrun Launcher"));
    setFixedSize(600, 680);
}
