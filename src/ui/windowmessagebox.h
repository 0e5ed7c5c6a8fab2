#pragma once

#include <QMessageBox>
#include <QPointer>

class QLabel;

// A message box over the launcher's window that leaves the window's status line readable: it
// opens just below that line, or above it where there is no room below, instead of across it.
class WindowMessageBox : public QMessageBox
{
    Q_OBJECT

public:
    WindowMessageBox(Icon icon, const QString &title, const QString &text, StandardButtons buttons,
                     QWidget *window, QLabel *statusLine);

protected:
    void showEvent(QShowEvent *event) override;

private:
    QPointer<QLabel> statusLine;
};
