#include "auth/authclient.h"
#include "core/usersettings.h"
#include "game/gamelauncher.h"
#include "ui/interfacelanguage.h"
#include "ui/mainwindow.h"
#include "ui/settingsdialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

// The window in the player's language: the choice and the system's locale decide it, and in
// Polish every text the player sees in each phase is the compiled translation's, not English,
// and fits.
class InterfaceLanguageTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resolve_data();
    void resolve();
    void choiceIsStored();
    void everyPhaseSpeaksPolish_data();
    void everyPhaseSpeaksPolish();
    void dialogsSpeakPolish();
    void failuresFromBelowSpeakPolish_data();
    void failuresFromBelowSpeakPolish();
    void cleanupTestCase();

private:
    // objectName (or class) → visible text of every widget the player can see in `phase`; the
    // names of those cut short by the window's fixed size go to `cut`.
    static QMap<QString, QString> visibleTexts(MainWindow::LauncherState phase, QStringList *cut);
    static QMap<QString, QString> visibleTexts(const QWidget &root);
    // Buttons and single-line labels of `root` narrower than their text needs.
    static QStringList clipped(const QWidget &root);
    static void usePolish(bool on);
};

// Names that read the same in both languages; texts without a word (signs, a version number)
// count as such too.
bool sameInBothLanguages(const QString &text)
{
    static const QStringList names{"Discord", "Veyrun", "Veyrun Launcher", "Polski", "English"};
    static const QRegularExpression word(QStringLiteral("\\p{L}{2,}"));
    return names.contains(text) || !word.match(text).hasMatch();
}

void InterfaceLanguageTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void InterfaceLanguageTest::cleanupTestCase()
{
    usePolish(false);
}

void InterfaceLanguageTest::resolve_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("system");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a Polish system") << "system"
                                     << "pl_PL"
                                     << "pl";
    QTest::newRow("any other system") << "system"
                                      << "de_DE"
                                      << "en";
    QTest::newRow("English chosen on a Polish system") << "en"
                                                       << "pl_PL"
                                                       << "en";
    QTest::newRow("Polish chosen on an English system") << "pl"
                                                        << "en_US"
                                                        << "pl";
}

void InterfaceLanguageTest::resolve()
{
    QFETCH(QString, choice);
    QFETCH(QString, system);
    QFETCH(QString, expected);
    QCOMPARE(interfacelanguage::resolve(choice, QLocale(system)), expected);
}

void InterfaceLanguageTest::choiceIsStored()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("settings.ini");
    UserSettings settings(file);
    QCOMPARE(settings.language(), QString("system"));
    SettingsDialog dialog(nullptr, settings);
    auto *combo = dialog.findChild<QComboBox *>("languageCombo");
    QVERIFY(combo);
    combo->setCurrentIndex(combo->findData("pl"));
    QCOMPARE(UserSettings(file).language(), QString("pl"));
    QVERIFY(!dialog.findChild<QLabel *>("languageNote")->isHidden());
    // A hand-edited value the launcher does not know counts as no choice.
    QSettings(file, QSettings::IniFormat).setValue("Interface/Language", "xx");
    QCOMPARE(UserSettings(file).language(), QString("system"));
}

void InterfaceLanguageTest::usePolish(bool on)
{
    static QList<QTranslator *> installed;
    for (QTranslator *translator : qAsConst(installed))
        QCoreApplication::removeTranslator(translator);
    qDeleteAll(installed);
    installed.clear();
    if (on) {
        for (const char *catalog : {"wardgate_pl", "qtbase_pl"}) {
            auto *translator = new QTranslator;
            QVERIFY2(translator->load(catalog, ":/i18n"), catalog);
            QCoreApplication::installTranslator(translator);
            installed << translator;
        }
    }
}

QMap<QString, QString> InterfaceLanguageTest::visibleTexts(const QWidget &root)
{
    QMap<QString, QString> texts;
    if (!root.windowTitle().isEmpty())
        texts.insert(QStringLiteral("windowTitle"), root.windowTitle());
    const auto widgets = root.findChildren<QWidget *>();
    for (const QWidget *widget : widgets) {
        if (!widget->isVisibleTo(&root))
            continue;
        QString text;
        if (const auto *label = qobject_cast<const QLabel *>(widget))
            text = label->text();
        else if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
            text = button->text();
        else if (const auto *edit = qobject_cast<const QLineEdit *>(widget))
            text = edit->placeholderText();
        else if (const auto *combo = qobject_cast<const QComboBox *>(widget))
            text = combo->currentText();
        text.remove(QLatin1Char('&'));
        if (!text.trimmed().isEmpty())
            texts.insert(
                widget->objectName() + QLatin1Char(' ') + widget->metaObject()->className(), text);
    }
    return texts;
}

QStringList InterfaceLanguageTest::clipped(const QWidget &root)
{
    QStringList names;
    const auto widgets = root.findChildren<QWidget *>();
    for (const QWidget *widget : widgets) {
        const auto *label = qobject_cast<const QLabel *>(widget);
        const bool singleLine = label && !label->wordWrap() && !label->text().contains('\n');
        if (!widget->isVisibleTo(&root) ||
            !(qobject_cast<const QAbstractButton *>(widget) || singleLine))
            continue;
        if (widget->width() < widget->sizeHint().width())
            names << widget->objectName();
    }
    return names;
}

QMap<QString, QString> InterfaceLanguageTest::visibleTexts(MainWindow::LauncherState phase,
                                                           QStringList *cut)
{
    MainWindow window;
    window.show();
    window.state = phase;
    window.updateUI();
    // The layouts take the new texts' sizes on the next pass of the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    *cut = clipped(window);
    return visibleTexts(window);
}

void InterfaceLanguageTest::everyPhaseSpeaksPolish_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<QString>("status"); // the status line's English text, empty: not looked at
    QTest::newRow("login") << int(MainWindow::Login) << QString();
    QTest::newRow("initializing") << int(MainWindow::Initializing) << "Initializing...";
    QTest::newRow("downloading client")
        << int(MainWindow::DownloadingClient) << "Downloading game client...";
    QTest::newRow("extracting client")
        << int(MainWindow::ExtractingClient) << "Extracting client...";
    QTest::newRow("verifying") << int(MainWindow::Verifying) << "Verifying files...";
    QTest::newRow("downloading") << int(MainWindow::Downloading) << "Downloading updates...";
    QTest::newRow("ready") << int(MainWindow::Ready) << "Ready!";
    QTest::newRow("game running") << int(MainWindow::GameRunning) << "Game running...";
    QTest::newRow("update failed") << int(MainWindow::UpdateFailed) << QString();
}

void InterfaceLanguageTest::everyPhaseSpeaksPolish()
{
    QFETCH(int, phase);
    QFETCH(QString, status);
    const auto state = MainWindow::LauncherState(phase);
    QStringList cutInEnglish, cutInPolish;
    usePolish(false);
    const QMap<QString, QString> english = visibleTexts(state, &cutInEnglish);
    usePolish(true);
    const QMap<QString, QString> polish = visibleTexts(state, &cutInPolish);
    QCOMPARE(polish.keys(), english.keys());
    // The window's size is fixed: longer words must fit in it, not be cut.
    QCOMPARE(cutInEnglish.join(", "), QString());
    QCOMPARE(cutInPolish.join(", "), QString());
    for (auto it = english.cbegin(); it != english.cend(); ++it) {
        if (sameInBothLanguages(it.value()))
            continue;
        QVERIFY2(polish.value(it.key()) != it.value(),
                 qPrintable(QString("%1 still reads \"%2\"").arg(it.key(), it.value())));
    }
    if (!status.isEmpty())
        QCOMPARE(polish.value("statusLabel QLabel"),
                 QCoreApplication::translate("MainWindow", status.toUtf8()));
}

void InterfaceLanguageTest::dialogsSpeakPolish()
{
    QTemporaryDir dir;
    usePolish(false);
    const QMap<QString, QString> english = [&] {
        SettingsDialog dialog(nullptr, UserSettings(dir.filePath("settings.ini")));
        dialog.show();
        return visibleTexts(dialog);
    }();
    usePolish(true);
    SettingsDialog dialog(nullptr, UserSettings(dir.filePath("settings.ini")));
    dialog.show();
    const QMap<QString, QString> polish = visibleTexts(dialog);
    for (auto it = english.cbegin(); it != english.cend(); ++it) {
        if (sameInBothLanguages(it.value()) || it.key().startsWith("gameFolderEdit"))
            continue;
        QVERIFY2(polish.value(it.key()) != it.value(),
                 qPrintable(QString("%1 still reads \"%2\"").arg(it.key(), it.value())));
    }
    // Qt's own buttons come from its Polish catalogue.
    QMessageBox box(QMessageBox::Question, "t", "t", QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text().remove('&'), QString("Tak"));
}

// Texts made below the window reach it in Polish through their signals; the log keeps English.
void InterfaceLanguageTest::failuresFromBelowSpeakPolish_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("source");   // the English text, as the log keeps it
    QTest::addColumn<QString>("argument"); // its %1, if any
    const QString missing = QDir::tempPath() + "/no such folder/game.exe";
    QTest::newRow("game program missing") << "launch"
                                          << "GameLauncher"
                                          << "Game executable not found: %1" << missing;
    QTest::newRow("login without credentials") << "login"
                                               << "AuthClient"
                                               << "Missing credentials" << QString();
}

void InterfaceLanguageTest::failuresFromBelowSpeakPolish()
{
    QFETCH(QString, failure);
    QFETCH(QString, context);
    QFETCH(QString, source);
    QFETCH(QString, argument);
    usePolish(true);
    QString shown;
    if (failure == "launch") {
        GameLauncher launcher;
        QSignalSpy errors(&launcher, &GameLauncher::launchError);
        launcher.launchGame(argument);
        QCOMPARE(errors.count(), 1);
        shown = errors.at(0).at(0).toString();
    } else if (failure == "login") {
        AuthClient client;
        QSignalSpy answers(&client, &AuthClient::sessionRegistered);
        client.registerSession();
        QCOMPARE(answers.count(), 1);
        shown = answers.at(0).at(1).toString();
    }
    QString expected = QCoreApplication::translate(context.toUtf8(), source.toUtf8());
    QVERIFY2(expected != source, "no Polish translation");
    if (!argument.isNull())
        expected = expected.arg(argument);
    QCOMPARE(shown, expected);
}

QTEST_MAIN(InterfaceLanguageTest)
#include "tst_interfacelanguage.moc"
