#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
    setAttribute(Qt::WA_TranslucentBackground);
    // No window mask: the rounded shape comes from the translucent painting alone.
    clearMask();
    update();

    updateUI();
    ui->versionLabel->setText(QStringLiteral("v%1").arg(QCoreApplication::applicationVersion()));
}

MainWindow::~MainWindow() = default;

void MainWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    QPainterPath frame;
    frame.addRoundedRect(0, 0, width(), height(), 12.0, 12.0);

    const QPixmap background(backgroundImagePath());
    if (background.isNull()) {
        painter.fillPath(frame, QColor(20, 20, 20));
    } else {
        painter.setClipPath(frame);
        // Fill the whole window and crop the overhang equally on both sides.
        const QPixmap scaled =
            background.scaled(size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        painter.drawPixmap((width() - scaled.width()) / 2, (height() - scaled.height()) / 2,
                           scaled);
        painter.setClipping(false);
    }

    painter.setPen(
        QPen(QColor(140, 146, 152, 200), 3.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawPath(frame);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    clearMask();
    update();
}

// Presses that no child takes (background, labels) grab the window; buttons and fields keep theirs.
void MainWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        dragPosition = event->globalPosition().toPoint() - frameGeometry().topLeft();
        event->accept();
    }
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - dragPosition);
        event->accept();
    }
}

void MainWindow::updateUI()
{
    const bool loggingIn = state == Login;
    ui->loginPanel->setVisible(loggingIn);
    const std::initializer_list<QWidget *> sessionWidgets{
        ui->statusLabel, ui->progressBar,    ui->downloadLabel, ui->currentFileLabel,
        ui->playButton,  ui->settingsButton, ui->loggedInLabel, ui->logoutButton};
    for (QWidget *widget : sessionWidgets)
        widget->setVisible(!loggingIn);

    if (!loggingIn)
        ui->loggedInLabel->setText(tr("Logged in as: %1").arg(currentAccountName()));

    switch (state) {
    case Login:
        ui->loginErrorLabel->clear();
        ui->retryButton->hide();
        ui->loginButton->setEnabled(true);
        ui->loginButton->setText(tr("LOG IN"));
        ui->loginEdit->setEnabled(true);
        ui->passwordEdit->setEnabled(true);
        break;
    case Initializing:
        ui->statusLabel->setText(tr("Initializing..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setValue(0);
        break;
    case DownloadingClient:
        ui->statusLabel->setText(tr("Downloading game client..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(100);
        ui->progressBar->setValue(0);
        break;
    case ExtractingClient:
        ui->statusLabel->setText(tr("Extracting client..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(0);
        break;
    case Verifying:
        ui->statusLabel->setText(tr("Verifying files..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(0);
        break;
    case Downloading:
        ui->statusLabel->setText(tr("Downloading updates..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(100);
        break;
    case Ready:
        ui->statusLabel->setText(tr("Ready!"));
        ui->playButton->setEnabled(true);
        ui->playButton->setText(tr("PLAY"));
        ui->progressBar->setMaximum(100);
        ui->progressBar->setValue(100);
        break;
    case GameRunning:
        ui->statusLabel->setText(tr("Game running..."));
        ui->playButton->setEnabled(true);
        ui->playButton->setText(tr("Stop Game"));
        ui->progressBar->setValue(100);
        break;
    }
}

// The account named in the account line; nobody signs in before the auth client joins the window.
QString MainWindow::currentAccountName() const
{
    return QString();
}

QString MainWindow::backgroundImagePath() const
{
    return QStringLiteral(":/images/background.png");
}
