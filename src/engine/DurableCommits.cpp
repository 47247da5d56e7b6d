#include "engine/DurableCommits.h"

#include <set>
#include <sys/stat.h>
#include <unistd.h>

DurableCommits::DurableCommits(QObject *parent) : QObject(parent)
{
    m_gather.setSingleShot(true);
    connect(&m_gather, &QTimer::timeout, this, &DurableCommits::consider);
}

DurableCommits::~DurableCommits()
{
    if (m_worker.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        m_worker.join();
    }
    for (std::vector<Entry> *entries : {&m_syncing, &m_next}) {
        for (Entry &entry : *entries) {
            if (!entry.placed)
                placeDownload(*entry.staging, entry.request, entry.size);
        }
    }
}

void DurableCommits::add(std::unique_ptr<StagingFile> staging, const DownloadRequest &request, qint64 size,
                         QObject *context, Report report)
{
    if (m_next.empty())
        m_oldestWaiting.start();
    m_next.push_back(Entry{std::move(staging), request, size, context, std::move(report), std::nullopt});
    // Looked at once the event loop has come round: the slot that handed this over has then
    // taken its next download, if there is one. The last file of a run does not wait out the
    // gathering time the files before it started.
    if (!m_inFlight && (!m_gather.isActive() || !othersUnderWay()))
        m_gather.start(0);
}

bool DurableCommits::othersUnderWay() const { return m_busy && m_busy(); }

void DurableCommits::consider()
{
    if (m_inFlight || m_next.empty())
        return;
    const qint64 waited = m_oldestWaiting.elapsed();
    if (waited >= GatherMs || !othersUnderWay())
        startSync();
    else
        m_gather.start(int(GatherMs - waited));
}

void DurableCommits::startSync()
{
    m_gather.stop();
    m_syncing = std::exchange(m_next, {});
    m_inFlight = true;
    // One descriptor for each file system the waiting files are on.
    std::vector<int> descriptors;
    std::set<dev_t> devices;
    std::set<QByteArray> folders; // files of one folder are on one file system: looked at once
    for (const Entry &entry : m_syncing) {
        struct stat st {};
        if (entry.staging->descriptor() >= 0 && folders.insert(entry.staging->folder()).second
            && ::fstat(entry.staging->descriptor(), &st) == 0 && devices.insert(st.st_dev).second)
            descriptors.push_back(entry.staging->descriptor());
    }
    m_syncs += int(descriptors.size());
    if (!m_worker.joinable())
        m_worker = std::thread([this] { syncLoop(); });
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_toSync = std::move(descriptors);
        m_batchReady = true;
    }
    m_wake.notify_one();
}

void DurableCommits::syncLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || m_batchReady; });
        if (m_quit)
            return;
        m_batchReady = false;
        const std::vector<int> descriptors = std::exchange(m_toSync, {});
        lock.unlock();
        for (const int fd : descriptors)
            ::syncfs(fd);
        // The batch is this thread's until synced(): the event loop's thread only adds to m_next
        // meanwhile. Linking the files here spares that thread a directory update each.
        for (Entry &entry : m_syncing)
            entry.placed = placeDownloadAsIs(*entry.staging, entry.request, entry.size);
        // Queued to this object's thread; dropped by Qt if this is gone by then.
        QMetaObject::invokeMethod(this, &DurableCommits::synced, Qt::QueuedConnection);
        lock.lock();
    }
}

void DurableCommits::synced()
{
    m_inFlight = false;
    std::vector<Entry> done = std::exchange(m_syncing, {});
    consider();
    // A report may end the run and destroy the downloaders, and this with the last of them: the
    // rest are still put in place, unreported.
    const QPointer<DurableCommits> alive(this);
    for (Entry &entry : done) {
        const DownloadResult result = entry.placed ? *entry.placed : placeDownload(*entry.staging, entry.request, entry.size);
        entry.staging.reset();
        if (alive && entry.context && entry.report)
            entry.report(result);
    }
}
