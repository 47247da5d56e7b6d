#include "engine/HttpDownloader.h"

#include "engine/HttpConnectionPool.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// Bounds what the reply keeps in memory; the body goes to disk as it arrives.
constexpr qint64 ReplyBufferBytes = 1024 * 1024;
constexpr qint64 CopyBlockBytes = 1024 * 1024;
// The network manager's own limit, for the requests the pool makes.
constexpr int MaxRedirects = 50;

// All components run on one thread and use the block only between one read and its write.
char *copyBlock()
{
    static const std::unique_ptr<char[]> block(new char[CopyBlockBytes]);
    return block.get();
}

// Unnamed files are put in place through their /proc/self/fd entry.
bool procFdAvailable()
{
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

QByteArray uniqueNameIn(const QByteArray &folder)
{
    const quint64 r = QRandomGenerator::global()->generate64();
    return folder + "/.quillmoor-" + QByteArray::number(r, 16) + ".part";
}

bool closeChecked(int fd)
{
    // Some file systems report delayed write errors only here; EINTR still closed the file.
    return ::close(fd) == 0 || errno == EINTR;
}

// Cookies of a slot's own manager live in the jar the shared manager has when they are used.
class SharedCookies final : public QNetworkCookieJar
{
public:
    explicit SharedCookies(QNetworkAccessManager &shared) : m_shared(&shared) {}

    QList<QNetworkCookie> cookiesForUrl(const QUrl &url) const override
    {
        QNetworkCookieJar *jar = m_shared ? m_shared->cookieJar() : nullptr;
        return jar ? jar->cookiesForUrl(url) : QList<QNetworkCookie>();
    }

    bool setCookiesFromUrl(const QList<QNetworkCookie> &cookies, const QUrl &url) override
    {
        QNetworkCookieJar *jar = m_shared ? m_shared->cookieJar() : nullptr;
        return jar && jar->setCookiesFromUrl(cookies, url);
    }

private:
    QPointer<QNetworkAccessManager> m_shared;
};

// Counts the component's handlers of reply signals that are running, for the destructor.
class ReplySignalScope
{
public:
    explicit ReplySignalScope(int &depth, QObject *owner) : m_depth(depth), m_owner(owner) { ++m_depth; }
    ~ReplySignalScope()
    {
        if (m_owner)
            --m_depth;
    }
    ReplySignalScope(const ReplySignalScope &) = delete;
    ReplySignalScope &operator=(const ReplySignalScope &) = delete;

private:
    int &m_depth;
    QPointer<QObject> m_owner;
};

} // namespace

HttpDownloader::HttpDownloader(QNetworkAccessManager &manager, QObject *parent)
    : Downloader(parent), m_manager(manager)
{
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &HttpDownloader::onIdleTimer);
}

HttpDownloader::HttpDownloader(std::unique_ptr<QNetworkAccessManager> owned)
    : Downloader(nullptr), m_ownedManager(std::move(owned)), m_manager(*m_ownedManager)
{
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &HttpDownloader::onIdleTimer);
}

HttpDownloader::~HttpDownloader()
{
    releaseReply();
    discardStaging();
    // Destroyed from a handler of one of the reply's signals: the reply, a child of the manager,
    // is still emitting and must outlive this call.
    if (m_ownedManager && m_inReplySignal > 0)
        m_ownedManager.release()->deleteLater();
}

DownloaderFactory HttpDownloader::factory(QNetworkAccessManager &manager, const QByteArray &userAgent)
{
    QNetworkAccessManager *shared = &manager;
    auto pool = std::make_shared<HttpConnectionPool>();
    return [shared, userAgent, pool](int slot) -> std::unique_ptr<Downloader> {
        auto downloader = std::make_unique<HttpDownloader>(*shared);
        downloader->setObjectName(u"Downloader1_%1"_s.arg(slot));
        downloader->setUserAgent(userAgent);
        downloader->setConnectionPool(pool);
        return downloader;
    };
}

DownloaderFactory HttpDownloader::factoryWithManagerPerSlot(QNetworkAccessManager &shared, const QByteArray &userAgent)
{
    QNetworkAccessManager *sharedManager = &shared;
    auto pool = std::make_shared<HttpConnectionPool>();
    return [sharedManager, userAgent, pool](int slot) -> std::unique_ptr<Downloader> {
        auto manager = std::make_unique<QNetworkAccessManager>();
        manager->setCookieJar(new SharedCookies(*sharedManager));
        std::unique_ptr<HttpDownloader> downloader(new HttpDownloader(std::move(manager)));
        downloader->setObjectName(u"Downloader1_%1"_s.arg(slot));
        downloader->setUserAgent(userAgent);
        downloader->setConnectionPool(pool);
        return downloader;
    };
}

void HttpDownloader::BeginDownload(const QString &url, const QString &SaveFile)
{
    releaseReply();
    discardStaging();
    ++m_generation;
    下载状态 = true;
    m_saveFile = SaveFile;
    m_total = -1;
    m_received = 0;
    m_bodyWanted = false;

    const QUrl address(url);
    const QString scheme = address.scheme();
    if (!address.isValid() || (scheme != "http"_L1 && scheme != "https"_L1) || address.host().isEmpty()
        || !openStaging(SaveFile)) {
        failToStart();
        return;
    }

    QNetworkRequest request(address);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setRawHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache"));
    request.setRawHeader(QByteArrayLiteral("Pragma"), QByteArrayLiteral("no-cache"));
    // The resource's own bytes: the announced length then counts what is written.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    if (!m_userAgent.isEmpty())
        request.setRawHeader(QByteArrayLiteral("User-Agent"), m_userAgent);

    startReply(request, MaxRedirects);
}

void HttpDownloader::startReply(const QNetworkRequest &request, int maxRedirects)
{
    QNetworkReply *reply = nullptr;
    if (m_pool && HttpConnectionPool::handles(request.url(), m_manager)) {
        PlainHttpReply *plain = m_pool->get(request, m_manager.cookieJar(), maxRedirects);
        connect(plain, &PlainHttpReply::handOver, this, &HttpDownloader::onHandOver);
        reply = plain;
    } else {
        QNetworkRequest viaManager = request;
        viaManager.setMaximumRedirectsAllowed(maxRedirects);
        reply = m_manager.get(viaManager);
    }
    m_reply = reply;
    reply->setReadBufferSize(ReplyBufferBytes);
    connect(reply, &QNetworkReply::metaDataChanged, this, &HttpDownloader::onMetaDataChanged);
    connect(reply, &QNetworkReply::readyRead, this, &HttpDownloader::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &HttpDownloader::onFinished);
    connect(reply, &QNetworkReply::redirected, this, [this] { m_sinceData.start(); });
    m_sinceData.start();
    m_idleTimer.start(m_idleTimeoutMs);
}

void HttpDownloader::onHandOver(const QUrl &url, int redirectsLeft)
{
    if (!m_reply)
        return;
    QNetworkRequest request = m_reply->request();
    request.setUrl(url);
    releaseReply();
    startReply(request, redirectsLeft);
}

void HttpDownloader::failToStart()
{
    discardStaging();
    下载状态 = false;
    const QString saveFile = m_saveFile;
    // Reported even if the host starts another transfer first: this one has ended already.
    QMetaObject::invokeMethod(
        this,
        [this, saveFile] {
            QPointer<HttpDownloader> alive(this);
            emit DownloadError(saveFile);
            if (alive)
                emit DownloadComplete(0, saveFile);
        },
        Qt::QueuedConnection);
}

void HttpDownloader::CancelAsyncRead()
{
    if (!m_reply)
        return;
    releaseReply();
    discardStaging();
    const quint64 generation = m_generation;
    const QString saveFile = m_saveFile;
    QMetaObject::invokeMethod(
        this,
        [this, generation, saveFile] {
            if (generation != m_generation)
                return;
            下载状态 = false;
            QPointer<HttpDownloader> alive(this);
            emit DownloadError(saveFile);
            if (alive)
                emit DownloadComplete(0, saveFile);
        },
        Qt::QueuedConnection);
}

void HttpDownloader::onMetaDataChanged()
{
    m_sinceData.start();
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    m_bodyWanted = status < 400;
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    m_total = length.isValid() ? length.toLongLong() : -1;
}

void HttpDownloader::onReadyRead()
{
    const ReplySignalScope scope(m_inReplySignal, this);
    const qint64 before = m_received;
    if (!drain() || m_received == before || m_total <= 0)
        return;
    const quint64 generation = m_generation;
    QPointer<HttpDownloader> alive(this);
    emit DownloadProgress(m_received, m_total, m_saveFile);
    // The host may have cancelled or replaced the transfer in its handler.
    if (alive && generation == m_generation && m_reply)
        下载状态 = true;
}

bool HttpDownloader::drain()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return false;
    m_sinceData.start();
    if (!m_bodyWanted) {
        reply->skip(reply->bytesAvailable()); // an error page is not the file
        return true;
    }
    char *block = copyBlock();
    for (;;) {
        const qint64 n = reply->read(block, CopyBlockBytes);
        if (n <= 0)
            return true;
        if (!writeStaging(block, n)) {
            endTransfer(false);
            return false;
        }
        m_received += n;
    }
}

void HttpDownloader::onFinished()
{
    const ReplySignalScope scope(m_inReplySignal, this);
    const quint64 generation = m_generation;
    QPointer<HttpDownloader> alive(this);
    onReadyRead(); // what arrived with the end
    if (!alive || generation != m_generation || !m_reply)
        return;
    const bool ok = m_reply->error() == QNetworkReply::NoError && m_bodyWanted && m_received > 0
        && (m_total < 0 || m_received == m_total);
    endTransfer(ok);
}

void HttpDownloader::onIdleTimer()
{
    const qint64 quiet = m_sinceData.elapsed();
    if (quiet < m_idleTimeoutMs) {
        m_idleTimer.start(int(m_idleTimeoutMs - quiet));
        return;
    }
    endTransfer(false);
}

void HttpDownloader::endTransfer(bool ok)
{
    releaseReply();
    const qint64 size = m_received;
    if (ok)
        ok = commitStaging();
    else
        discardStaging();
    下载状态 = false;
    // The handlers may start the next transfer or destroy this component.
    const QString saveFile = m_saveFile;
    QPointer<HttpDownloader> alive(this);
    if (!ok) {
        emit DownloadError(saveFile);
        if (!alive)
            return;
    }
    emit DownloadComplete(ok ? size : 0, saveFile);
}

void HttpDownloader::releaseReply()
{
    m_idleTimer.stop();
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
}

bool HttpDownloader::openStaging(const QString &saveFile)
{
    if (saveFile.isEmpty() || saveFile.endsWith(u'/'))
        return false;
    const QString absolute = QDir::isAbsolutePath(saveFile) ? saveFile : QDir::current().absoluteFilePath(saveFile);
    const qsizetype slash = absolute.lastIndexOf(u'/');
    m_target = QFile::encodeName(absolute);
    m_folder = QFile::encodeName(slash > 0 ? absolute.left(slash) : u"/"_s);
    // The permissions a new file would get: 0666 less the umask, which open() applies.
    if (m_unnamedTempFiles && procFdAvailable()) {
        m_fd = ::open(m_folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd >= 0)
            return true;
        // File systems without unnamed files fall through to a named one.
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = uniqueNameIn(m_folder);
        m_fd = ::open(name.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_stagingName = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool HttpDownloader::writeStaging(const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

bool HttpDownloader::commitStaging()
{
    if (m_fd < 0)
        return false;
    const int fd = m_fd;
    m_fd = -1;
    if (!m_stagingName.isEmpty()) {
        const QByteArray name = std::exchange(m_stagingName, {});
        const bool ok = closeChecked(fd) && ::rename(name.constData(), m_target.constData()) == 0;
        if (!ok)
            ::unlink(name.constData());
        return ok;
    }

    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    bool ok = ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_target.constData(), AT_SYMLINK_FOLLOW) == 0;
    if (!ok && errno == EEXIST) {
        // An existing file is replaced in one step: link under a fresh name, then rename over it.
        for (int attempt = 0; attempt < 100; ++attempt) {
            const QByteArray name = uniqueNameIn(m_folder);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno == EEXIST)
                    continue;
                break;
            }
            ok = ::rename(name.constData(), m_target.constData()) == 0;
            if (!ok)
                ::unlink(name.constData());
            break;
        }
    }
    // File systems with unnamed files report write errors at write time, not at close.
    ::close(fd);
    return ok;
}

void HttpDownloader::discardStaging()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_stagingName.isEmpty())
        ::unlink(m_stagingName.constData());
    m_stagingName.clear();
}
