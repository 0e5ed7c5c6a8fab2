// A stand-in for the game client in the demo: one window that stays open until the player
// closes it (or the launcher ends the game). The launcher's argument "0" means nothing here.
#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLabel window(QStringLiteral("Veyrun demo game\n\nClose this window to leave the game."));
    window.setWindowTitle(QStringLiteral("Veyrun demo game"));
    window.setAlignment(Qt::AlignCenter);
    window.setStyleSheet(QStringLiteral(
        "background-color: #14181c; color: #e8e0d0; font-size: 20pt; font-weight: bold;"));
    window.resize(640, 400);
    window.show();
    return QApplication::exec();
}
