#include "engine/PageDownloader.h"

#include "engine/BaseHref.h"
#include "engine/StagingFile.h"
#include "platform/DataFiles.h"
#include "platform/Browser.h"
#include "platform/Codec.h"


using namespace Qt::Literals::StringLiterals;

PageDownloader::PageDownloader(Browser &browser, QObject *parent) : Downloader(parent), m_browser(browser)
{
    browser.setCancelNewWindows(true);
    browser.setCancelWindowClosing(true);
    m_stall.setSingleShot(true);
    m_stall.setInterval(DefaultStallMs);
    connect(&m_stall, &QTimer::timeout, this, [this] {
        m_browser.stop();
        DownloadResult result;
        result.outcome = DownloadResult::Outcome::PageNotLoaded;
        result.reason = u"the page made no progress for %1 s"_s.arg(m_stall.interval() / 1000);
        end(result);
    });
    connect(&browser, &Browser::loadProgress, this, [this](int done, int total) {
        if (!m_active || m_reading)
            return;
        m_stall.start();
        emit progress(done, total);
    });
    connect(&browser, &Browser::titleChanged, this, &PageDownloader::titleChanged);
    connect(&browser, &Browser::loaded, this, &PageDownloader::onLoaded);
    connect(&browser, &Browser::loadFailed, this, &PageDownloader::onLoadFailed);
}

QString PageDownloader::blankPage()
{
    return DataFiles::path(u"blank.htm"_s);
}

void PageDownloader::start(const DownloadRequest &request)
{
    ++m_generation;
    m_request = request;
    m_active = true;
    m_reading = false;
    m_stall.start();
    m_browser.navigate(request.url);
}

bool PageDownloader::isBusy() const { return m_active; }

void PageDownloader::runStopped()
{
    if (!m_active)
        return;
    ++m_generation; // a page being read is not saved
    m_active = false;
    m_stall.stop();
    m_browser.stop();
}

void PageDownloader::cancel()
{
    if (!m_active)
        return;
    runStopped();
    DownloadResult result;
    result.reason = u"cancelled"_s;
    QMetaObject::invokeMethod(this, [this, result] { emit finished(result); }, Qt::QueuedConnection);
}

void PageDownloader::runEnded() { m_browser.navigate(blankPage()); }

void PageDownloader::onLoaded()
{
    // Frames end their loads too; the page is done when the browser is.
    if (!m_active || m_reading || m_browser.isBusy())
        return;
    m_reading = true;
    m_stall.stop();
    const quint64 generation = m_generation;
    QPointer<PageDownloader> self(this);
    m_browser.readDocument([self, generation](const BrowserDocument &document) {
        if (self && self->m_generation == generation)
            self->save(document);
    });
}

void PageDownloader::onLoadFailed(int statusCode)
{
    // The browser is busy with this page: the failure is of an earlier load it gave up.
    if (!m_active || m_reading || m_browser.isBusy())
        return;
    DownloadResult result;
    result.outcome = DownloadResult::Outcome::PageNotLoaded;
    result.reason = statusCode > 0 ? u"HTTP %1"_s.arg(statusCode)
                                   : u"the page could not be loaded (error %1)"_s.arg(statusCode);
    end(result);
}

void PageDownloader::save(const BrowserDocument &document)
{
    QString source = document.outerHtml;
    if (m_sourceFilter)
        source = m_sourceFilter(source);
    const QByteArray bytes = Codec::encodeForHtml(insertBaseElement(source, m_request.url), document.characterSet);
    StagingFile staging;
    DownloadResult result;
    // Pages come one a second at best: each reaches the disk on its own before it is named.
    if (!staging.open(m_request.savePath) || !staging.write(bytes.constData(), bytes.size()) || !staging.syncData())
        result.reason = u"cannot write %1: %2"_s.arg(m_request.savePath, staging.error());
    else
        result = placeDownload(staging, m_request, bytes.size());
    end(result);
}

void PageDownloader::end(DownloadResult result)
{
    m_active = false;
    m_reading = false;
    m_stall.stop();
    ++m_generation;
    emit finished(result);
}
