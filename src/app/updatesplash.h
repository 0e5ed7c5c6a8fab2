#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

// The small frameless window shown while the launcher checks for and downloads its update,
// centred on the primary screen and above every other window.
class UpdateSplash : public QWidget
{
    Q_OBJECT

public:
    explicit UpdateSplash(QWidget *parent = nullptr);

    QString statusText() const;

public slots:
    void showUpToDate();
    void showCheckFailed();
    void showDownloading(const QString &version);
    void showProgress(qint64 received, qint64 total);
    void showDownloaded();

private:
    QLabel *statusLabel;
    QProgressBar *progressBar;
};
