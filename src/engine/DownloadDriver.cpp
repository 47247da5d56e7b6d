#include "engine/DownloadDriver.h"

#include "engine/DownloadSettings.h"
#include "engine/PageDownloader.h"
#include "engine/RowTexts.h"
#include "engine/RunOverview.h"
#include "engine/StagingFile.h"
#include "engine/UrlList.h"
#include "platform/Browser.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QTime>

#include <algorithm>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

// The local time of day at which a row ends. The zone's offset is looked up once a second at most:
// each lookup reads the system's zone file again, which rows ending by the thousand a second
// would pay each time.
QTime now()
{
    static qint64 offsetSecond = std::numeric_limits<qint64>::min();
    static qint64 offsetMs = 0;
    const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    if (utcMs / 1000 != offsetSecond) {
        offsetSecond = utcMs / 1000;
        offsetMs = qint64(QDateTime::fromMSecsSinceEpoch(utcMs).offsetFromUtc()) * 1000;
    }
    constexpr qint64 day = 24 * 3600 * 1000;
    return QTime::fromMSecsSinceStartOfDay(int((((utcMs + offsetMs) % day) + day) % day));
}

QString cancelledReason() { return u"已取消"_s; }

} // namespace

QString DownloadDriver::webPageExtensions()
{
    return u";.htm;.html;.xml;.asp;.aspx;.xbm;.php;.shtm;.shtml;.php3;.jsp;.com;.net;.edu;.cgi;.sthml"_s;
}

bool DownloadDriver::isWebPageExtension(const QString &extension)
{
    if (extension.isEmpty())
        return false;
    static const QStringList pages = webPageExtensions().split(u';', Qt::SkipEmptyParts);
    return pages.contains(u'.' + extension, Qt::CaseInsensitive);
}

bool DownloadDriver::Slot::busy() const { return (fast && fast->isBusy()) || (page && page->isBusy()); }

DownloadDriver::DownloadDriver(UrlList &list, DownloadSettings &settings, QObject *parent)
    : QObject(parent), m_list(list), m_settings(settings)
{
    m_clock.setObjectName(u"TimerZ"_s);
    m_clock.setInterval(1000);
    connect(&m_clock, &QTimer::timeout, this, &DownloadDriver::tick);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &DownloadDriver::retryDue);
    m_runTime.start();
}

DownloadDriver::~DownloadDriver() = default;

void DownloadDriver::connectDownloader(int n, Downloader *downloader)
{
    connect(downloader, &Downloader::progress, this, [this, n, downloader](qint64 done, qint64 total) {
        if (downloader->progressUnit() == Downloader::ProgressUnit::Bytes)
            countBytes(slot(n).counted, done, *downloader);
        if (total == 0)
            return;
        const auto kind = downloader->progressUnit() == Downloader::ProgressUnit::Bytes ? UrlRow::ProgressKind::Bytes
                                                                                       : UrlRow::ProgressKind::Page;
        m_list.setProgress(slot(n).row, kind, done, total);
    });
    connect(downloader, &Downloader::finished, this, [this, n, downloader](const DownloadResult &result) {
        if (result.outcome == DownloadResult::Outcome::Saved) {
            // The bytes its progress did not report: all of them when the size was not known.
            const int row = result.tag > 0 ? result.tag : slot(n).row;
            const auto committing = std::find_if(m_committing.begin(), m_committing.end(),
                                                 [row](const Committing &c) { return c.row == row; });
            qint64 *counted = committing != m_committing.end() ? &committing->counted : &slot(n).counted;
            if (result.size > std::max(*counted, qint64(0)))
                countBytes(*counted, result.size, *downloader);
        }
        onFinished(n, result);
    });
    connect(downloader, &Downloader::readyForNext, this, [this, n, downloader] {
        // The row's file waits to reach the disk; the slot goes on.
        Slot &s = slot(n);
        m_committing.push_back({s.row, s.savePath, s.counted < 0 ? downloader->keptBytes() : s.counted});
        ++m_committingPaths[s.savePath];
        s.row = 0;
        s.counted = -1;
        if (m_running)
            dispatch(n);
    });
    connect(downloader, &Downloader::titleChanged, this,
            [this, n](const QString &title) { emit statusTextChanged(RowTexts::pageTitle(n, title)); });
}

void DownloadDriver::countBytes(qint64 &counted, qint64 done, const Downloader &downloader)
{
    if (const qint64 bytes = RunOverview::newBytes(counted, done, downloader.keptBytes()); bytes > 0)
        emit bytesReceived(bytes);
}

void DownloadDriver::setDownloaderFactory(const DownloaderFactory &factory)
{
    for (int n = 1; n <= SlotCount; ++n) {
        auto &owned = m_fastDownloaders[static_cast<std::size_t>(n - 1)];
        owned = factory ? factory(n) : nullptr;
        slot(n).fast = owned.get();
        if (owned)
            connectDownloader(n, owned.get());
    }
}

void DownloadDriver::setPageBrowsers(const std::array<Browser *, SlotCount> &browsers)
{
    for (int n = 1; n <= SlotCount; ++n) {
        Browser *browser = browsers[static_cast<std::size_t>(n - 1)];
        auto &page = slot(n).page;
        page = browser ? std::make_unique<PageDownloader>(*browser) : nullptr;
        if (!page)
            continue;
        page->setSourceFilter([this](const QString &source) {
            return m_pageSourceFilter ? m_pageSourceFilter(source) : source;
        });
        connectDownloader(n, page.get());
    }
}

void DownloadDriver::setPageSourceFilter(std::function<QString(const QString &)> filter)
{
    m_pageSourceFilter = std::move(filter);
}

DownloadDriver::Mode DownloadDriver::mode() const { return m_settings.fastMode() ? Mode::Fast : Mode::Page; }

int DownloadDriver::threadCount() const { return std::clamp(m_settings.threadCount(), 1, SlotCount); }

Downloader *DownloadDriver::downloader(int n, Mode mode)
{
    Slot &s = slot(n);
    return mode == Mode::Fast ? s.fast : static_cast<Downloader *>(s.page.get());
}

bool DownloadDriver::anyBusy() const
{
    return std::any_of(m_slots.begin(), m_slots.end(), [](const Slot &s) { return s.busy(); });
}

void DownloadDriver::forgetCommittingPath(const QString &path)
{
    const auto it = m_committingPaths.find(path);
    if (it != m_committingPaths.end() && --it.value() <= 0)
        m_committingPaths.erase(it);
}

bool DownloadDriver::pathInUse(const QString &path, int exceptRow) const
{
    for (const Slot &s : m_slots) {
        if (s.row != exceptRow && s.busy() && s.savePath == path)
            return true;
    }
    // Hundreds of files may wait for their sync: counted by path, looked through only for the row's own.
    const auto counted = m_committingPaths.constFind(path);
    if (counted == m_committingPaths.cend())
        return false;
    if (counted.value() > 1)
        return true;
    return std::none_of(m_committing.begin(), m_committing.end(),
                        [&](const Committing &c) { return c.row == exceptRow && c.savePath == path; });
}

std::vector<bool> DownloadDriver::slotsBusy() const
{
    std::vector<bool> busy;
    for (int n = 1; n <= threadCount(); ++n)
        busy.push_back(m_slots[static_cast<std::size_t>(n - 1)].busy());
    return busy;
}

bool DownloadDriver::prepareSaveFolder()
{
    const QString folder = m_settings.saveFolder();
    if (!QDir().mkpath(folder)) {
        emit runRefused(u"无法创建保存文件夹：%1"_s.arg(folder));
        return false;
    }
    // What a killed run left in the folder; a run going on beside this one keeps its own.
    StagingFile::removeLeftovers(folder, QDateTime::currentSecsSinceEpoch());
    return true;
}

void DownloadDriver::start(StartFrom from)
{
    if (m_list.count() == 0 || !prepareSaveFolder())
        return;
    m_renameCounters.clear();
    m_elapsedSeconds = 0;
    m_retryTimer.stop();
    m_retries.clear();
    m_cancelled.clear();
    if (from == StartFrom::Unfinished)
        m_list.markUnfinishedReady();
    else if (from == StartFrom::Everything)
        m_list.markAllReady();
    m_clock.start();
    m_running = true;
    emit runStarted();
    settingsChanged();
}

void DownloadDriver::settingsChanged()
{
    for (int n = 1; n <= threadCount() && m_running; ++n)
        dispatch(n);
}

void DownloadDriver::stop()
{
    const Mode current = mode();
    for (int n = 1; n <= SlotCount; ++n) {
        Downloader *d = downloader(n, current);
        if (!d)
            continue;
        const bool had = d->isBusy();
        d->runStopped();
        if (had && !d->isBusy())
            m_list.takeBack(slot(n).row);
    }
    m_retryTimer.stop();
    for (const Retry &retry : std::exchange(m_retries, {}))
        m_list.readyAgain(retry.row);
    m_cancelled.clear();
    endRun();
}

void DownloadDriver::cancelRow(int position)
{
    switch (m_list.state(position)) {
    case RowState::Ready: m_list.makeIdle(position); return;
    case RowState::RetryWaiting:
        m_retries.erase(std::remove_if(m_retries.begin(), m_retries.end(),
                                       [position](const Retry &retry) { return retry.row == position; }),
                        m_retries.end());
        m_list.endRow(position, RowState::Failed, now(), cancelledReason());
        emit rowEnded(position);
        endRunIfDone();
        return;
    case RowState::Downloading:
        for (Slot &s : m_slots) {
            if (s.row != position || !s.busy())
                continue;
            m_cancelled.push_back(position);
            // Ends as a failure, reported from the event loop.
            (s.fast && s.fast->isBusy() ? s.fast : static_cast<Downloader *>(s.page.get()))->cancel();
        }
        return;
    default: return;
    }
}

void DownloadDriver::prepareModeChange(Mode newMode)
{
    if (m_running)
        return; // the run goes on in the new mode from its next decision
    for (int n = 1; n <= SlotCount; ++n) {
        if (Downloader *d = downloader(n, newMode))
            d->runStopped();
    }
}

void DownloadDriver::tick()
{
    ++m_elapsedSeconds;
    emit elapsedTextChanged(RowTexts::elapsed(m_elapsedSeconds));
}

void DownloadDriver::dispatch(int n)
{
    if (n < 1 || n > threadCount())
        return;
    Slot &s = slot(n);
    // Skipped rows end at once: the slot goes on to the next until it starts a download.
    while (m_running && !s.busy()) {
        if (m_list.count() == 0)
            return; // every row deleted: the run goes on counting until it is stopped
        const int row = m_list.firstReady();
        if (row == 0) {
            endRunIfDone();
            return;
        }
        const auto taken = [this, row](const QString &path) { return pathInUse(path, row); };
        const SaveName name = decideSaveName(m_settings, m_list.linkName(row), m_list.url(row), taken, &m_renameCounters);
        if (name.outcome == SaveName::Outcome::Wait || name.outcome == SaveName::Outcome::Nothing)
            return; // the slot writing that file takes the row once it is done
        s.row = row;
        m_list.startRow(row, n);
        if (name.outcome == SaveName::Outcome::Skip) {
            m_list.endRow(row, RowState::Skipped, now());
            emit rowEnded(row);
            continue;
        }
        s.savePath = name.savePath;
        s.counted = -1;
        if (Downloader *d = downloader(n, mode()))
            d->start(downloadRequest(n, name));
        return;
    }
}

DownloadRequest DownloadDriver::downloadRequest(int n, const SaveName &name)
{
    DownloadRequest request;
    request.url = name.url;
    request.savePath = name.savePath;
    const QString &rule = m_settings.collisionMethod();
    request.sameName = rule == DownloadSettings::collisionOverwrite() ? SameNameRule::Replace
        : rule == DownloadSettings::collisionSkip()                  ? SameNameRule::Keep
                                                                      : SameNameRule::Rename;
    const int row = slot(n).row;
    request.tag = row;
    request.runSpeedLimit = qint64(m_settings.speedLimitKBps()) * 1024;
    // The name as it stands: the server's answer may change it, and a rename then starts from it.
    auto current = std::make_shared<SaveName>(name);
    const auto moveTo = [this, n, row](const QString &path) {
        if (slot(n).row == row)
            slot(n).savePath = path;
        for (Committing &c : m_committing) {
            if (c.row == row && c.savePath != path) {
                forgetCommittingPath(c.savePath);
                ++m_committingPaths[path];
                c.savePath = path;
            }
        }
    };
    // Asked when the file is put in place, which may be after the slot has moved on.
    request.nextFreeName = [this, row, current, moveTo] {
        const QString path = nextFreeName(*current, [this, row](const QString &p) { return pathInUse(p, row); },
                                          &m_renameCounters);
        if (!path.isEmpty())
            moveTo(path);
        return path;
    };
    if (name.baseFromAddress || name.extensionGuessed) {
        request.namedByServer = [current, moveTo](const QString &fileName, const QByteArray &type) {
            const SaveName named = serverSaveName(*current, fileName, type);
            if (named.savePath == current->savePath)
                return QString();
            *current = named;
            moveTo(named.savePath);
            return named.savePath;
        };
    }
    if (isWebPageExtension(name.extension))
        request.baseAddress = name.url;
    return request;
}

void DownloadDriver::onFinished(int n, const DownloadResult &result)
{
    const int row = result.tag > 0 ? result.tag : slot(n).row;
    const auto ended = std::remove_if(m_committing.begin(), m_committing.end(),
                                      [row](const Committing &c) { return c.row == row; });
    for (auto it = ended; it != m_committing.end(); ++it)
        forgetCommittingPath(it->savePath);
    m_committing.erase(ended, m_committing.end());
    const auto cancelledAt = std::find(m_cancelled.begin(), m_cancelled.end(), row);
    const bool cancelled = cancelledAt != m_cancelled.end();
    if (cancelled)
        m_cancelled.erase(cancelledAt);
    const bool retried = !cancelled && result.outcome == DownloadResult::Outcome::Failed && retryLater(row, result);
    switch (result.outcome) {
    case DownloadResult::Outcome::Saved:
        m_list.endRow(row, RowState::Saved, now());
        m_list.setSavedPath(row, result.savedPath);
        break;
    case DownloadResult::Outcome::Skipped: m_list.endRow(row, RowState::Skipped, now()); break;
    case DownloadResult::Outcome::Failed:
        if (!retried)
            m_list.endRow(row, RowState::Failed, now(), cancelled ? cancelledReason() : result.reason);
        break;
    case DownloadResult::Outcome::PageNotLoaded:
        m_list.endRow(row, RowState::PageFailed, now(), result.reason);
        break;
    }
    if (!retried)
        emit rowEnded(row);
    if (!m_running)
        return;
    // This slot first; a row may also be waiting for the file it wrote.
    dispatch(n);
    for (int other = 1; other <= threadCount() && m_running; ++other)
        dispatch(other);
    endRunIfDone();
}

bool DownloadDriver::retryLater(int row, const DownloadResult &result)
{
    const int attempt = m_list.rowStatus(row).attempt + 1;
    if (!m_running || !result.transient || attempt > m_settings.retryCount() || m_list.state(row) != RowState::Downloading)
        return false;
    qint64 delayMs = 0;
    if (result.retryAfterSeconds >= 0) {
        delayMs = qint64(result.retryAfterSeconds) * 1000;
    } else {
        delayMs = std::min<qint64>(qint64(m_retryDelayMs) << std::min(attempt - 1, 20), MaxRetryDelayMs);
        delayMs = qint64(double(delayMs) * (0.5 + QRandomGenerator::global()->generateDouble()));
    }
    m_list.waitForRetry(row, attempt, now(), result.reason);
    const qint64 due = m_runTime.elapsed() + delayMs;
    m_retries.push_back({due, row});
    if (!m_retryTimer.isActive() || due < m_runTime.elapsed() + m_retryTimer.remainingTime())
        m_retryTimer.start(int(std::min<qint64>(delayMs, std::numeric_limits<int>::max())));
    return true;
}

void DownloadDriver::retryDue()
{
    const qint64 nowMs = m_runTime.elapsed();
    qint64 next = -1;
    for (auto it = m_retries.begin(); it != m_retries.end();) {
        if (it->dueMs <= nowMs) {
            m_list.readyAgain(it->row);
            it = m_retries.erase(it);
        } else {
            next = next < 0 ? it->dueMs : std::min(next, it->dueMs);
            ++it;
        }
    }
    if (next >= 0)
        m_retryTimer.start(int(std::min<qint64>(next - nowMs, std::numeric_limits<int>::max())));
    settingsChanged();
}

void DownloadDriver::endRunIfDone()
{
    if (!m_running || m_list.firstReady() != 0 || anyBusy() || !m_retries.empty() || !m_committing.empty())
        return;
    const Mode current = mode();
    endRun();
    for (int n = 1; n <= SlotCount; ++n) {
        if (Downloader *d = downloader(n, current))
            d->runEnded();
    }
}

void DownloadDriver::endRun()
{
    m_clock.stop();
    if (std::exchange(m_running, false))
        emit runEnded();
}
