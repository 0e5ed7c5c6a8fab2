#include "ui/theme.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>

namespace {

// Paints the band before the label paints its text; the label's paint goes on as usual.
class BandFilter : public QObject
{
public:
    explicit BandFilter(QLabel *label) : QObject(label), label(label) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == label && event->type() == QEvent::Paint && !label->text().isEmpty()) {
            // The same band as the window-wide label rule: rgba(0, 0, 0, 150), radius 3 px.
            QPainter painter(label);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0, 0, 0, 150));
            painter.drawRoundedRect(QRectF(label->rect()), 3.0, 3.0);
        }
        return false;
    }

private:
    QLabel *label;
};

} // namespace

namespace theme {

QString dialogStyleSheet()
{
    return QStringLiteral(R"(
QDialog {
    background-color: #1c1c21;
    border: 1px solid rgba(196, 30, 58, 160);
}
QDialog QLabel {
    color: #f0f0f0;
    font-size: 11pt;
    font-weight: normal;
    background-color: transparent;
    padding: 0px;
    border-radius: 0px;
}
QDialogButtonBox {
    dialogbuttonbox-buttons-have-icons: 0;
}
QDialog QPushButton {
    background-color: rgba(196, 30, 58, 220);
    color: #ffffff;
    border: 1px solid rgba(255, 255, 255, 90);
    border-radius: 4px;
    padding: 6px 18px;
    min-width: 60px;
    font-size: 10pt;
    font-weight: bold;
}
QDialog QPushButton:default {
    border: 1px solid rgba(255, 255, 255, 200);
}
QDialog QPushButton:hover {
    background-color: rgba(224, 32, 64, 240);
}
QDialog QPushButton:pressed {
    background-color: rgba(160, 24, 40, 230);
}
QDialog QPushButton:disabled {
    background-color: rgba(102, 102, 102, 150);
    color: #999999;
}
QDialog QLineEdit, QDialog QComboBox, QDialog QAbstractSpinBox {
    background-color: #111114;
    color: #ffffff;
    border: 1px solid rgba(196, 30, 58, 150);
    border-radius: 4px;
    padding: 4px 8px;
    font-size: 10pt;
    selection-background-color: rgba(196, 30, 58, 200);
}
QDialog QLineEdit:focus, QDialog QComboBox:focus, QDialog QAbstractSpinBox:focus {
    border: 1px solid rgba(196, 30, 58, 255);
}
QDialog QAbstractItemView {
    background-color: #111114;
    alternate-background-color: #18181c;
    color: #f0f0f0;
    border: 1px solid rgba(255, 255, 255, 40);
    selection-background-color: rgba(196, 30, 58, 200);
    selection-color: #ffffff;
}
QDialog QHeaderView::section {
    background-color: #26262c;
    color: #f0f0f0;
    border: none;
    border-right: 1px solid #1c1c21;
    padding: 3px 6px;
}
QDialog QCheckBox, QDialog QRadioButton, QDialog QGroupBox {
    color: #f0f0f0;
    font-size: 10pt;
}
SettingsDialog {
    background-color: rgb(24, 24, 28);
}
SettingsDialog QLabel {
    font-size: 10pt;
    background-color: transparent;
    padding: 2px;
}
SettingsDialog QLabel#sectionLabel {
    font-size: 11pt;
    font-weight: bold;
    color: #e0b040;
}
SettingsDialog QLabel#noteLabel {
    font-size: 9pt;
    color: #aaaaaa;
}
SettingsDialog QPushButton {
    font-size: 10pt;
    padding: 6px 14px;
}
QDialog QPushButton:focus {
    border: 2px solid rgba(255, 255, 255, 230);
}
SettingsDialog QLineEdit {
    font-size: 10pt;
    padding: 4px 8px;
}
SettingsDialog QAbstractSpinBox {
    background-color: rgba(20, 20, 20, 200);
    color: #ffffff;
    font-size: 10pt;
    border: 2px solid rgba(196, 30, 58, 150);
    border-radius: 5px;
    padding: 4px 8px;
}
SettingsDialog QAbstractSpinBox:focus {
    border: 2px solid rgba(196, 30, 58, 255);
}
SettingsDialog QAbstractSpinBox:disabled {
    color: #888888;
    border: 2px solid rgba(100, 100, 100, 100);
}
SettingsDialog QAbstractSpinBox::up-button, SettingsDialog QAbstractSpinBox::down-button {
    subcontrol-origin: border;
    width: 18px;
    background-color: rgba(196, 30, 58, 110);
    border-left: 1px solid rgba(196, 30, 58, 150);
}
SettingsDialog QAbstractSpinBox::up-button {
    subcontrol-position: top right;
    border-top-right-radius: 4px;
}
SettingsDialog QAbstractSpinBox::down-button {
    subcontrol-position: bottom right;
    border-bottom-right-radius: 4px;
}
SettingsDialog QAbstractSpinBox::up-button:hover, SettingsDialog QAbstractSpinBox::down-button:hover {
    background-color: rgba(224, 32, 64, 200);
}
SettingsDialog QAbstractSpinBox::up-arrow {
    image: url(:/images/spin_up.png);
    width: 10px;
    height: 6px;
}
SettingsDialog QAbstractSpinBox::down-arrow {
    image: url(:/images/spin_down.png);
    width: 10px;
    height: 6px;
}
SettingsDialog QAbstractSpinBox::up-arrow:disabled, SettingsDialog QAbstractSpinBox::up-arrow:off,
SettingsDialog QAbstractSpinBox::down-arrow:disabled, SettingsDialog QAbstractSpinBox::down-arrow:off {
    image: none;
}
SettingsDialog QProgressBar {
    min-height: 22px;
}
)");
}

void bandBehindText(QLabel *label)
{
    label->installEventFilter(new BandFilter(label));
}

} // namespace theme
