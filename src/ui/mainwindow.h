#pragma once

#include <QMainWindow>
#include <QPoint>

#include <memory>

namespace Ui {
class MainWindow;
}

// The launcher's one window: frameless, fixed in size, painting its own rounded background.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The window's phases, in the order the flows pass through them.
    enum LauncherState
    {
        Login,
        Initializing,
        DownloadingClient,
        ExtractingClient,
        Verifying,
        Downloading,
        Ready,
        GameRunning
    };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    // The window's test puts it into each phase directly.
    friend class MainWindowTest;

    // Shows, hides, enables and labels the widgets for the current phase.
    void updateUI();
    QString currentAccountName() const;
    // Virtual so that a test window can paint a missing or oddly shaped image.
    virtual QString backgroundImagePath() const;

    std::unique_ptr<Ui::MainWindow> ui;
    LauncherState state = Login;
    QPoint dragPosition;
    bool dragging = false;
};
