#pragma once

#include "engine/Downloader.h"
#include "engine/StagingFile.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Puts finished downloads in place only once their bytes are on disk, without a sync per file:
// finished files wait together, one syncfs() of each file system they are on (on a thread of its
// own, so the event loop goes on) makes them durable, and then each is put in place by its
// request's same-name rule (on that thread too, unless the rename rule needs another name) and
// reported from the event loop. A power cut after a report therefore never leaves an
// empty or short file under a final name. A sync starts once the last one has ended and the
// first waiting file has waited GatherMs, or at once when no other transfer is under way (the end
// of a run waits for nothing): each sync is a journal commit, which the files being made
// meanwhile wait for, so fewer and larger ones cost a run less.
class DurableCommits final : public QObject
{
    Q_OBJECT
public:
    using Report = std::function<void(const DownloadResult &)>;

    explicit DurableCommits(QObject *parent = nullptr);
    // Waits for a sync under way; files still waiting are put in place unreported.
    ~DurableCommits() override;

    // Takes the complete, flushed staging file of `size` bytes for the request; `report` gets the
    // outcome later, from the event loop (not if `context` is gone by then).
    void add(std::unique_ptr<StagingFile> staging, const DownloadRequest &request, qint64 size, QObject *context,
             Report report);
    // Files handed over and not yet reported.
    std::size_t waiting() const { return m_syncing.size() + m_next.size(); }
    // syncfs() calls made so far.
    int syncs() const { return m_syncs; }
    // How long the first of the waiting files may wait for others to share its sync.
    static constexpr int GatherMs = 10;

    // Whether transfers are still under way that may finish soon: only while there are do
    // finished files wait for others. Without, they are synced as soon as the event loop has
    // come round.
    void setBusyProbe(std::function<bool()> busy) { m_busy = std::move(busy); }

private:
    struct Entry
    {
        std::unique_ptr<StagingFile> staging;
        DownloadRequest request;
        qint64 size = 0;
        QPointer<QObject> context;
        Report report;
        std::optional<DownloadResult> placed; // by the syncing thread, when it could decide alone
    };

    // The busy probe's answer; without a probe, nothing else is under way.
    bool othersUnderWay() const;
    void consider();
    void startSync();
    void synced();
    void syncLoop();

    std::vector<Entry> m_syncing;
    std::vector<Entry> m_next;
    bool m_inFlight = false;
    std::function<bool()> m_busy;
    QTimer m_gather;
    QElapsedTimer m_oldestWaiting; // since the first of m_next came
    int m_syncs = 0;
    // The syncing thread, started with the first file: it waits for descriptors to sync.
    std::thread m_worker;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<int> m_toSync; // guarded by m_mutex, as are m_batchReady and m_quit
    bool m_batchReady = false;
    bool m_quit = false;
};
