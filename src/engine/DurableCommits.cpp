#include "engine/DurableCommits.h"

#include <QThread>

#include <set>
#include <sys/stat.h>
#include <unistd.h>

DurableCommits::DurableCommits(QObject *parent) : QObject(parent) {}

DurableCommits::~DurableCommits()
{
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
    }
    for (std::vector<Entry> *entries : {&m_syncing, &m_next}) {
        for (Entry &entry : *entries)
            placeDownload(*entry.staging, entry.request, entry.size);
    }
}

void DurableCommits::add(std::unique_ptr<StagingFile> staging, const DownloadRequest &request, qint64 size,
                         QObject *context, Report report)
{
    m_next.push_back(Entry{std::move(staging), request, size, context, std::move(report)});
    if (!m_thread)
        startSync();
}

void DurableCommits::startSync()
{
    m_syncing = std::exchange(m_next, {});
    // One descriptor for each file system the waiting files are on.
    std::vector<int> descriptors;
    std::set<dev_t> devices;
    for (const Entry &entry : m_syncing) {
        struct stat st {};
        if (entry.staging->descriptor() >= 0 && ::fstat(entry.staging->descriptor(), &st) == 0
            && devices.insert(st.st_dev).second)
            descriptors.push_back(entry.staging->descriptor());
    }
    m_syncs += int(descriptors.size());
    m_thread = QThread::create([descriptors] {
        for (const int fd : descriptors)
            ::syncfs(fd);
    });
    connect(m_thread, &QThread::finished, this, &DurableCommits::synced, Qt::QueuedConnection);
    m_thread->start();
}

void DurableCommits::synced()
{
    m_thread->wait();
    delete std::exchange(m_thread, nullptr);
    std::vector<Entry> done = std::exchange(m_syncing, {});
    if (!m_next.empty())
        startSync();
    // A report may end the run and destroy the downloaders, and this with the last of them: the
    // rest are still put in place, unreported.
    const QPointer<DurableCommits> alive(this);
    for (Entry &entry : done) {
        const DownloadResult result = placeDownload(*entry.staging, entry.request, entry.size);
        entry.staging.reset();
        if (alive && entry.context && entry.report)
            entry.report(result);
    }
}
