#include "engine/DownloadDriver.h"

#include "engine/BaseHref.h"
#include "engine/DownloadSettings.h"
#include "engine/DownloadSlot.h"
#include "engine/RowTexts.h"
#include "engine/SaveNames.h"
#include "engine/StagingFile.h"
#include "engine/UrlList.h"
#include "platform/Browser.h"
#include "platform/Codec.h"

#include <QPointer>
#include <QDateTime>
#include <QDir>
#include <QTime>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

// Slot timers armed by the driver tick wait this long before they dispatch.
constexpr int SlotTimerMs = 100;

QTime now() { return QTime::currentTime(); }

} // namespace

QString DownloadDriver::webPageExtensions()
{
    return u";.htm;.html;.xml;.asp;.aspx;.xbm;.php;.shtm;.shtml;.php3;.jsp;.com;.net;.edu;.cgi;.sthml"_s;
}

DownloadDriver::DownloadDriver(UrlList &list, DownloadSettings &settings, DownloadSlots &slotBank, QObject *parent)
    : QObject(parent), m_list(list), m_settings(settings), m_slots(slotBank)
{
    connect(&m_slots.TimerZ(), &QTimer::timeout, this, &DownloadDriver::driverTick);
    for (int n = 1; n <= DownloadSlots::SlotCount; ++n)
        connect(m_slots.slot(n).timer, &QTimer::timeout, this, [this, n] { dispatchSlot(n); });
}

DownloadDriver::~DownloadDriver()
{
    for (int n = 1; n <= DownloadSlots::SlotCount; ++n)
        m_slots.setDownloader(n, nullptr);
}

void DownloadDriver::setDownloaderFactory(const DownloaderFactory &factory)
{
    for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
        auto &owned = m_downloaders[static_cast<std::size_t>(n - 1)];
        m_slots.setDownloader(n, nullptr);
        owned = factory ? factory(n) : nullptr;
        Downloader *downloader = owned.get();
        m_slots.setDownloader(n, downloader);
        if (!downloader)
            continue;
        connect(downloader, &Downloader::progress, this,
                [this, n](qint64 received, qint64 total) { onProgress(n, received, total); });
        connect(downloader, &Downloader::finished, this,
                [this, n](const DownloadResult &result) { onFinished(n, result); });
    }
}

void DownloadDriver::setPageBrowsers(const std::array<Browser *, 10> &browsers)
{
    for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
        if (Browser *old = m_slots.slot(n).pageBrowser)
            disconnect(old, nullptr, this, nullptr);
        Browser *browser = browsers[static_cast<std::size_t>(n - 1)];
        m_slots.setPageBrowser(n, browser);
        if (!browser)
            continue;
        browser->setCancelNewWindows(true);
        browser->setCancelWindowClosing(true);
        connect(browser, &Browser::ProgressChange, this,
                [this, n](int progress, int max) { onPageProgress(n, progress, max); });
        connect(browser, &Browser::TitleChange, this, [this, n](const QString &title) { onPageTitle(n, title); });
        connect(browser, &Browser::DocumentComplete, this, [this, n] { onPageComplete(n); });
        connect(browser, &Browser::NavigateError, this, [this, n](int code) { onPageError(n, code); });
    }
}

void DownloadDriver::setPageSourceFilter(std::function<QString(const QString &)> filter)
{
    m_pageSourceFilter = std::move(filter);
}

bool DownloadDriver::fastMode() const { return m_settings.fastMode(); }

int DownloadDriver::threadCount() const { return std::clamp(m_settings.threadCount(), 1, DownloadSlots::SlotCount); }

bool DownloadDriver::runOn() const { return m_slots.runOn(); }

bool DownloadDriver::isWebPageExtension(const QString &extension)
{
    if (extension.isEmpty())
        return false;
    const QStringList pages = webPageExtensions().split(u';', Qt::SkipEmptyParts);
    return pages.contains(u'.' + extension, Qt::CaseInsensitive);
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

void DownloadDriver::Start()
{
    if (m_list.count() == 0 || !prepareSaveFolder())
        return;
    m_renameCounters.clear();
    m_slots.elapsedSeconds = 0;
    m_slots.reachedEnd = false;
    m_list.markAllReady();
    const bool wasOn = runOn();
    m_slots.TimerZ().start();
    if (!wasOn)
        emit runStarted();
    // Free slots start at once instead of a second later; the elapsed time still counts ticks.
    const bool fast = fastMode();
    for (int n = 1; n <= threadCount(); ++n) {
        if (!m_slots.slot(n).busy(fast))
            redispatchSoon(n);
    }
}

void DownloadDriver::Stop()
{
    const bool wasOn = runOn();
    const bool fast = fastMode();
    m_slots.TimerZ().stop();
    // Pending slot timers are disarmed in both modes, so no row is taken after Stop.
    for (int n = 1; n <= DownloadSlots::SlotCount; ++n)
        m_slots.slot(n).timer->stop();
    if (!fast) {
        for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
            DownloadSlot &slot = m_slots.slot(n);
            if (slot.pageBrowser)
                slot.pageBrowser->Stop();
            slot.pageBusy = false;
        }
    }
    if (wasOn)
        emit runEnded();
}

void DownloadDriver::modeChangeHook(bool newModeIsFast)
{
    if (runOn())
        return; // the run goes on in the new mode from its next decision
    const QString previous = m_settings.downloadMode();
    m_settings.overrideDownloadMode(newModeIsFast ? DownloadSettings::modeFast() : DownloadSettings::modePage());
    Stop();
    m_settings.overrideDownloadMode(previous);
}

std::vector<int> DownloadDriver::lightsTick()
{
    const bool fast = fastMode();
    const int count = threadCount();
    std::vector<int> colours;
    colours.reserve(static_cast<std::size_t>(count));
    for (int n = 1; n <= count; ++n) {
        DownloadSlot &slot = m_slots.slot(n);
        colours.push_back(slot.busy(fast) ? LightRed : LightGreen);
        if (!fast && !runOn())
            slot.pageBusy = false;
    }
    return colours;
}

void DownloadDriver::driverTick()
{
    ++m_slots.elapsedSeconds;
    emit elapsedTextChanged(RowTexts::elapsed(m_slots.elapsedSeconds));
    const bool fast = fastMode();
    for (int n = 1; n <= threadCount(); ++n) {
        DownloadSlot &slot = m_slots.slot(n);
        if (!slot.busy(fast) && !slot.timer->isActive())
            slot.timer->start(SlotTimerMs);
    }
}

void DownloadDriver::redispatchSoon(int slot)
{
    if (runOn())
        m_slots.slot(slot).timer->start(0);
}

void DownloadDriver::dispatchSlot(int n)
{
    DownloadSlot &slot = m_slots.slot(n);
    slot.timer->stop();
    if (!runOn())
        return;
    const bool fast = fastMode();
    if (slot.busy(fast))
        return;
    const int rows = m_list.count();
    if (rows == 0)
        return;

    const int m = m_list.firstReady();
    if (m == 0 || m == rows)
        m_slots.reachedEnd = true;
    if (m == 0) {
        if (!m_slots.anyBusy(threadCount(), fast)) {
            endRun();
            if (!fast)
                m_slots.ReleasePageBrowsers();
        }
        return;
    }

    const auto pathTaken = [this, n](const QString &path) { return m_slots.pathInUse(path, n); };
    const SaveName name = decideSaveName(m_settings, m_list.linkName(m), m_list.url(m), pathTaken, &m_renameCounters);
    if (name.outcome == SaveName::Outcome::Wait)
        return; // the row stays ready until the slot writing its file is done
    m_list.startRow(m, n);
    slot.rowIndex = m;
    slot.slotExtension = name.extension;
    slot.slotUrl = name.url;
    slot.slotSavePath = name.savePath;

    switch (name.outcome) {
    case SaveName::Outcome::Skip:
        m_list.endRow(m, RowState::Skipped, now());
        emit rowEnded(m);
        redispatchSoon(n);
        return;
    case SaveName::Outcome::Wait:
    case SaveName::Outcome::Nothing:
        return;
    case SaveName::Outcome::Start:
        break;
    }
    slot.request = downloadRequest(n, name);
    if (fast) {
        if (slot.downloader)
            slot.downloader->start(slot.request);
    } else if (slot.pageBrowser) {
        slot.pageBrowser->Navigate(slot.slotUrl);
    }
}

void DownloadDriver::endRun()
{
    const bool wasOn = runOn();
    m_slots.TimerZ().stop();
    for (int n = 1; n <= DownloadSlots::SlotCount; ++n)
        m_slots.slot(n).timer->stop();
    if (wasOn)
        emit runEnded();
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
    request.nextFreeName = [this, n, name] {
        const QString path =
            nextFreeName(name, [this, n](const QString &p) { return m_slots.pathInUse(p, n); }, &m_renameCounters);
        if (!path.isEmpty())
            m_slots.slot(n).slotSavePath = path;
        return path;
    };
    if (isWebPageExtension(name.extension))
        request.baseAddress = name.url;
    return request;
}

void DownloadDriver::onProgress(int n, qint64 received, qint64 total)
{
    if (total == 0)
        return;
    m_list.setProgress(m_slots.slot(n).rowIndex, UrlRow::ProgressKind::Bytes, received, total);
}

void DownloadDriver::onFinished(int n, const DownloadResult &result)
{
    DownloadSlot &slot = m_slots.slot(n);
    rowFinished(slot.rowIndex, result);
    endRunOrDispatch(n);
}

void DownloadDriver::rowFinished(int rowIndex, const DownloadResult &result)
{
    switch (result.outcome) {
    case DownloadResult::Outcome::Saved: m_list.endRow(rowIndex, RowState::Saved, now()); break;
    case DownloadResult::Outcome::Skipped: m_list.endRow(rowIndex, RowState::Skipped, now()); break;
    case DownloadResult::Outcome::Failed: m_list.endRow(rowIndex, RowState::Failed, now(), result.reason); break;
    }
    emit rowEnded(rowIndex);
}

void DownloadDriver::endRunOrDispatch(int n)
{
    const bool fast = fastMode();
    if (m_slots.reachedEnd && runOn() && !m_slots.anyBusy(threadCount(), fast) && m_list.firstReady() == 0) {
        endRun();
        if (!fast)
            m_slots.ReleasePageBrowsers();
        return;
    }
    // A row may be waiting for the file this slot wrote: every free slot looks again.
    for (int other = 1; other <= threadCount(); ++other) {
        if (other == n || !m_slots.slot(other).busy(fast))
            redispatchSoon(other);
    }
}

void DownloadDriver::onPageProgress(int n, int progress, int progressMax)
{
    if (!runOn())
        return; // the blank page after a run must not rewrite the rows last given to the slots
    m_list.setProgress(m_slots.slot(n).rowIndex, UrlRow::ProgressKind::Page, progress, progressMax);
}

void DownloadDriver::onPageTitle(int n, const QString &title) { emit statusTextChanged(RowTexts::pageTitle(n, title)); }

void DownloadDriver::onPageComplete(int n)
{
    DownloadSlot &slot = m_slots.slot(n);
    if (runOn() && slot.pageBrowser && !slot.pageBrowser->Busy())
        savePage(n);
    else if (runOn() && m_slots.reachedEnd && !m_slots.anyBusy(threadCount(), false))
        endRunOrDispatch(n);
}

void DownloadDriver::savePage(int n)
{
    DownloadSlot &slot = m_slots.slot(n);
    slot.pageBusy = true;
    // The slot's fields are read now: once pageBusy clears (or Stop clears it) the slot may
    // take another row before the document arrives.
    const int rowIndex = slot.rowIndex;
    const DownloadRequest request = slot.request;
    QPointer<DownloadDriver> self(this);
    slot.pageBrowser->readDocument([self, n, rowIndex, request](const BrowserDocument &document) {
        if (!self)
            return;
        QString source = document.outerHtml;
        if (self->m_pageSourceFilter)
            source = self->m_pageSourceFilter(source);
        const QByteArray bytes = Codec::encodeForHtml(AddBaseHref(source, request.url), document.characterSet);
        StagingFile staging;
        DownloadResult result;
        if (!staging.open(request.savePath) || !staging.write(bytes.constData(), bytes.size()))
            result.reason = u"cannot write %1: %2"_s.arg(request.savePath, staging.error());
        else
            result = placeDownload(staging, request, bytes.size());
        self->m_slots.slot(n).pageBusy = false;
        self->rowFinished(rowIndex, result);
        self->endRunOrDispatch(n);
    });
}

void DownloadDriver::onPageError(int n, int code)
{
    DownloadSlot &slot = m_slots.slot(n);
    m_list.endRow(slot.rowIndex, RowState::PageFailed, now(),
                  code > 0 ? u"HTTP %1"_s.arg(code) : u"the page could not be loaded (error %1)"_s.arg(code));
    slot.pageBusy = false;
    emit rowEnded(slot.rowIndex);
    endRunOrDispatch(n);
}
