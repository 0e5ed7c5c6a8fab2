#pragma once

#include <QString>

class LauncherConfig;
class QVariant;

// The player's own choices, kept per user in the user's configuration folder (never in the
// launcher.ini beside the program): the game folder, the number of parallel downloads, the
// download speed limit, the interface's language and the account name behind "Remember me" (its
// password lives only in the system's secret store, never here).
class UserSettings
{
public:
    static constexpr int minDownloads = 1;
    static constexpr int maxDownloads = 8;
    // The download speed limit in KiB/s; 0 is none.
    static constexpr int maxSpeedLimit = 1024 * 1024;

    // <user configuration folder>/settings.ini
    static QString defaultFile();
    explicit UserSettings(QString file = defaultFile());

    // Empty when the player has not chosen one.
    QString gameDirectory() const;
    // 0 when the player has not chosen a number.
    int parallelDownloads() const;
    // KiB/s over every download together; 0 when there is no limit.
    int speedLimit() const;
    // "system" (the default, and what an unknown value counts as), "en" or "pl".
    QString language() const;
    // The account name to fill in at the next start; empty when none is remembered.
    QString rememberedAccount() const;
    // Each stores at once; false when the file cannot be written.
    bool setGameDirectory(const QString &folder);
    bool setParallelDownloads(int count);
    bool setSpeedLimit(int kibPerSecond);
    bool setLanguage(const QString &language);
    bool setRememberedAccount(const QString &account);

    // Puts the choices into the configuration: the chosen game folder over the ini's, the chosen
    // number of downloads unless the server has set one. Logs the folder in use and its source
    // when launcher.ini or Settings names it.
    void applyTo(LauncherConfig &config) const;

private:
    bool store(const QString &key, const QVariant &value);

    QString file;
};
