#pragma once

#include "engine/Downloader.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>

class Browser;

// One of the ten download slots. Its fields describe the row it took last; they keep their
// values until it takes the next one, and every later event of its component or browser acts
// on that row position and that file.
struct DownloadSlot
{
    int number = 0;                 // 1..10, shown to the user as the thread number
    Downloader *downloader = nullptr; // Downloader1(N), fast mode
    Browser *pageBrowser = nullptr;   // WBdown(N), page mode
    QTimer *timer = nullptr;          // Timer1(N): the slot's dispatch timer, 100 ms single shot

    int rowIndex = 0;
    QString slotExtension;
    QString slotUrl;
    QString slotSavePath;
    DownloadRequest request; // what the slot's download or page save was asked to do
    bool pageBusy = false;

    // Fast mode: the component is busy. Page mode: the browser's Busy or pageBusy.
    bool busy(bool fastMode) const;
};

// The ten slots and the run state. A run is on exactly while TimerZ is active.
class DownloadSlots : public QObject
{
    Q_OBJECT
public:
    static constexpr int SlotCount = 10;

    explicit DownloadSlots(QObject *parent = nullptr);

    DownloadSlot &slot(int number);             // 1..10
    const DownloadSlot &slot(int number) const; // 1..10

    // Installs the components; the slots do not own them.
    void setDownloader(int number, Downloader *downloader);
    void setPageBrowser(int number, Browser *browser);

    // Is any of the slots 1..upTo busy in the given mode? upTo is clamped into 0..10.
    bool anyBusy(int upTo, bool fastMode) const;
    // Is a slot other than `except` writing this path right now, in either mode? A mode change
    // during a run leaves slots of the other mode still writing.
    bool pathInUse(const QString &path, int except) const;

    QTimer &TimerZ() { return m_timerZ; }
    bool runOn() const { return m_timerZ.isActive(); }

    qint64 elapsedSeconds = 0;
    bool reachedEnd = false;

    // blank.htm beside the executable.
    static QString blankPage();
    // Sends all ten page browsers to the blank page, whatever the thread count.
    void ReleasePageBrowsers();

private:
    std::array<DownloadSlot, SlotCount> m_slots;
    std::array<std::unique_ptr<QTimer>, SlotCount> m_timers;
    QTimer m_timerZ;
};
