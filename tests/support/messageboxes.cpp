#include "support/messageboxes.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

namespace testsupport {

MessageBoxAnswerer::MessageBoxAnswerer(QMessageBox::StandardButton answer, QObject *parent)
    : QObject(parent), timer(new QTimer(this)), answer(answer)
{
    connect(timer, &QTimer::timeout, this, &MessageBoxAnswerer::poll);
    timer->start(10);
}

void MessageBoxAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    QPushButton *defaultButton = box->defaultButton();
    seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                 defaultButton ? box->standardButton(defaultButton) : QMessageBox::NoButton,
                 box->informativeText(), box->detailedText()});
    if (QAbstractButton *button = box->button(answer))
        button->click();
    else
        box->reject();
}

} // namespace testsupport
