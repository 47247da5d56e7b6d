#include "engine/HttpDownloader.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkCookie>
#include <QNetworkCookieJar>

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// libcurl reads and writes through buffers of this size: large ones save system calls on big
// files, and stay well within the memory a run may take with ten slots.
constexpr long TransferBufferBytes = 256 * 1024;

// HTTP/2 answers carry no reason phrase; these are the ones a download meets.
QByteArray standardPhrase(int status)
{
    switch (status) {
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 410: return "Gone";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return {};
    }
}

// The certificate authorities to trust, where the user names them as for the curl tool;
// otherwise libcurl's own default (the system's store).
QByteArray environmentPath(const char *name) { return qEnvironmentVariableIsEmpty(name) ? QByteArray() : qgetenv(name); }

bool isHttpAddress(const QUrl &address)
{
    const QString scheme = address.scheme();
    return address.isValid() && (scheme == "http"_L1 || scheme == "https"_L1) && !address.host().isEmpty();
}

} // namespace

HttpDownloader::HttpDownloader(std::shared_ptr<CurlMulti> multi, QNetworkCookieJar *cookieJar, QObject *parent)
    : Downloader(parent), m_multi(std::move(multi)), m_cookieJar(cookieJar)
{
    m_headers = curl_slist_append(m_headers, "Cache-Control: no-cache");
    m_headers = curl_slist_append(m_headers, "Pragma: no-cache");
    // The resource's own bytes: the announced length then counts what is written.
    m_headers = curl_slist_append(m_headers, "Accept-Encoding: identity");
}

HttpDownloader::~HttpDownloader()
{
    stopHop();
    m_staging.discard();
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
}

DownloaderFactory HttpDownloader::factory(QNetworkCookieJar *cookieJar, const QByteArray &userAgent)
{
    auto multi = std::make_shared<CurlMulti>();
    QPointer<QNetworkCookieJar> jar(cookieJar);
    return [multi, jar, userAgent](int slot) -> std::unique_ptr<Downloader> {
        auto downloader = std::make_unique<HttpDownloader>(multi, jar.data());
        downloader->setObjectName(u"Downloader1_%1"_s.arg(slot));
        downloader->setUserAgent(userAgent);
        return downloader;
    };
}

void HttpDownloader::BeginDownload(const QString &url, const QString &SaveFile)
{
    stopHop();
    m_staging.discard();
    ++m_generation;
    下载状态 = true;
    m_saveFile = SaveFile;
    m_redirects = 0;
    m_received = 0;
    m_reported = 0;

    const QUrl address(url);
    if (!isHttpAddress(address)) {
        reportLater(u"not an http or https address"_s);
        return;
    }
    if (!m_staging.open(SaveFile)) {
        const QString folder = QFileInfo(QDir::current().absoluteFilePath(SaveFile)).absolutePath();
        reportLater(u"cannot create a file in %1: %2"_s.arg(folder, m_staging.error()));
        return;
    }
    if (!startHop(address))
        reportLater(u"the transfer cannot be started"_s);
}

bool HttpDownloader::startHop(const QUrl &address)
{
    if (!m_easy && !(m_easy = curl_easy_init()))
        return false;
    m_hopUrl = address;
    m_hopUrlBytes = address.toEncoded();
    m_statusLine.clear();
    m_status = 0;
    m_headerDone = false;
    m_total = -1;
    m_refused = false;
    m_writeError.clear();
    m_errorBuffer[0] = '\0';

    m_cookieHeader.clear();
    if (m_cookieJar) {
        const QList<QNetworkCookie> cookies = m_cookieJar->cookiesForUrl(address);
        for (const QNetworkCookie &cookie : cookies) {
            if (!m_cookieHeader.isEmpty())
                m_cookieHeader += "; ";
            m_cookieHeader += cookie.toRawForm(QNetworkCookie::NameAndValueOnly);
        }
    }

    CURL *easy = m_easy;
    curl_easy_setopt(easy, CURLOPT_URL, m_hopUrlBytes.constData());
    curl_easy_setopt(easy, CURLOPT_SHARE, m_multi->share());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L); // every hop gets its own cookies
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, TransferBufferBytes);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, m_userAgent.isEmpty() ? nullptr : m_userAgent.constData());
    curl_easy_setopt(easy, CURLOPT_COOKIE, m_cookieHeader.isEmpty() ? nullptr : m_cookieHeader.constData());
    // Transfer codings are undone; content codings are what the server stores, so kept.
    curl_easy_setopt(easy, CURLOPT_TRANSFER_ENCODING, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, long(m_stallSeconds));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, long(m_stallSeconds));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpDownloader::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpDownloader::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    static const QByteArray caBundle =
        environmentPath("CURL_CA_BUNDLE").isEmpty() ? environmentPath("SSL_CERT_FILE") : environmentPath("CURL_CA_BUNDLE");
    static const QByteArray caFolder = environmentPath("SSL_CERT_DIR");
    if (!caBundle.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caBundle.constData());
    if (!caFolder.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAPATH, caFolder.constData());

    m_active = m_multi->add(easy, this);
    return m_active;
}

void HttpDownloader::stopHop()
{
    if (m_active)
        m_multi->remove(m_easy);
    m_active = false;
}

void HttpDownloader::reportLater(const QString &reason)
{
    stopHop();
    m_staging.discard();
    下载状态 = false;
    const QString saveFile = m_saveFile;
    // Reported even if the host starts another transfer first: this one has ended already.
    QMetaObject::invokeMethod(
        this,
        [this, saveFile, reason] {
            QPointer<HttpDownloader> alive(this);
            emit DownloadError(saveFile, reason);
            if (alive)
                emit DownloadComplete(0, saveFile);
        },
        Qt::QueuedConnection);
}

void HttpDownloader::CancelAsyncRead()
{
    if (!m_active)
        return;
    stopHop();
    m_staging.discard();
    const quint64 generation = m_generation;
    const QString saveFile = m_saveFile;
    QMetaObject::invokeMethod(
        this,
        [this, generation, saveFile] {
            if (generation != m_generation)
                return;
            下载状态 = false;
            QPointer<HttpDownloader> alive(this);
            emit DownloadError(saveFile, u"cancelled"_s);
            if (alive)
                emit DownloadComplete(0, saveFile);
        },
        Qt::QueuedConnection);
}

size_t HttpDownloader::onHeader(char *data, size_t size, size_t count, void *self)
{
    static_cast<HttpDownloader *>(self)->headerLine(QByteArray(data, qsizetype(size * count)));
    return size * count;
}

void HttpDownloader::headerLine(QByteArray line)
{
    line = line.trimmed();
    if (line.startsWith("HTTP/")) {
        // A new answer: an interim 1xx one is replaced by the next.
        m_statusLine = line;
        const QList<QByteArray> parts = line.split(' ');
        m_status = parts.size() > 1 ? parts[1].toInt() : 0;
        m_headerDone = false;
    } else if (line.isEmpty()) {
        m_headerDone = true;
        curl_off_t length = -1;
        if (m_status >= 200 && curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
            m_total = length >= 0 ? qint64(length) : -1;
    } else if (m_cookieJar && line.size() > 11 && qstrnicmp(line.constData(), "set-cookie:", 11) == 0) {
        m_cookieJar->setCookiesFromUrl(QNetworkCookie::parseCookies(line.mid(11).trimmed()), m_hopUrl);
    }
}

size_t HttpDownloader::onBody(char *data, size_t size, size_t count, void *self)
{
    auto &d = *static_cast<HttpDownloader *>(self);
    const size_t bytes = size * count;
    if (d.m_status >= 300 && d.m_status < 400)
        return bytes; // the body of a redirect is not the file
    if (d.m_status < 200 || d.m_status >= 300) {
        d.m_refused = true; // an error page is not the file either: stop reading it
        return 0;
    }
    if (!d.m_staging.write(data, qint64(bytes))) {
        d.m_writeError = d.m_staging.error();
        return 0;
    }
    d.m_received += qint64(bytes);
    d.m_multi->noteProgress(d.m_easy);
    return bytes;
}

void HttpDownloader::transferProgressed()
{
    if (m_total <= 0 || m_received == m_reported)
        return;
    m_reported = m_received;
    const quint64 generation = m_generation;
    QPointer<HttpDownloader> alive(this);
    emit DownloadProgress(m_received, m_total, m_saveFile);
    // The host may have cancelled or replaced the transfer in its handler.
    if (alive && generation == m_generation && m_active)
        下载状态 = true;
}

QString HttpDownloader::statusReason() const
{
    const qsizetype phraseAt = m_statusLine.indexOf(' ', m_statusLine.indexOf(' ') + 1);
    QByteArray phrase = phraseAt > 0 ? m_statusLine.mid(phraseAt + 1).trimmed() : QByteArray();
    if (phrase.isEmpty())
        phrase = standardPhrase(m_status);
    return u"HTTP %1"_s.arg(m_status) + (phrase.isEmpty() ? QString() : u' ' + QString::fromLatin1(phrase));
}

void HttpDownloader::transferDone(CURLcode result)
{
    m_active = false;
    if (result != CURLE_OK) {
        if (!m_writeError.isEmpty())
            endTransfer(false, u"cannot write %1: %2"_s.arg(m_saveFile, m_writeError));
        else if (m_refused)
            endTransfer(false, statusReason());
        else
            endTransfer(false, QString::fromUtf8(m_errorBuffer[0] ? m_errorBuffer : curl_easy_strerror(result)));
        return;
    }
    if (m_status >= 300 && m_status < 400) {
        char *location = nullptr;
        curl_easy_getinfo(m_easy, CURLINFO_REDIRECT_URL, &location);
        const QUrl next = location ? QUrl(QString::fromUtf8(location)) : QUrl();
        if (!location || !*location)
            endTransfer(false, statusReason() + u" without a usable Location"_s);
        else if (!isHttpAddress(next))
            endTransfer(false, statusReason() + u" to an address that is not http or https: "_s + next.toString());
        else if (++m_redirects > MaxRedirects)
            endTransfer(false, u"more than %1 redirects"_s.arg(MaxRedirects));
        else if (!startHop(next))
            endTransfer(false, u"the transfer cannot be started"_s);
        return;
    }
    if (m_status < 200 || m_status >= 300)
        endTransfer(false, statusReason());
    else if (m_received == 0)
        endTransfer(false, statusReason() + u" with an empty body"_s);
    else
        endTransfer(true, {});
}

void HttpDownloader::endTransfer(bool ok, const QString &reason)
{
    stopHop();
    const qint64 size = m_received;
    QString why = reason;
    if (ok && !m_staging.commit()) {
        ok = false;
        why = u"cannot put %1 in place: %2"_s.arg(m_saveFile, m_staging.error());
    }
    m_staging.discard();
    下载状态 = false;
    // The handlers may start the next transfer or destroy this component.
    const QString saveFile = m_saveFile;
    QPointer<HttpDownloader> alive(this);
    if (!ok) {
        emit DownloadError(saveFile, why);
        if (!alive)
            return;
    }
    emit DownloadComplete(ok ? size : 0, saveFile);
}
