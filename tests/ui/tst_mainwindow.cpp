#include "core/launcherconfig.h"
#include "files/manifest.h"
#include "support/messageboxes.h"
#include "support/smalldisk.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// A window that paints another image than the built-in background.
class WindowWithBackground : public MainWindow
{
public:
    explicit WindowWithBackground(const QString &path) : path(path) {}

private:
    QString backgroundImagePath() const override { return path; }

    QString path;
};

// Shows the window so its layout is in place, then renders it with its transparent parts.
QImage snapshot(QWidget &window)
{
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return QImage();
    return window.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

bool near(const QColor &actual, int red, int green, int blue, int alpha = 255, int tolerance = 3)
{
    return qAbs(actual.red() - red) <= tolerance && qAbs(actual.green() - green) <= tolerance &&
           qAbs(actual.blue() - blue) <= tolerance && qAbs(actual.alpha() - alpha) <= tolerance;
}

QString describe(const QColor &colour)
{
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue())
        .arg(colour.alpha());
}

// Points near the four edges and low on the left where no widget covers the painted background.
const QList<QPoint> barePoints{{8, 400}, {591, 400}, {300, 5}, {300, 674}, {40, 600}};

bool isBare(const QWidget &window, const QPoint &point)
{
    const QWidget *child = window.childAt(point);
    return child && (child->objectName() == "centralwidget" || child->objectName() == "loginPanel");
}

// Three bands along the image's long side; only the middle band has the window's proportions.
QImage bandedImage(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    const bool wide = size.width() * 680 > size.height() * 600;
    const int length = wide ? size.width() : size.height();
    const int middle = wide ? size.height() * 600 / 680 : size.width() * 680 / 600;
    const int edge = (length - middle) / 2;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int along = wide ? x : y;
            const QRgb colour = along < edge            ? qRgb(255, 0, 0)
                                : along < edge + middle ? qRgb(0, 255, 0)
                                                        : qRgb(0, 0, 255);
            image.setPixel(x, y, colour);
        }
    }
    return image;
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void windowIsFramelessFixedAndTitled();
    void resourcesHoldTheFiveImages();

    void updateUIShowsEachPhase_data();
    void updateUIShowsEachPhase();

    void paintsDarkRoundedWindowWithoutBackground();
    void paintsBackgroundImageUnscaled();
    void cropsOtherProportionsSymmetrically_data();
    void cropsOtherProportionsSymmetrically();

    void dragStartsOnlyWhereNoChildTakesThePress_data();
    void dragStartsOnlyWhereNoChildTakesThePress();
    void dragNeedsTheLeftButton();

    void discordTextFitsOnceLoggedIn();
    void emptyProgressLinesShowNoBand();
    void loginFormStaysPut();
    void dialogsAreDarkAndReadable();
    void messageBoxLeavesStatusLineReadable_data();
    void messageBoxLeavesStatusLineReadable();
    void questionsWarnOfAShortDisk();

private:
    static void enter(MainWindow &window, MainWindow::LauncherState state)
    {
        window.state = state;
        window.updateUI();
    }
    static bool dragging(const MainWindow &window) { return window.dragging; }
    static void failLogin(MainWindow &window, const QString &message)
    {
        window.onSessionRegistered(false, message);
    }
    static void logOut(MainWindow &window) { window.onLogoutButtonClicked(); }
    static void showBox(MainWindow &window, const QString &text)
    {
        window.showBox(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
    }

    QTemporaryDir scratch;
};

void MainWindowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    Q_INIT_RESOURCE(resources);
    // No game to restore from a saved PID, and a closed port for the auth client.
    QVERIFY(scratch.isValid());
    qputenv("HOME", QFile::encodeName(scratch.filePath(QStringLiteral("home"))));
    LauncherConfig::instance().authUrl = QStringLiteral("http://127.0.0.1:9/api/auth");
    QCoreApplication::setApplicationVersion(QStringLiteral("9.8.7"));
    QVERIFY(scratch.isValid());
}

void MainWindowTest::windowIsFramelessFixedAndTitled()
{
    MainWindow window;
    // Until the first health check answers.
    QCOMPARE(window.findChild<QLabel *>("serverStatusLabel")->text(),
             QStringLiteral("● Connecting..."));
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Veyrun Launcher"));
    QVERIFY(window.isWindow());
    QCOMPARE(window.windowFlags() & ~Qt::WindowType_Mask,
             Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
    QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(!window.windowIcon().isNull());

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(600, 680));
    window.resize(800, 500);
    QCOMPARE(window.size(), QSize(600, 680));
    QCOMPARE(window.minimumSize(), QSize(600, 680));
    QCOMPARE(window.maximumSize(), QSize(600, 680));

    QCOMPARE(window.findChild<QLabel *>("versionLabel")->text(), QStringLiteral("v9.8.7"));
    // A fresh window asks for the login and shows nothing of a session.
    QVERIFY(window.findChild<QWidget *>("loginPanel")->isVisible());
    QVERIFY(!window.findChild<QWidget *>("retryButton")->isVisible());
    QVERIFY(!window.findChild<QWidget *>("statusLabel")->isVisible());
    QVERIFY(!window.findChild<QWidget *>("playButton")->isVisible());
    QVERIFY(window.findChild<QWidget *>("discordButton")->isVisible());
    QVERIFY(!window.findChild<QPushButton *>("discordButton")->icon().isNull());
    QCOMPARE(window.findChild<QLineEdit *>("passwordEdit")->echoMode(), QLineEdit::Password);
}

void MainWindowTest::resourcesHoldTheFiveImages()
{
    QImageReader icon(QStringLiteral(":/images/app_icon.ico"));
    QList<int> sizes;
    for (int i = 0; i < icon.imageCount(); ++i) {
        QVERIFY(icon.jumpToImage(i));
        const QImage image = icon.read();
        QCOMPARE(image.width(), image.height());
        sizes << image.width();
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, (QList<int>{16, 24, 32, 48, 64, 128, 256}));

    const QImage background(QStringLiteral(":/images/background.png"));
    QVERIFY(background.width() >= 600 && background.height() >= 680);

    // The button glyphs are white shapes on a transparent ground.
    for (const char *name : {"discord_icon", "retry_icon"}) {
        const QImage glyph = QImage(QStringLiteral(":/images/%1.png").arg(name))
                                 .convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!glyph.isNull(), name);
        QCOMPARE(glyph.pixelColor(0, 0).alpha(), 0);
        int opaque = 0;
        for (int y = 0; y < glyph.height(); ++y) {
            for (int x = 0; x < glyph.width(); ++x) {
                const QColor colour = glyph.pixelColor(x, y);
                if (colour.alpha() == 255) {
                    QVERIFY2(near(colour, 255, 255, 255), name);
                    ++opaque;
                }
            }
        }
        QVERIFY2(opaque > glyph.width() * glyph.height() / 16, name);
    }
    QVERIFY(!QImage(QStringLiteral(":/images/logo.png")).isNull());
}

void MainWindowTest::updateUIShowsEachPhase_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("busyBefore");  // progress bar in busy mode before the change
    QTest::addColumn<QString>("status");   // empty: left as it was
    QTest::addColumn<int>("playEnabled");  // -1: left as it was
    QTest::addColumn<QString>("playText"); // empty: left as it was
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value"); // -2: not looked at

    QTest::newRow("login") << int(MainWindow::Login) << false << QString() << -1 << QString() << 100
                           << 37;
    QTest::newRow("initializing") << int(MainWindow::Initializing) << false << "Initializing..."
                                  << 0 << QString() << 100 << 0;
    QTest::newRow("downloading client")
        << int(MainWindow::DownloadingClient) << true << "Downloading game client..." << 0
        << QString() << 100 << 0;
    QTest::newRow("extracting client") << int(MainWindow::ExtractingClient) << false
                                       << "Extracting client..." << 0 << QString() << 0 << -2;
    QTest::newRow("verifying") << int(MainWindow::Verifying) << false << "Verifying files..." << 0
                               << QString() << 0 << -2;
    QTest::newRow("downloading after busy")
        << int(MainWindow::Downloading) << true << "Downloading updates..." << 0 << QString() << 100
        << -2;
    QTest::newRow("downloading keeps value")
        << int(MainWindow::Downloading) << false << "Downloading updates..." << 0 << QString()
        << 100 << 37;
    QTest::newRow("ready") << int(MainWindow::Ready) << true << "Ready!" << 1 << "PLAY" << 100
                           << 100;
    QTest::newRow("game running") << int(MainWindow::GameRunning) << false << "Game running..." << 1
                                  << "Stop Game" << 100 << 100;
    QTest::newRow("update failed")
        << int(MainWindow::UpdateFailed) << true << QString() << 1 << "Retry" << 100 << 0;
}

void MainWindowTest::updateUIShowsEachPhase()
{
    QFETCH(int, state);
    QFETCH(bool, busyBefore);
    QFETCH(QString, status);
    QFETCH(int, playEnabled);
    QFETCH(QString, playText);
    QFETCH(int, maximum);
    QFETCH(int, value);
    const auto phase = MainWindow::LauncherState(state);
    const bool loggingIn = phase == MainWindow::Login;

    MainWindow window;
    auto *loginPanel = window.findChild<QWidget *>("loginPanel");
    auto *statusLabel = window.findChild<QLabel *>("statusLabel");
    auto *progressBar = window.findChild<QProgressBar *>("progressBar");
    auto *downloadLabel = window.findChild<QLabel *>("downloadLabel");
    auto *currentFileLabel = window.findChild<QLabel *>("currentFileLabel");
    auto *playButton = window.findChild<QPushButton *>("playButton");
    auto *loggedInLabel = window.findChild<QLabel *>("loggedInLabel");
    auto *loginErrorLabel = window.findChild<QLabel *>("loginErrorLabel");
    auto *retryButton = window.findChild<QPushButton *>("retryButton");
    auto *loginButton = window.findChild<QPushButton *>("loginButton");
    auto *loginEdit = window.findChild<QLineEdit *>("loginEdit");
    auto *passwordEdit = window.findChild<QLineEdit *>("passwordEdit");
    const QList<QWidget *> sessionWidgets{
        statusLabel,   progressBar,
        downloadLabel, currentFileLabel,
        playButton,    window.findChild<QWidget *>("settingsButton"),
        loggedInLabel, window.findChild<QWidget *>("logoutButton")};

    // Start from the opposite side of the login, with every widget holding a value of its own.
    enter(window, loggingIn ? MainWindow::GameRunning : MainWindow::Login);
    statusLabel->setText("before");
    playButton->setText("before");
    playButton->setEnabled(playEnabled != 1);
    progressBar->setRange(0, busyBefore ? 0 : 100);
    if (!busyBefore)
        progressBar->setValue(37);
    downloadLabel->setText("12.0 MB / 40.0 MB");
    currentFileLabel->setText("system/l2.ini");
    loginErrorLabel->setText("Invalid password");
    retryButton->show();
    loginButton->setEnabled(false);
    loginButton->setText("Connecting...");
    loginEdit->setEnabled(false);
    passwordEdit->setEnabled(false);
    const bool playEnabledBefore = playButton->isEnabled();

    enter(window, phase);

    QCOMPARE(loginPanel->isVisibleTo(&window), loggingIn);
    for (QWidget *widget : sessionWidgets)
        QVERIFY2(widget->isVisibleTo(&window) != loggingIn, qPrintable(widget->objectName()));
    QVERIFY(window.findChild<QWidget *>("discordButton")->isVisibleTo(&window));
    if (!loggingIn)
        QCOMPARE(loggedInLabel->text(), QStringLiteral("Logged in as: "));

    QCOMPARE(statusLabel->text(), status.isEmpty() ? QStringLiteral("before") : status);
    QCOMPARE(playButton->isEnabled(), playEnabled == -1 ? playEnabledBefore : playEnabled == 1);
    QCOMPARE(playButton->text(), playText.isEmpty() ? QStringLiteral("before") : playText);
    QCOMPARE(progressBar->minimum(), 0);
    QCOMPARE(progressBar->maximum(), maximum);
    if (value != -2)
        QCOMPARE(progressBar->value(), value);
    QCOMPARE(downloadLabel->text(), QStringLiteral("12.0 MB / 40.0 MB"));
    QCOMPARE(currentFileLabel->text(), QStringLiteral("system/l2.ini"));

    if (loggingIn) {
        QVERIFY(loginErrorLabel->text().isEmpty());
        QVERIFY(!retryButton->isVisibleTo(&window));
        QVERIFY(loginButton->isEnabled());
        QCOMPARE(loginButton->text(), QStringLiteral("LOG IN"));
        QVERIFY(loginEdit->isEnabled());
        QVERIFY(passwordEdit->isEnabled());
    }
}

void MainWindowTest::paintsDarkRoundedWindowWithoutBackground()
{
    WindowWithBackground window(scratch.filePath("missing.png"));
    const QImage image = snapshot(window);
    QCOMPARE(image.size(), QSize(600, 680));

    // Outside the rounded corners nothing is painted.
    for (const QPoint corner : {QPoint(0, 0), QPoint(599, 0), QPoint(0, 679), QPoint(599, 679)})
        QVERIFY2(image.pixelColor(corner).alpha() == 0,
                 qPrintable(describe(image.pixelColor(corner))));

    for (const QPoint point : barePoints) {
        QVERIFY(isBare(window, point));
        QVERIFY2(near(image.pixelColor(point), 20, 20, 20, 255, 0),
                 qPrintable(describe(image.pixelColor(point))));
    }

    // The steel border, three pixels wide, lies over the dark fill on the edge.
    const auto over = [](int pen, int fill) { return (pen * 200 + fill * 55 + 127) / 255; };
    for (const QPoint edge : {QPoint(0, 340), QPoint(599, 340), QPoint(300, 0), QPoint(300, 679)})
        QVERIFY2(near(image.pixelColor(edge), over(140, 20), over(146, 20), over(152, 20)),
                 qPrintable(describe(image.pixelColor(edge))));
}

void MainWindowTest::paintsBackgroundImageUnscaled()
{
    const QImage background =
        QImage(QStringLiteral(":/images/background.png")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(background.size(), QSize(600, 680));

    MainWindow window;
    const QImage image = snapshot(window);
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(image.pixelColor(599, 679).alpha(), 0);
    for (const QPoint point : barePoints) {
        QVERIFY(isBare(window, point));
        QCOMPARE(image.pixelColor(point), background.pixelColor(point));
    }
}

void MainWindowTest::cropsOtherProportionsSymmetrically_data()
{
    QTest::addColumn<QSize>("imageSize");
    QTest::newRow("wide") << QSize(1200, 680);
    QTest::newRow("tall") << QSize(600, 1360);
    QTest::newRow("small and wide, scaled up") << QSize(300, 170);
    QTest::newRow("small and tall, scaled up") << QSize(150, 340);
    QTest::newRow("odd overhang") << QSize(603, 680);
}

void MainWindowTest::cropsOtherProportionsSymmetrically()
{
    QFETCH(QSize, imageSize);
    const QString path = scratch.filePath(
        QStringLiteral("banded-%1x%2.png").arg(imageSize.width()).arg(imageSize.height()));
    QVERIFY(bandedImage(imageSize).save(path));

    WindowWithBackground window(path);
    const QImage image = snapshot(window);
    // Only the middle band may show, right up to every edge: no letterbox, no one-sided crop.
    for (const QPoint point : barePoints)
        QVERIFY2(near(image.pixelColor(point), 0, 255, 0, 255, 8),
                 qPrintable(QStringLiteral("(%1, %2): %3")
                                .arg(point.x())
                                .arg(point.y())
                                .arg(describe(image.pixelColor(point)))));
}

void MainWindowTest::dragStartsOnlyWhereNoChildTakesThePress_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QPoint>("at"); // in the target; null: its centre
    QTest::addColumn<bool>("moves");
    QTest::newRow("background") << "centralwidget" << QPoint(300, 4) << true;
    QTest::newRow("login panel margin") << "loginPanel" << QPoint(40, 60) << true;
    QTest::newRow("title label") << "loginTitleLabel" << QPoint() << true;
    QTest::newRow("status label") << "serverStatusLabel" << QPoint() << true;
    QTest::newRow("login button") << "loginButton" << QPoint() << false;
    QTest::newRow("close button") << "closeButton" << QPoint() << false;
    QTest::newRow("user name field") << "loginEdit" << QPoint() << false;
}

void MainWindowTest::dragStartsOnlyWhereNoChildTakesThePress()
{
    QFETCH(QString, target);
    QFETCH(QPoint, at);
    QFETCH(bool, moves);

    MainWindow window;
    window.move(100, 80);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();
    auto *pressed = window.findChild<QWidget *>(target);
    QVERIFY(pressed);
    auto *background = window.findChild<QWidget *>("centralwidget");

    const QPoint local = at.isNull() ? pressed->rect().center() : at;
    QCOMPARE(window.childAt(pressed->mapTo(&window, local)), pressed);
    const QPoint global = pressed->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(pressed, &press);
    QCOMPARE(dragging(window), moves);

    // The move reaches the window itself, so only a started drag can move it.
    for (const QPoint step : {QPoint(30, 20), QPoint(-45, 61)}) {
        const QPoint to = global + step;
        QMouseEvent move(QEvent::MouseMove, background->mapFromGlobal(to), to, Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(background, &move);
        QCOMPARE(window.pos(), moves ? start + step : start);
    }
}

void MainWindowTest::dragNeedsTheLeftButton()
{
    MainWindow window;
    window.move(100, 80);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();
    auto *background = window.findChild<QWidget *>("centralwidget");
    const QPoint local(300, 4);
    const QPoint global = background->mapToGlobal(local);
    const auto moveBy = [&](const QPoint &step, Qt::MouseButtons held) {
        QMouseEvent move(QEvent::MouseMove, local + step, global + step, Qt::NoButton, held,
                         Qt::NoModifier);
        QApplication::sendEvent(background, &move);
    };

    QMouseEvent rightPress(QEvent::MouseButtonPress, local, global, Qt::RightButton,
                           Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(background, &rightPress);
    moveBy({25, 25}, Qt::LeftButton);
    QCOMPARE(window.pos(), start);

    QMouseEvent leftPress(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(background, &leftPress);
    moveBy({25, 25}, Qt::NoButton);
    QCOMPARE(window.pos(), start);
    moveBy({25, 25}, Qt::RightButton);
    QCOMPARE(window.pos(), start);
    moveBy({25, 25}, Qt::LeftButton | Qt::RightButton);
    QCOMPARE(window.pos(), start + QPoint(25, 25));
}

void MainWindowTest::discordTextFitsOnceLoggedIn()
{
    MainWindow window;
    enter(window, MainWindow::Ready);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *discord = window.findChild<QPushButton *>("discordButton");
    // Squeezed beside the other three buttons, it gets its minimum width and no more.
    QCOMPARE(discord->width(), discord->minimumWidth());
    QVERIFY2(discord->sizeHint().width() <= discord->width(),
             qPrintable(QString::number(discord->sizeHint().width())));
}

void MainWindowTest::emptyProgressLinesShowNoBand()
{
    MainWindow window;
    enter(window, MainWindow::Downloading);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const char *name : {"downloadLabel", "currentFileLabel"}) {
        auto *label = window.findChild<QLabel *>(name);
        label->clear();
        const QSize size = label->size();
        QImage image = label->grab().toImage();
        const QPoint edge(4, image.height() / 2);
        QVERIFY2(qAlpha(image.pixel(edge)) == 0 && qAlpha(image.pixel(image.rect().center())) == 0,
                 name);

        label->setText(QStringLiteral("Downloaded: 1.00 MB / 2.00 MB"));
        image = label->grab().toImage();
        QVERIFY2(qAbs(qAlpha(image.pixel(edge)) - 150) <= 3, name);
        QCOMPARE(label->size(), size);
    }
}

void MainWindowTest::loginFormStaysPut()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *panel = window.findChild<QWidget *>("loginPanel");
    const auto placed = [&] {
        QCoreApplication::sendPostedEvents();
        window.centralWidget()->layout()->activate();
        return panel->geometry();
    };
    const QRect first = placed();

    window.findChild<QPushButton *>("loginButton")->click();
    QCOMPARE(window.findChild<QLabel *>("loginErrorLabel")->text(), QStringLiteral("Enter login."));
    QCOMPARE(placed(), first);
    failLogin(window, QStringLiteral("The server did not answer. Check your connection."));
    QVERIFY(window.findChild<QWidget *>("retryButton")->isVisible());
    QCOMPARE(placed(), first);

    enter(window, MainWindow::Ready);
    placed();
    logOut(window);
    QVERIFY(panel->isVisible());
    QCOMPARE(placed(), first);
}

void MainWindowTest::dialogsAreDarkAndReadable()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QMessageBox box(QMessageBox::Question, QStringLiteral("Update Required"),
                    QStringLiteral("Files need updating:\nMissing: 2\n\nStart download?"),
                    QMessageBox::Yes | QMessageBox::No, &window);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    for (const QAbstractButton *button : box.buttons())
        QVERIFY2(button->icon().isNull(), qPrintable(button->text()));

    // Light letters straight on a dark panel: no lighter box behind the text.
    const QImage image = box.grab().toImage();
    const QRect text = box.findChild<QLabel *>("qt_msgbox_label")->geometry();
    int dark = 0;
    int light = 0;
    for (int y = text.top(); y <= text.bottom(); ++y) {
        for (int x = text.left(); x <= text.right(); ++x) {
            const int lightness = QColor(image.pixel(x, y)).lightness();
            dark += lightness < 60;
            light += lightness > 200;
        }
    }
    const int area = text.width() * text.height();
    QVERIFY2(dark > area * 3 / 4 && light > 0,
             qPrintable(QStringLiteral("%1 dark, %2 light of %3").arg(dark).arg(light).arg(area)));
}

void MainWindowTest::messageBoxLeavesStatusLineReadable_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("one line, a short box") << "Verifying files..."
                                           << "Files need updating.";
    QTest::newRow("two lines, a long box")
        << "Error: The game files could not be verified: the manifest's signature is invalid."
        << QString("The game files could not be verified:\n").repeated(6);
}

// A box over the window opens beside the status line, never across it, and the line keeps every
// line of its text.
void MainWindowTest::messageBoxLeavesStatusLineReadable()
{
    QFETCH(QString, status);
    QFETCH(QString, text);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    enter(window, MainWindow::Initializing);
    auto *line = window.findChild<QLabel *>("statusLabel");
    line->setText(status);
    QRect box;
    QRect shown;
    QTimer::singleShot(0, &window, [&] {
        auto *open = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(open);
        box = open->frameGeometry();
        shown = QRect(line->mapToGlobal(QPoint(0, 0)), line->size());
        open->accept();
    });
    showBox(window, text);
    QVERIFY(!box.isEmpty());
    QVERIFY2(!box.intersects(shown), qPrintable(QString("box %1,%2 %3x%4 over line at %5")
                                                    .arg(box.x())
                                                    .arg(box.y())
                                                    .arg(box.width())
                                                    .arg(box.height())
                                                    .arg(shown.y())));
    QVERIFY(line->height() >= line->heightForWidth(line->width()));
}

// Before a download or an install the question says when the folder's disk is short of what is
// needed, and the player may still go on.
void MainWindowTest::questionsWarnOfAShortDisk()
{
    QTemporaryDir mountPoint;
    testsupport::SmallDisk disk(mountPoint.path(), 30);
    if (!disk.isMounted())
        QSKIP(qPrintable(disk.problem()));
    LauncherConfig &config = LauncherConfig::instance();
    const QString savedFolder = config.gameDirectory;
    config.gameDirectory = mountPoint.path();
    MainWindow window;
    testsupport::MessageBoxAnswerer boxes(QMessageBox::Yes);
    const QString warning = QStringLiteral("Not enough disk space in %1: 4.0 MB more needed")
                                .arg(QDir::toNativeSeparators(mountPoint.path()));

    FileEntry big{QStringLiteral("data/b.pak"), qint64(34) << 20};
    QVERIFY(window.askForUpdate(1, 0, {big}));
    QVERIFY2(boxes.last().informativeText.endsWith("\n\n" + warning),
             qPrintable(boxes.last().informativeText));
    FileEntry small{QStringLiteral("data/a.pak"), qint64(1) << 20};
    QVERIFY(window.askForUpdate(1, 0, {small}));
    QVERIFY(!boxes.last().informativeText.contains("disk space"));

    // The client's archive goes to the user's data folder, on another disk; its files need at
    // least as much here.
    QCOMPARE(window.askForBaseClient(qint64(34) << 20), MainWindow::InstallAnswer::Install);
    QVERIFY2(boxes.last().text.contains("\n\n" + warning + "\n\n"), qPrintable(boxes.last().text));
    QCOMPARE(window.askForBaseClient(qint64(1) << 20), MainWindow::InstallAnswer::Install);
    QVERIFY(!boxes.last().text.contains("disk space"));
    config.gameDirectory = savedFolder;
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
