#pragma once

#include "engine/Downloader.h"
#include "engine/StagingFile.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

class QThread;

// Puts finished downloads in place only once their bytes are on disk, without a sync per file:
// the files that finished while the last sync ran wait together, one syncfs() of each file system
// they are on (on a thread of its own, so the event loop goes on) makes them durable, and then each
// is put in place by its request's same-name rule and reported. A power cut after a report
// therefore never leaves an empty or short file under a final name.
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

private:
    struct Entry
    {
        std::unique_ptr<StagingFile> staging;
        DownloadRequest request;
        qint64 size = 0;
        QPointer<QObject> context;
        Report report;
    };

    void startSync();
    void synced();

    std::vector<Entry> m_syncing;
    std::vector<Entry> m_next;
    QThread *m_thread = nullptr;
    int m_syncs = 0;
};
