#pragma once

#include "engine/CurlMulti.h"
#include "engine/Downloader.h"
#include "engine/StagingFile.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class DurableCommits;
class QNetworkCookieJar;

// The fast-mode component: one http or https download at a time on libcurl, every slot's
// component on one CurlMulti. The body is streamed, as it arrives, into a StagingFile that is put
// in place under the target name only when the download succeeds, by the request's same-name
// rule as things stand at that moment.
//
// Only a 2xx answer with a body succeeds. Redirects (at most MaxRedirects, http and https only)
// are followed here, so that every hop reads the cookie jar for its own address and stores the
// cookies it sets there. A download fails on a transport error (reset, short or malformed reply,
// time-out), an HTTP error status, a redirect without a usable Location, an empty body, a file
// that cannot be written or put in place, and when it moves less than 1 byte/s for the stall
// time. A page asked to carry a base element is held in memory up to PageLimitBytes (larger
// ones are saved unchanged) and written once, with the element.
//
// Any other file is resumable: once KeepAfterBytes have arrived, or when the download fails for a
// passing reason, is cancelled or stopped, its bytes are kept (StagingFile::keep) with the
// answer's validator (a strong ETag, else Last-Modified). The next download of the same address
// to the same target asks for the rest (Range with If-Range): a 206 from the right offset
// continues; a 200 starts over in the same file; a 416 or a 206 that does not fit starts over.
class HttpDownloader final : public Downloader, private CurlMulti::Transfer
{
    Q_OBJECT
public:
    static constexpr int MaxRedirects = 50;
    static constexpr int DefaultStallSeconds = 60;
    static constexpr qint64 PageLimitBytes = 1000000;
    static constexpr qint64 KeepAfterBytes = 1 << 20;

    // The jar, when given, is read and written on this thread for every request; it may go away.
    HttpDownloader(std::shared_ptr<CurlMulti> multi, QNetworkCookieJar *cookieJar, QObject *parent = nullptr);
    // A download under way is dropped: no report, no file left behind.
    ~HttpDownloader() override;

    // Makes the component of slot N ("Downloader1_N"); the components of one factory share one
    // CurlMulti, so their connections, DNS answers and TLS sessions. The jar is the browsers'
    // (or the one saved from them): the one place cookies live.
    static DownloaderFactory factory(QNetworkCookieJar *cookieJar, const QByteArray &userAgent = {});

    void start(const DownloadRequest &request) override;
    // Ends the download as a failure ("cancelled"), keeping its bytes for the next attempt.
    void cancel() override;
    void runStopped() override;
    bool isBusy() const override { return m_busy; }
    qint64 keptBytes() const override { return m_resumeFrom; }

    // Sent as the User-Agent header; empty sends none.
    void setUserAgent(const QByteArray &userAgent) { m_userAgent = userAgent; }
    // A download (or a connect) that moves less than 1 byte/s for this long fails.
    void setStallSeconds(int seconds) { m_stallSeconds = seconds; }
    // See StagingFile::setUnnamedAllowed.
    void setUnnamedTempFiles(bool on) { m_staging->setUnnamedAllowed(m_unnamedAllowed = on); }
    // A complete file is put in place once on disk, by these commits shared with the other slots,
    // and the component takes the next download meanwhile (readyForNext). Without, at once.
    void setDurableCommits(std::shared_ptr<DurableCommits> commits) { m_commits = std::move(commits); }

private:
    void transferProgressed() override;
    void transferDone(CURLcode result) override;
    bool startHop(const QUrl &address);
    void stopHop();
    void reportLater(const QString &reason);
    void followRedirect();
    void finishBody();
    void finish(DownloadResult::Outcome outcome, const QString &reason = {}, const QString &savedPath = {});
    void fail(const QString &reason, bool transient);
    // Reports the end of the download, its bytes kept for the next attempt or dropped.
    void end(DownloadResult result, bool keepBytes);
    void keepOrDrop(bool keep);
    // What the kept bytes are checked by next time: a strong ETag, else Last-Modified.
    QByteArray answerValidator() const;
    QString statusReason() const;
    bool answerHeadersEnded();
    bool restartWhole();

    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    bool headerLine(QByteArrayView line);
    void setUpEasy();
    bool writeBody(const char *data, qint64 size);
    bool write(const char *data, qint64 size);

    std::shared_ptr<CurlMulti> m_multi;
    QPointer<QNetworkCookieJar> m_cookieJar;
    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    curl_slist *m_hopHeaders = nullptr; // m_headers and If-Range
    QByteArray m_userAgent;
    int m_stallSeconds = DefaultStallSeconds;

    // The download under way.
    DownloadRequest m_request;
    quint64 m_generation = 0;
    bool m_busy = false;
    bool m_active = false; // the easy handle is in the multi handle
    QUrl m_hopUrl;
    QByteArray m_hopUrlBytes;
    QByteArray m_cookieHeader;
    int m_redirects = 0;
    std::unique_ptr<StagingFile> m_staging = std::make_unique<StagingFile>();
    bool m_unnamedAllowed = true;
    std::shared_ptr<DurableCommits> m_commits;
    // The answer being read: its status line and code (1xx answers replace each other).
    QByteArray m_statusLine;
    int m_status = 0;
    qint64 m_total = -1;   // announced length of the final answer, -1 when unknown
    qint64 m_received = 0; // body bytes received
    qint64 m_written = 0;  // bytes in the staging file
    qint64 m_reported = 0; // bytes last reported as progress
    // The page held back for its base element, decided with the first body bytes: a markup
    // type, no type at all (the body then tells), or not a page.
    enum class PageHold { Undecided, Page, MaybePage, No } m_pageHold = PageHold::Undecided;
    QByteArray m_page;
    bool m_refused = false;      // the body of an error answer was refused
    // Resuming: the offset asked for and the validator sent with it; the answer's own validator,
    // Content-Range start and Retry-After.
    bool m_resumable = false;
    bool m_described = false;    // the kept bytes are described by the answer being read
    qint64 m_resumeFrom = 0;
    QByteArray m_sentValidator;
    QByteArray m_etag;
    QByteArray m_lastModified;
    qint64 m_rangeStart = -1;
    int m_retryAfter = -1;
    QByteArray m_disposition; // the answer's Content-Disposition
    bool m_startOver = false;    // the answer cannot continue the kept bytes: ask for all of it
    QString m_writeError;        // why the staging file could not be written
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
};
