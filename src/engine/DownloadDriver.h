#pragma once

#include "engine/DownloadSettings.h"
#include "engine/Downloader.h"
#include "engine/SaveNames.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class Browser;
class PageDownloader;
class UrlList;

// Runs the list: every slot takes the next ready row, decides its file name, hands it to the
// slot's downloader for the mode (fast or page) and writes the outcome into the row; a slot
// whose download ends takes the next row at once. The run ends when no row is ready and no slot
// is busy. The mode and the thread count are read afresh at every decision. All on the thread
// that owns the list.
class DownloadDriver : public QObject
{
    Q_OBJECT
public:
    static constexpr int SlotCount = DownloadSettings::MaxThreadCount;
    enum class Mode { Fast, Page };

    // The fixed extension list that marks a file as a web page.
    static QString webPageExtensions();
    // Is the extension (without dot) exactly one of them, in any case?
    static bool isWebPageExtension(const QString &extension);

    DownloadDriver(UrlList &list, DownloadSettings &settings, QObject *parent = nullptr);
    ~DownloadDriver() override;

    // Makes the fast downloaders of the slots; the driver owns them.
    void setDownloaderFactory(const DownloaderFactory &factory);
    // The page browsers of the slots (index 0 is slot 1); the caller owns them and keeps them
    // while the driver lives.
    void setPageBrowsers(const std::array<Browser *, SlotCount> &browsers);
    // Applied to a page's markup before its base element is inserted and it is saved.
    void setPageSourceFilter(std::function<QString(const QString &)> filter);

    // Which rows a run takes: every row; only those not yet saved or skipped (a run that goes on
    // where a stopped or killed one left off); or only those already marked ready.
    enum class StartFrom { Everything, Unfinished, Ready };
    // With rows: makes the save folder (with its parents) and clears what a killed run left in
    // it, marks the rows ready, restarts the elapsed time and sets the free slots going. A folder
    // that cannot be made refuses the run (runRefused).
    void start(StartFrom from = StartFrom::Everything);
    // Ends the run at once: downloads under way stop, keeping their bytes for the next run, and
    // their rows (and rows waiting for a retry) are ready again.
    void stop();
    // Cancels one row: the download of a slot that has it ends, failed as cancelled (a fast
    // download keeps its bytes for resuming); a row waiting for its retry ends so at once; a ready
    // row goes back to idle. Other rows are left alone.
    void cancelRow(int position);
    // Before the mode changes with no run on: whatever the new mode's downloaders are doing for
    // the last run stops. During a run nothing happens: the run goes on in the new mode.
    void prepareModeChange(Mode newMode);
    // The thread count or the mode changed: free slots take rows at once.
    void settingsChanged();
    bool isRunning() const { return m_running; }

    // Slots 1..threadCount: is each busy?
    std::vector<bool> slotsBusy() const;
    qint64 elapsedSeconds() const { return m_elapsedSeconds; }
    // The clock of the elapsed time ("TimerZ"): ticks once a second while a run is on.
    const QTimer &clock() const { return m_clock; }

    // A download that failed for a passing reason is tried again, up to the retry count of the
    // settings: the first retry after this long, each next one after twice as long (at most
    // MaxRetryDelayMs), give or take a half so that slots do not all come back at once; or after
    // the time the server asked for.
    static constexpr int DefaultRetryDelayMs = 1000;
    static constexpr int MaxRetryDelayMs = 60000;
    void setRetryDelay(int firstMs) { m_retryDelayMs = firstMs; }

    // A free slot takes the next ready row; public so that tests can drive it.
    void dispatch(int slot);
    // One second of the run.
    void tick();

signals:
    // A run started, or started over (start() while it is on).
    void runStarted();
    void runEnded();
    // "下载耗时：mm:ss", at every tick.
    void elapsedTextChanged(const QString &text);
    // "线程N:title" from the pages being loaded.
    void statusTextChanged(const QString &text);
    // A row ended for this run (saved, skipped, failed). Position at that moment.
    void rowEnded(int position);
    // start() refused the run; the reason is for the user.
    void runRefused(const QString &reason);
    // Bytes received since the last report, over every slot: the growth of each download's
    // progress, without what an earlier attempt kept, and, for a file saved without its size
    // reported as it came, the rest of the file when it is saved.
    void bytesReceived(qint64 bytes);

private:
    struct Slot
    {
        Downloader *fast = nullptr;
        std::unique_ptr<PageDownloader> page;
        int row = 0;        // the row it took last
        QString savePath;   // the file its download writes
        qint64 counted = -1; // bytes of its download reported in bytesReceived; -1 before any
        bool busy() const;
    };

    Mode mode() const;
    int threadCount() const;
    Slot &slot(int number) { return m_slots[static_cast<std::size_t>(number - 1)]; }
    Downloader *downloader(int number, Mode mode);
    bool anyBusy() const;
    // Is a download of a row other than `exceptRow` writing this path right now, in either mode,
    // or waiting to put it in place?
    bool pathInUse(const QString &path, int exceptRow) const;
    void forgetCommittingPath(const QString &path);
    bool prepareSaveFolder();
    DownloadRequest downloadRequest(int slot, const SaveName &name);
    void connectDownloader(int slot, Downloader *downloader);
    // Reports the bytes by which a download's cumulative count `done` passed `counted`.
    void countBytes(qint64 &counted, qint64 done, const Downloader &downloader);
    void onFinished(int slot, const DownloadResult &result);
    bool retryLater(int row, const DownloadResult &result);
    void retryDue();
    void endRunIfDone();
    void endRun();

    UrlList &m_list;
    DownloadSettings &m_settings;
    std::array<Slot, SlotCount> m_slots;
    std::array<std::unique_ptr<Downloader>, SlotCount> m_fastDownloaders;
    std::function<QString(const QString &)> m_pageSourceFilter;
    RenameCounters m_renameCounters;
    QTimer m_clock;
    // Rows waiting for their retry, and when each is due (ms of m_runTime).
    struct Retry
    {
        qint64 dueMs;
        int row;
    };
    std::vector<Retry> m_retries;
    // Rows whose complete file waits to reach the disk, and where it goes.
    struct Committing
    {
        int row;
        QString savePath;
        qint64 counted; // as the slot's
    };
    std::vector<Committing> m_committing;
    QHash<QString, int> m_committingPaths; // how many of m_committing go to each path
    // Rows whose download was cancelled and has not reported yet.
    std::vector<int> m_cancelled;
    QTimer m_retryTimer;
    QElapsedTimer m_runTime;
    int m_retryDelayMs = DefaultRetryDelayMs;
    bool m_running = false;
    qint64 m_elapsedSeconds = 0;
};
