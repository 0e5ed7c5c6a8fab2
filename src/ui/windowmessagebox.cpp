#include "ui/windowmessagebox.h"

#include <QCoreApplication>
#include <QLabel>

WindowMessageBox::WindowMessageBox(Icon icon, const QString &title, const QString &text,
                                   StandardButtons buttons, QWidget *window, QLabel *statusLine)
    : QMessageBox(icon, title, text, buttons, window), statusLine(statusLine)
{}

void WindowMessageBox::showEvent(QShowEvent *event)
{
    // The box has its final size here, and is not on the screen yet.
    QMessageBox::showEvent(event);
    QWidget *window = parentWidget();
    if (!window || !statusLine || !statusLine->isVisible() || statusLine->text().isEmpty())
        return;
    // A text set just before the box may not have its lines laid out yet.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const QRect line(statusLine->mapToGlobal(QPoint(0, 0)), statusLine->size());
    const QRect area = window->frameGeometry();
    const QRect box = frameGeometry();
    if (!box.intersects(line))
        return;
    static constexpr int gap = 6;
    if (line.bottom() + gap + box.height() <= area.bottom())
        move(box.x(), line.bottom() + gap);
    else if (line.top() - gap - box.height() >= area.top())
        move(box.x(), line.top() - gap - box.height());
}
