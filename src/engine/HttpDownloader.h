#pragma once

#include "engine/Downloader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <memory>

class HttpConnectionPool;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// The fast-mode component over Qt Network. The body is streamed, as it arrives, into a
// temporary file in the target folder, which is put in place under the target name only when the
// transfer succeeds; a failed, cancelled or abandoned transfer leaves no file and never touches
// an existing one. A transfer fails on a transport error, an HTTP error status, an empty or short
// body, a file that cannot be written or put in place, and after a stretch without data.
// DownloadComplete carries the size of the file put in place, 0 when the transfer failed.
// The host starts a transfer only while 下载状态 is false; a transfer still running when
// BeginDownload is called again is dropped without reports.
class HttpDownloader final : public Downloader
{
    Q_OBJECT
public:
    static constexpr int DefaultIdleTimeoutMs = 60000;

    // The manager is shared by all slots and must outlive the component.
    explicit HttpDownloader(QNetworkAccessManager &manager, QObject *parent = nullptr);
    // A transfer under way is dropped: no events, no file left behind.
    ~HttpDownloader() override;

    // Makes the component of slot N ("Downloader1_N") on the shared manager. Plain http addresses
    // go through kept-alive connections shared by the components of one factory (see
    // setConnectionPool); https and proxied addresses go through the manager.
    static DownloaderFactory factory(QNetworkAccessManager &manager, const QByteArray &userAgent = {});
    // Like factory(), but for what goes through a manager each component gets a manager of its own
    // that reads and stores cookies through the cookie jar the shared manager has at that moment.
    // Other settings of the shared manager (proxy) are not carried over.
    static DownloaderFactory factoryWithManagerPerSlot(QNetworkAccessManager &shared,
                                                       const QByteArray &userAgent = {});

    // Returns at once. An address or a target that cannot even be tried frees the component at
    // once (下载状态 false on return) and reports the failure from the event loop.
    void BeginDownload(const QString &url, const QString &SaveFile) override;
    // The end is reported from the event loop, as a failure; 下载状态 stays true until then.
    void CancelAsyncRead() override;

    // Sent as the User-Agent header; empty leaves Qt's own.
    void setUserAgent(const QByteArray &userAgent) { m_userAgent = userAgent; }
    QByteArray userAgent() const { return m_userAgent; }
    // A transfer that receives nothing for this long fails.
    void setIdleTimeout(int ms) { m_idleTimeoutMs = ms; }
    int idleTimeout() const { return m_idleTimeoutMs; }
    // Unnamed temporary files where the file system offers them (nothing left even after a
    // crash); off, a hidden named file in the target folder is used instead.
    void setUnnamedTempFiles(bool on) { m_unnamedTempFiles = on; }
    // With a pool, plain http addresses without a proxy are fetched over its connections, on this
    // thread, with the manager's cookie jar; without one (the default), everything goes through
    // the manager. A redirect from plain http to https is carried on by the manager.
    void setConnectionPool(std::shared_ptr<HttpConnectionPool> pool) { m_pool = std::move(pool); }

private:
    explicit HttpDownloader(std::unique_ptr<QNetworkAccessManager> owned);
    void failToStart();
    void startReply(const QNetworkRequest &request, int maxRedirects);
    void onHandOver(const QUrl &url, int redirectsLeft);
    void onMetaDataChanged();
    void onReadyRead();
    void onFinished();
    void onIdleTimer();
    // Writes what the reply holds; false when the transfer was ended meanwhile.
    bool drain();
    void endTransfer(bool ok);
    void releaseReply();

    bool openStaging(const QString &saveFile);
    bool writeStaging(const char *data, qint64 size);
    bool commitStaging();
    void discardStaging();

    std::unique_ptr<QNetworkAccessManager> m_ownedManager; // set by factoryWithManagerPerSlot
    QNetworkAccessManager &m_manager;
    std::shared_ptr<HttpConnectionPool> m_pool;
    int m_inReplySignal = 0; // depth of this component's handlers of reply signals
    QByteArray m_userAgent;
    int m_idleTimeoutMs = DefaultIdleTimeoutMs;
    bool m_unnamedTempFiles = true;

    // The transfer under way.
    quint64 m_generation = 0;
    QPointer<QNetworkReply> m_reply;
    QString m_saveFile;
    qint64 m_total = -1;   // announced length of the final response, -1 when unknown
    qint64 m_received = 0; // bytes written to the staging file
    bool m_bodyWanted = false;
    QTimer m_idleTimer;
    QElapsedTimer m_sinceData;

    // The staging file: open descriptor, its own name (empty when unnamed), the target and its folder.
    int m_fd = -1;
    QByteArray m_stagingName;
    QByteArray m_target;
    QByteArray m_folder;
};
