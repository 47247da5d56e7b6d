#pragma once

#include "engine/DownloadDriver.h"

#include <QWidget>

#include <array>

class QProgressBar;
class QPushButton;

// One circular status light of the light panel: green for a free slot, red for a busy one. Its
// colour is a blue-green-red value.
class StatusLight : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int fillColour READ fillColour WRITE setFillColour)
public:
    static constexpr int Green = 65280;
    static constexpr int Red = 255;

    explicit StatusLight(QWidget *parent = nullptr);

    int fillColour() const { return m_fillColour; }
    void setFillColour(int bgr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_fillColour;
};

// The tool strip Picture1: the six command buttons, the progress bar and the ten slot lights.
// It only shows; the window connects the buttons to their commands.
class ToolStrip : public QWidget
{
    Q_OBJECT
public:
    static constexpr int LightCount = DownloadDriver::SlotCount;

    explicit ToolStrip(QWidget *parent = nullptr);

    QPushButton *loginButton() const { return m_login; }           // Command2
    QPushButton *importPageButton() const { return m_importPage; } // Command3
    QPushButton *importFileButton() const { return m_importFile; } // Command1
    QPushButton *startButton() const { return m_start; }           // Command4
    QPushButton *stopButton() const { return m_stop; }             // Command5
    QPushButton *exitButton() const { return m_exit; }             // Command7
    QProgressBar *progressBar() const { return m_progress; }       // ProgressBar1
    StatusLight *light(int slot) const;                            // Shape1_N, 1..10

private:
    QPushButton *m_login;
    QPushButton *m_importPage;
    QPushButton *m_importFile;
    QPushButton *m_start;
    QPushButton *m_stop;
    QPushButton *m_exit;
    QProgressBar *m_progress;
    std::array<StatusLight *, LightCount> m_lights{};
};
