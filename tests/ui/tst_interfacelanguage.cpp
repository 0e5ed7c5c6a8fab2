#include "auth/authclient.h"
#include "core/gameprogram.h"
#include "core/launcherconfig.h"
#include "core/usersettings.h"
#include "files/filemanager.h"
#include "files/manifest.h"
#include "game/gamelauncher.h"
#include "ui/interfacelanguage.h"
#include "ui/mainwindow.h"
#include "ui/quantitytext.h"
#include "ui/settingsdialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <functional>

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
    void numbersAndUnits_data();
    void numbersAndUnits();
    void noMnemonicTwice_data();
    void noMnemonicTwice();
    void cleanupTestCase();

private:
    // objectName (or class) → visible text of every widget the player can see in `phase`; the
    // names of those cut short by the window's fixed size go to `cut`.
    static QMap<QString, QString> visibleTexts(MainWindow::LauncherState phase, QStringList *cut);
    static QMap<QString, QString> visibleTexts(const QWidget &root);
    // Buttons and single-line labels of `root` narrower than their text needs.
    static QStringList clipped(const QWidget &root);
    static void usePolish(bool on);
    // The strings and the number locale of `language`, as the launcher's start puts them in.
    static void speak(const QString &language);
    // The mnemonics used more than once among the visible controls of `root`, as "x: A, B".
    static QStringList sharedMnemonics(const QWidget &root);
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
    speak("en");
}

void InterfaceLanguageTest::speak(const QString &language)
{
    usePolish(language == "pl");
    // Not the test machine's locale: the language's own, as on a system of another language.
    QLocale::setDefault(interfacelanguage::numberLocale(language, QLocale::c()));
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
    QTest::addColumn<QString>("source"); // the English text, as the log keeps it
    QTest::newRow("game program missing") << "launch"
                                          << "GameLauncher"
                                          << "Game executable not found: %1";
    QTest::newRow("game program outside the folder")
        << "program"
        << "GameProgram"
        << "The game program must lie inside the game folder, but game_executable \"%1\" is an "
           "absolute path";
    QTest::newRow("login without credentials") << "login"
                                               << "AuthClient"
                                               << "Missing credentials";
    QTest::newRow("manifest not readable") << "manifest"
                                           << "FileManager"
                                           << "Failed to parse manifest: %1";
}

void InterfaceLanguageTest::failuresFromBelowSpeakPolish()
{
    QFETCH(QString, failure);
    QFETCH(QString, context);
    QFETCH(QString, source);
    QTemporaryDir dir;
    usePolish(true);
    QString shown;
    if (failure == "launch") {
        GameLauncher launcher;
        QSignalSpy errors(&launcher, &GameLauncher::launchError);
        launcher.launchGame(dir.filePath("game.exe"));
        QCOMPARE(errors.count(), 1);
        shown = errors.at(0).at(0).toString();
    } else if (failure == "program") {
        shown = locateGameProgram(dir.path(), "/usr/bin/env").problem.shown();
    } else if (failure == "login") {
        AuthClient client;
        QSignalSpy answers(&client, &AuthClient::sessionRegistered);
        client.registerSession();
        QCOMPARE(answers.count(), 1);
        shown = answers.at(0).at(1).toString();
    } else if (failure == "manifest") {
        QFile manifest(dir.filePath("manifest.json"));
        QVERIFY(manifest.open(QIODevice::WriteOnly));
        manifest.write("{ not json");
        manifest.close();
        LauncherConfig::instance().manifestUrl =
            QUrl::fromLocalFile(manifest.fileName()).toString();
        FileManager files;
        QSignalSpy answers(&files, &FileManager::manifestDownloaded);
        files.downloadManifest();
        QVERIFY(answers.wait());
        shown = answers.at(0).at(1).toString();
    }
    // The fixed part of the translation, up to its first argument.
    const QString translated = QCoreApplication::translate(context.toUtf8(), source.toUtf8());
    QVERIFY2(translated != source, "no Polish translation");
    QVERIFY2(shown.startsWith(translated.section("%1", 0, 0)), qPrintable(shown));
}

// Every amount the player reads, in both languages: sizes, rates, time left, the progress line's
// numbers and the Settings speed limit, in one convention (multiples of 1024, KB, MB, GB).
void InterfaceLanguageTest::numbersAndUnits_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");
    const double mib = 1024.0 * 1024;
    const struct
    {
        const char *kind;
        double value;
        const char *english;
        const char *polish;
    } rows[] = {
        {"size", 820, "820 B", "820 B"},
        {"size", 527288, "515 KB", "515 KB"},
        {"size", 16 * mib, "16.0 MB", "16,0 MB"},
        {"size", 1536 * mib, "1.5 GB", "1,5 GB"},
        {"megabytes", 8357150, "7.97", "7,97"},
        {"megabytes", 2048 * mib, "2,048.00", "2048,00"},
        {"of total", 300 * mib, "150.0 / 300.0 MB", "150,0 / 300,0 MB"},
        {"rate", 32 * 1024, "32 KB/s", "32 KB/s"},
        {"rate", 2 * mib, "2.0 MB/s", "2,0 MB/s"},
        {"rate", 42.4 * mib, "42 MB/s", "42 MB/s"},
        {"left", 37, "about 40 s left", "zostało około 40 s"},
        {"left", 170, "about 3 min left", "zostało około 3 min"},
        {"left", 4020, "about 1 h 7 min left", "zostało około 1 h 7 min"},
        {"limit", 0, "No limit", "Bez limitu"},
        {"limit", 2048, "2.00 MB/s", "2,00 MB/s"},
        {"limit", 640, "0.63 MB/s", "0,63 MB/s"},
        // Below the box's two decimals: the smallest step, never "no limit".
        {"limit", 3, "0.01 MB/s", "0,01 MB/s"},
    };
    for (const auto &row : rows) {
        QTest::addRow("en %s %g", row.kind, row.value)
            << "en" << row.kind << row.value << QString::fromUtf8(row.english);
        QTest::addRow("pl %s %g", row.kind, row.value)
            << "pl" << row.kind << row.value << QString::fromUtf8(row.polish);
    }
}

void InterfaceLanguageTest::numbersAndUnits()
{
    QFETCH(QString, language);
    QFETCH(QString, kind);
    QFETCH(double, value);
    QFETCH(QString, expected);
    speak(language);
    QString shown;
    if (kind == "size")
        shown = quantitytext::size(qint64(value));
    else if (kind == "megabytes")
        shown = quantitytext::megabytes(qint64(value), 2);
    else if (kind == "of total")
        shown = quantitytext::doneOfTotal(qint64(value / 2), qint64(value));
    else if (kind == "rate")
        shown = quantitytext::rate(value);
    else if (kind == "left")
        shown = quantitytext::timeLeft(qint64(value));
    else if (kind == "limit") {
        QTemporaryDir dir;
        UserSettings settings(dir.filePath("settings.ini"));
        QVERIFY(settings.setSpeedLimit(int(value)));
        SettingsDialog dialog(nullptr, settings);
        shown = dialog.findChild<QDoubleSpinBox *>("speedLimitSpin")->text();
    }
    // Qt's Polish groups with a no-break space.
    QCOMPARE(shown, expected);
}

QStringList InterfaceLanguageTest::sharedMnemonics(const QWidget &root)
{
    QMap<QChar, QStringList> owners;
    const auto widgets = root.findChildren<QWidget *>();
    for (const QWidget *widget : widgets) {
        if (!widget->isVisibleTo(&root))
            continue;
        QString text;
        if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
            text = button->text();
        else if (const auto *label = qobject_cast<const QLabel *>(widget); label && label->buddy())
            text = label->text();
        for (int i = 0; i + 1 < text.size(); ++i) {
            if (text[i] != '&')
                continue;
            if (text[i + 1] != '&') {
                owners[text[i + 1].toLower()] << text;
                break;
            }
            ++i;
        }
    }
    QStringList shared;
    for (auto it = owners.cbegin(); it != owners.cend(); ++it) {
        if (it.value().size() > 1)
            shared << QString("%1: %2").arg(it.key(), it.value().join(", "));
    }
    return shared;
}

void InterfaceLanguageTest::noMnemonicTwice_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("English") << "en";
    QTest::newRow("Polish") << "pl";
}

// Alt with a letter reaches exactly one control, in the window in each phase, in Settings and in
// every message box the window shows.
void InterfaceLanguageTest::noMnemonicTwice()
{
    QFETCH(QString, language);
    speak(language);
    QStringList shared;
    for (int phase = MainWindow::Login; phase <= MainWindow::UpdateDeclined; ++phase) {
        MainWindow window;
        window.show();
        window.state = MainWindow::LauncherState(phase);
        window.updateUI();
        for (const QString &found : sharedMnemonics(window))
            shared << QString("phase %1: %2").arg(phase).arg(found);
    }
    {
        QTemporaryDir dir;
        SettingsDialog dialog(nullptr, UserSettings(dir.filePath("settings.ini")));
        dialog.show();
        for (const QString &found : sharedMnemonics(dialog))
            shared << "Settings: " + found;
    }

    MainWindow window;
    window.show();
    const QList<FileEntry> files{FileEntry{QStringLiteral("system/l2.ini"), 40}};
    const QList<std::pair<const char *, std::function<void()>>> boxes{
        {"update", [&] { window.askForUpdate(1, 2, files); }},
        {"repair", [&] { window.askForUpdate(1, 2, files, true); }},
        {"install", [&] { window.askForBaseClient(1 << 30); }},
        {"manifest",
         [&] {
             window.state = MainWindow::Initializing;
             window.onManifestDownloaded(false, "refused");
         }},
        {"launch error", [&] { window.onLaunchError("missing"); }},
        {"stop game",
         [&] {
             window.state = MainWindow::GameRunning;
             window.onPlayButtonClicked();
         }},
        {"quit", [&] { window.onTrayQuit(); }},
        {"integrity", [&] { window.onIntegrityViolation("system/l2.ini"); }},
        {"foreign client", [&] { window.onForeignClientDetected("other"); }},
        {"client install", [&] { window.onBaseClientError("broken"); }},
    };
    for (const auto &[name, open] : boxes) {
        bool seen = false;
        QTimer look;
        connect(&look, &QTimer::timeout, this, [&, name = name] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen = true;
            for (const QString &found : sharedMnemonics(*box))
                shared << QString("%1 box: %2").arg(name, found);
            // Escape's answer: No where there is one, else OK.
            QTest::keyClick(box, Qt::Key_Escape);
        });
        look.start(10);
        open();
        QVERIFY2(seen, name);
    }
    QCOMPARE(shared.join("\n"), QString());
}

QTEST_MAIN(InterfaceLanguageTest)
#include "tst_interfacelanguage.moc"
