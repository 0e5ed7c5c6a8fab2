#include "app/updatesplash.h"

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

namespace {
constexpr int splashWidth = 360;
constexpr int splashHeight = 120;
} // namespace

UpdateSplash::UpdateSplash(QWidget *parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      statusLabel(new QLabel(tr("Checking for updates..."), this)),
      progressBar(new QProgressBar(this))
{
    setFixedSize(splashWidth, splashHeight);
    setStyleSheet(QStringLiteral(
        "background-color: #1a1a1a; border: 2px solid #c41e3a; border-radius: 8px;"));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 15, 20, 15);

    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setStyleSheet(
        QStringLiteral("color: #ffffff; font-size: 11pt; background: transparent;"));
    statusLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(statusLabel);

    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 0); // busy until there is something to measure
    progressBar->setStyleSheet(QStringLiteral(
        "QProgressBar { border: 1px solid #555; border-radius: 4px; background: #2a2a2a; "
        "height: 18px; }QProgressBar::chunk { background: #c41e3a; border-radius: 3px; }"));
    layout->addWidget(progressBar);

    // Centred on the primary screen's size alone, as the window was always placed.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QSize size = screen->geometry().size();
        move((size.width() - splashWidth) / 2, (size.height() - splashHeight) / 2);
    }
}

QString UpdateSplash::statusText() const
{
    return statusLabel->text();
}

void UpdateSplash::showUpToDate()
{
    statusLabel->setText(tr("Launcher is up to date!"));
    progressBar->setRange(0, 100);
    progressBar->setValue(100);
}

void UpdateSplash::showCheckFailed()
{
    statusLabel->setText(tr("Update check failed — starting launcher..."));
}

void UpdateSplash::showDownloading(const QString &version)
{
    statusLabel->setText(tr("Downloading update v%1...").arg(version));
    progressBar->setRange(0, 100);
}

void UpdateSplash::showProgress(qint64 received, qint64 total)
{
    // The total is 0 or -1 while the server has not said how much will come.
    if (total > 0)
        progressBar->setValue(static_cast<int>(received * 100 / total));
}

void UpdateSplash::showDownloaded()
{
    statusLabel->setText(tr("Update downloaded! Restarting..."));
    progressBar->setValue(100);
}
