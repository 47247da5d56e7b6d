#pragma once

#include "engine/CurlMulti.h"
#include "engine/Downloader.h"
#include "engine/StagingFile.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkCookieJar;

// The fast-mode component: one http or https transfer at a time on libcurl, every slot's
// component on one CurlMulti. The body is streamed, as it arrives, into a StagingFile that is put
// in place under the target name only when the transfer succeeds; a failed, cancelled or
// abandoned transfer leaves no file and never touches an existing one.
//
// Only a 2xx answer with a body succeeds. Redirects (at most MaxRedirects, http and https only)
// are followed here, so that every hop reads the cookie jar for its own address and stores the
// cookies it sets there. A transfer fails on a transport error (reset, short or malformed reply,
// time-out), an HTTP error status, a redirect without a usable Location, an empty body, a file
// that cannot be written or put in place, and when it moves less than 1 byte/s for the stall
// time. DownloadError carries the reason in plain words; DownloadComplete carries the size of the
// file put in place, 0 when the transfer failed.
class HttpDownloader final : public Downloader, private CurlMulti::Transfer
{
    Q_OBJECT
public:
    static constexpr int MaxRedirects = 50;
    static constexpr int DefaultStallSeconds = 60;

    // The jar, when given, is read and written on this thread for every request; it may go away.
    HttpDownloader(std::shared_ptr<CurlMulti> multi, QNetworkCookieJar *cookieJar, QObject *parent = nullptr);
    // A transfer under way is dropped: no events, no file left behind.
    ~HttpDownloader() override;

    // Makes the component of slot N ("Downloader1_N"); the components of one factory share one
    // CurlMulti, so their connections, DNS answers and TLS sessions. The jar is the browsers'
    // (or the one saved from them): the one place cookies live.
    static DownloaderFactory factory(QNetworkCookieJar *cookieJar, const QByteArray &userAgent = {});

    // Returns at once. An address or a target that cannot even be tried frees the component at
    // once (下载状态 false on return) and reports the failure from the event loop. A transfer
    // still under way is dropped without reports.
    void BeginDownload(const QString &url, const QString &SaveFile) override;
    // The end is reported from the event loop, as a failure; 下载状态 stays true until then.
    void CancelAsyncRead() override;

    // Sent as the User-Agent header; empty sends none.
    void setUserAgent(const QByteArray &userAgent) { m_userAgent = userAgent; }
    // A transfer (or a connect) that moves less than 1 byte/s for this long fails.
    void setStallSeconds(int seconds) { m_stallSeconds = seconds; }
    // See StagingFile::setUnnamedAllowed.
    void setUnnamedTempFiles(bool on) { m_staging.setUnnamedAllowed(on); }

private:
    void transferProgressed() override;
    void transferDone(CURLcode result) override;
    bool startHop(const QUrl &address);
    void stopHop();
    void reportLater(const QString &reason);
    void endTransfer(bool ok, const QString &reason);
    QString statusReason() const;

    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    void headerLine(QByteArray line);

    std::shared_ptr<CurlMulti> m_multi;
    QPointer<QNetworkCookieJar> m_cookieJar;
    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    QByteArray m_userAgent;
    int m_stallSeconds = DefaultStallSeconds;

    // The transfer under way.
    quint64 m_generation = 0;
    bool m_active = false; // the easy handle is in the multi handle
    QString m_saveFile;
    QUrl m_hopUrl;
    QByteArray m_hopUrlBytes;
    QByteArray m_cookieHeader;
    int m_redirects = 0;
    StagingFile m_staging;
    // The response being read: its status line and code (1xx answers replace each other), and
    // whether its header is complete.
    QByteArray m_statusLine;
    int m_status = 0;
    bool m_headerDone = false;
    qint64 m_total = -1;   // announced length of the final response, -1 when unknown
    qint64 m_received = 0; // bytes written to the staging file
    qint64 m_reported = 0; // bytes last reported as progress
    bool m_refused = false;      // the body of an error answer was refused
    QString m_writeError;        // why the staging file could not be written
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
};
