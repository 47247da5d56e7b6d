#pragma once

#include "engine/Downloader.h"
#include "engine/SaveNames.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class Browser;
class DownloadSettings;
class DownloadSlots;
class UrlList;

// The download driver: start, the one-second tick, slot dispatch, stop, the mode-change hook,
// the handlers of the fast components and of the page browsers, and the end of a run. All on
// the user-interface thread; the mode and the thread count are read afresh at every decision.
class DownloadDriver : public QObject
{
    Q_OBJECT
public:
    // Colour values of the status lights (blue-green-red encoding).
    static constexpr int LightGreen = 65280;
    static constexpr int LightRed = 255;

    // The fixed extension list that marks a file as a web page.
    static QString webPageExtensions();
    // Is the extension (without dot) exactly one of them, in any case?
    static bool isWebPageExtension(const QString &extension);

    DownloadDriver(UrlList &list, DownloadSettings &settings, DownloadSlots &slotBank, QObject *parent = nullptr);
    ~DownloadDriver() override;

    // Makes the ten fast components; the driver owns them.
    void setDownloaderFactory(const DownloaderFactory &factory);
    // The ten page browsers (index 0 is slot 1); the caller owns them.
    void setPageBrowsers(const std::array<Browser *, 10> &browsers);
    // Applied to a page's markup before its base reference is inserted and it is saved.
    void setPageSourceFilter(std::function<QString(const QString &)> filter);

    // Start: with rows, makes the save folder (with its parents) and clears what a killed run left
    // in it, then marks every row ready, resets the elapsed time and reachedEnd, starts TimerZ.
    // A folder that cannot be made refuses the run (runRefused).
    void Start();
    // Stop: TimerZ off; in page mode the page browsers stop and pageBusy clears; pending slot
    // timers are disarmed in both modes. Transfers under way still finish and write their texts.
    void Stop();
    // Run by the mode option buttons before the new mode is stored: with no run on, stops in the
    // new mode; while a run is on, nothing happens.
    void modeChangeHook(bool newModeIsFast);
    bool runOn() const;

    // The status-light tick (every 300 ms): the colours of slots 1..threadCount (index 0 is
    // slot 1); in page mode with no run on, also clears their pageBusy.
    std::vector<int> lightsTick();

    // Handlers, public so that tests can drive them without real timers.
    void driverTick();
    void dispatchSlot(int slot);

signals:
    void runStarted();
    void runEnded();
    // Panel 2: "下载耗时：mm:ss", at every driver tick.
    void elapsedTextChanged(const QString &text);
    // Panel 1: "线程N:title" from the page browsers.
    void statusTextChanged(const QString &text);
    // A row got its final text for this run (finished, skipped, failed). Position at that moment.
    void rowEnded(int position);
    // Start refused the run; the reason is for the user.
    void runRefused(const QString &reason);

private:
    bool prepareSaveFolder();
    DownloadRequest downloadRequest(int slot, const SaveName &name);
    void onProgress(int slot, qint64 received, qint64 total);
    void onFinished(int slot, const DownloadResult &result);
    void rowFinished(int rowIndex, const DownloadResult &result);
    void endRunOrDispatch(int slot);
    void onPageProgress(int slot, int progress, int progressMax);
    void onPageTitle(int slot, const QString &title);
    void onPageComplete(int slot);
    void onPageError(int slot, int code);
    void savePage(int slot);
    void endRun();
    void redispatchSoon(int slot);
    bool fastMode() const;
    int threadCount() const;

    UrlList &m_list;
    DownloadSettings &m_settings;
    DownloadSlots &m_slots;
    std::array<std::unique_ptr<Downloader>, 10> m_downloaders;
    std::function<QString(const QString &)> m_pageSourceFilter;
    RenameCounters m_renameCounters;
};
