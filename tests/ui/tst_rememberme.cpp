// "Remember me" against a real Secret Service: gnome-keyring-daemon on a D-Bus session bus of the
// test's own (no service is started on demand there), with a home folder of its own; and the same
// with no secret service on the bus. The window logs in against the dev server in process.
#include "auth/credentialstore.h"
#include "core/launcherconfig.h"
#include "core/usersettings.h"
#include "support/logcapture.h"
#include "support/messageboxes.h"
#include "support/testsupport.h"
#include "ui/mainwindow.h"

#include "authservice.h"
#include "devserver.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using testsupport::LogCapture;
using testsupport::MessageBoxAnswerer;

namespace {

const QString account = QStringLiteral("keeper");
const QString password = QStringLiteral("Sesame-7351-remembered");

// A session bus that starts nothing by itself: a secret service is there only when the test runs
// one.
const char busConfig[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>session</type>\n"
    "  <listen>unix:tmpdir=/tmp</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

template <typename T> T *child(QWidget &window, const char *name)
{
    return window.findChild<T *>(name);
}

} // namespace

class RememberMeTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void withSecretService();
    void withoutSecretService();

private:
    std::unique_ptr<MainWindow> openWindow();
    void logIn(MainWindow &window, const QString &typedPassword, bool remember);
    bool setSecretService(bool running);
    // The password as the store's own tool finds it; empty when it holds none.
    QString storedPassword() const;
    // Files under the test's home that hold the password, in UTF-8 or UTF-16.
    QStringList filesHoldingPassword() const;

    QTemporaryDir temp;
    QString home;
    qint64 busPid = 0;
    std::unique_ptr<QProcess> keyring;
    std::unique_ptr<DevServer> server;
    std::unique_ptr<MessageBoxAnswerer> boxes;
};

void RememberMeTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    Q_INIT_RESOURCE(resources);
    QVERIFY(temp.isValid());
    home = temp.filePath(QStringLiteral("home"));
    const QString runtime = temp.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(home) && QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);

    const QString config = temp.filePath(QStringLiteral("session.conf"));
    QVERIFY(testsupport::writeFile(config, busConfig));
    QProcess launch;
    launch.start(QStringLiteral("dbus-launch"),
                 {QStringLiteral("--sh-syntax"), QStringLiteral("--config-file=") + config});
    QVERIFY2(launch.waitForFinished(10000) && launch.exitCode() == 0,
             "dbus-launch (Debian dbus-x11) did not start a bus");
    const QString output = QString::fromLocal8Bit(launch.readAllStandardOutput());
    const auto address = QRegularExpression("DBUS_SESSION_BUS_ADDRESS='([^']*)'").match(output);
    const auto pid = QRegularExpression("DBUS_SESSION_BUS_PID=(\\d+)").match(output);
    QVERIFY2(address.hasMatch() && pid.hasMatch(), qPrintable(output));
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.captured(1).toUtf8());
    busPid = pid.captured(1).toLongLong();

    server = std::make_unique<DevServer>();
    AuthService::Options options;
    options.accounts.insert(account, password);
    installAuthService(*server, options);
    QVERIFY(server->listenLoopback());
}

void RememberMeTest::cleanupTestCase()
{
    setSecretService(false);
    if (busPid > 0)
        ::kill(pid_t(busPid), SIGTERM);
}

void RememberMeTest::init()
{
    QFile::remove(UserSettings::defaultFile());
    // The files flow after the login finds no manifest address; its box is answered.
    boxes = std::make_unique<MessageBoxAnswerer>(QMessageBox::Ok);
}

bool RememberMeTest::setSecretService(bool running)
{
    if (!running) {
        if (keyring) {
            keyring->terminate();
            keyring->waitForFinished(5000);
            keyring.reset();
        }
        return true;
    }
    keyring = std::make_unique<QProcess>();
    keyring->start(QStringLiteral("gnome-keyring-daemon"),
                   {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                    QStringLiteral("--components=secrets")});
    if (!keyring->waitForStarted(5000))
        return false;
    // The new login keyring's password, on standard input.
    keyring->write("test-keyring-password");
    keyring->closeWriteChannel();
    return QTest::qWaitFor(
        [] {
            QProcess ask;
            ask.start(QStringLiteral("dbus-send"),
                      {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                       QStringLiteral("--dest=org.freedesktop.DBus"),
                       QStringLiteral("/org/freedesktop/DBus"),
                       QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                       QStringLiteral("string:org.freedesktop.secrets")});
            return ask.waitForFinished(2000) && ask.readAllStandardOutput().contains("true");
        },
        10000);
}

QString RememberMeTest::storedPassword() const
{
    QProcess lookup;
    lookup.start(QStringLiteral("secret-tool"),
                 {QStringLiteral("lookup"), QStringLiteral("user"), account,
                  QStringLiteral("server"), CredentialStore::serviceName()});
    lookup.waitForFinished(5000);
    return QString::fromUtf8(lookup.readAllStandardOutput());
}

QStringList RememberMeTest::filesHoldingPassword() const
{
    const QByteArray utf8 = password.toUtf8();
    const QByteArray utf16(reinterpret_cast<const char *>(password.utf16()), password.size() * 2);
    QStringList holding;
    QDirIterator it(home, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray content = testsupport::readFile(it.next());
        if (content.contains(utf8) || content.contains(utf16))
            holding << it.filePath();
    }
    return holding;
}

std::unique_ptr<MainWindow> RememberMeTest::openWindow()
{
    LauncherConfig &config = LauncherConfig::instance();
    config = LauncherConfig();
    config.authUrl = server->rootUrl() + "/api/auth";
    config.gameDirectory = temp.filePath(QStringLiteral("game"));
    auto window = std::make_unique<MainWindow>();
    window->show();
    return window;
}

void RememberMeTest::logIn(MainWindow &window, const QString &typedPassword, bool remember)
{
    child<QLineEdit>(window, "loginEdit")->setText(account);
    child<QLineEdit>(window, "passwordEdit")->setText(typedPassword);
    child<QCheckBox>(window, "rememberMe")->setChecked(remember);
    QTest::mouseClick(child<QPushButton>(window, "loginButton"), Qt::LeftButton);
}

void RememberMeTest::withSecretService()
{
    QVERIFY2(setSecretService(true), "gnome-keyring-daemon (Debian gnome-keyring) did not start");
    {
        auto window = openWindow();
        QVERIFY(!child<QCheckBox>(*window, "rememberMe")->isChecked());
        logIn(*window, password, true);
        QTRY_COMPARE(storedPassword(), password);
    }

    // The next start: both fields filled, the focus on LOG IN, which the player still presses.
    {
        auto window = openWindow();
        QTRY_COMPARE(child<QLineEdit>(*window, "passwordEdit")->text(), password);
        QCOMPARE(child<QLineEdit>(*window, "loginEdit")->text(), account);
        QVERIFY(child<QCheckBox>(*window, "rememberMe")->isChecked());
        QCOMPARE(window->focusWidget(), child<QPushButton>(*window, "loginButton"));
        QVERIFY(child<QPushButton>(*window, "loginButton")->isEnabled());
        QVERIFY(!child<QLabel>(*window, "rememberNote")->isVisibleTo(window.get()));
        // Only the store holds it: no ini, no log, no other file of the player's.
        QCOMPARE(filesHoldingPassword(), QStringList());
        QCOMPARE(UserSettings().rememberedAccount(), account);

        // A refusal for a wrong password forgets the password, not the name.
        logIn(*window, QStringLiteral("not-the-password"), true);
        QTRY_VERIFY(child<QPushButton>(*window, "retryButton")->isVisible());
        QTRY_COMPARE(storedPassword(), QString());
        QCOMPARE(UserSettings().rememberedAccount(), account);
        logIn(*window, password, true);
        QTRY_COMPARE(storedPassword(), password);
    }

    // Unticked: gone from the store, and the next start fills in nothing.
    {
        auto window = openWindow();
        QTRY_COMPARE(child<QLineEdit>(*window, "passwordEdit")->text(), password);
        child<QCheckBox>(*window, "rememberMe")->setChecked(false);
        QTRY_COMPARE(storedPassword(), QString());
        QCOMPARE(UserSettings().rememberedAccount(), QString());
    }
    auto window = openWindow();
    QCOMPARE(child<QLineEdit>(*window, "loginEdit")->text(), QString());
    QVERIFY(!child<QCheckBox>(*window, "rememberMe")->isChecked());
}

void RememberMeTest::withoutSecretService()
{
    QVERIFY(setSecretService(false));
    {
        auto window = openWindow();
        // After the window, which puts in its own listener.
        LogCapture log;
        logIn(*window, password, true);
        // The login goes on; the box says why the password is not kept.
        QTRY_VERIFY(child<QLabel>(*window, "rememberNote")->isVisible());
        QCOMPARE(child<QLabel>(*window, "rememberNote")->text(),
                 QStringLiteral("Only the account name is remembered: no password store answers "
                                "on this computer."));
        QTRY_COMPARE(child<QLabel>(*window, "loginErrorLabel")->text(),
                     QStringLiteral("Login successful!"));
        QCOMPARE(UserSettings().rememberedAccount(), account);
        QCOMPARE(log.count("No secret store answers"), 1);
    }

    // The next start has the name, not the password, and says so once.
    auto window = openWindow();
    LogCapture log;
    QCOMPARE(child<QLineEdit>(*window, "loginEdit")->text(), account);
    QVERIFY(child<QCheckBox>(*window, "rememberMe")->isChecked());
    QTRY_VERIFY(child<QLabel>(*window, "rememberNote")->isVisible());
    QCOMPARE(child<QLineEdit>(*window, "passwordEdit")->text(), QString());
    QCOMPARE(window->focusWidget(), child<QLineEdit>(*window, "passwordEdit"));
    logIn(*window, password, true);
    QTRY_COMPARE(child<QLabel>(*window, "loginErrorLabel")->text(),
                 QStringLiteral("Login successful!"));
    testsupport::quietPeriod(300); // the store's answer to the login's write comes meanwhile
    QCOMPARE(log.count("No secret store answers"), 1);
    QCOMPARE(filesHoldingPassword(), QStringList());
}

QTEST_MAIN(RememberMeTest)
#include "tst_rememberme.moc"
