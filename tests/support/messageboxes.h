#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>

class QTimer;

namespace testsupport {

// Answers the application's modal message boxes while it lives: a timer looks for the active
// modal QMessageBox every few milliseconds, notes what it shows and clicks the chosen button.
class MessageBoxAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QString informativeText;
        QString detailedText;
    };

    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok,
                                QObject *parent = nullptr);

    // The button for the boxes still to come; a box without it is closed with Escape.
    void setAnswer(QMessageBox::StandardButton answer) { this->answer = answer; }
    // Every box answered so far, oldest first.
    QList<Box> boxes() const { return seen; }
    int count() const { return int(seen.size()); }
    const Box &last() const { return seen.last(); }
    void clear() { seen.clear(); }

private:
    void poll();

    QTimer *timer;
    QMessageBox::StandardButton answer;
    QList<Box> seen;
};

} // namespace testsupport
