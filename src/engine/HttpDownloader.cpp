#include "engine/HttpDownloader.h"

#include "engine/BaseHref.h"
#include "engine/DurableCommits.h"
#include "engine/SaveNames.h"

#include <QDateTime>
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

// HTML and XML answers are pages; so is an answer without a type whose body starts like markup.
bool isMarkupType(const char *contentType)
{
    const QByteArray type = QByteArray(contentType).split(';').first().trimmed().toLower();
    return type == "text/html" || type == "application/xhtml+xml" || type == "text/xml" || type == "application/xml"
        || type.endsWith("+xml");
}

bool looksLikeMarkup(const QByteArray &body)
{
    qsizetype i = body.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n'))
        ++i;
    return i < body.size() && body[i] == '<';
}

// Failures that may pass on their own: the connection, the network or a busy server.
bool isTransient(CURLcode result)
{
    switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR: return true;
    default: return false;
    }
}

bool isTransientStatus(int status) { return status == 408 || status == 429 || (status >= 500 && status <= 599); }

// Retry-After: seconds, or an HTTP date.
int retryAfterSeconds(const QByteArray &value)
{
    bool number = false;
    const qint64 seconds = value.toLongLong(&number);
    if (number)
        return int(std::clamp<qint64>(seconds, 0, 24 * 3600));
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
    if (!when.isValid())
        return -1;
    return int(std::clamp<qint64>(QDateTime::currentDateTimeUtc().secsTo(when), 0, 24 * 3600));
}

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
    keepOrDrop(m_busy);
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
    curl_slist_free_all(m_hopHeaders);
}

DownloaderFactory HttpDownloader::factory(QNetworkCookieJar *cookieJar, const QByteArray &userAgent)
{
    auto multi = std::make_shared<CurlMulti>();
    auto commits = std::make_shared<DurableCommits>();
    commits->setBusyProbe([weakMulti = std::weak_ptr<CurlMulti>(multi)] {
        const auto alive = weakMulti.lock();
        return alive && alive->transfers() > 0;
    });
    QPointer<QNetworkCookieJar> jar(cookieJar);
    return [multi, commits, jar, userAgent](int slot) -> std::unique_ptr<Downloader> {
        auto downloader = std::make_unique<HttpDownloader>(multi, jar.data());
        downloader->setObjectName(u"Downloader1_%1"_s.arg(slot));
        downloader->setUserAgent(userAgent);
        downloader->setDurableCommits(commits);
        return downloader;
    };
}

void HttpDownloader::start(const DownloadRequest &request)
{
    stopHop();
    keepOrDrop(m_busy);
    ++m_generation;
    m_busy = true;
    m_request = request;
    m_redirects = 0;
    m_received = 0;
    m_written = 0;
    m_reported = 0;
    m_startOver = false;
    // A page is held whole for its base element: nothing of it to continue.
    m_resumable = request.baseAddress.isEmpty();

    const QUrl address(request.url);
    if (!isHttpAddress(address)) {
        reportLater(u"not an http or https address"_s);
        return;
    }
    if (!(m_resumable ? m_staging->openResumable(request.savePath, request.url) : m_staging->open(request.savePath))) {
        const QString folder = QFileInfo(QDir::current().absoluteFilePath(request.savePath)).absolutePath();
        reportLater(u"cannot create a file in %1: %2"_s.arg(folder, m_staging->error()));
        return;
    }
    m_resumeFrom = m_staging->resumed().bytes;
    m_sentValidator = m_staging->resumed().validator;
    m_described = m_resumeFrom > 0;
    m_multi->setSpeedLimit(request.runSpeedLimit);
    if (!startHop(address))
        reportLater(u"the transfer cannot be started"_s);
}

bool HttpDownloader::startHop(const QUrl &address)
{
    if (!m_easy) {
        if (!(m_easy = curl_easy_init()))
            return false;
        setUpEasy();
    }
    m_hopUrl = address;
    m_hopUrlBytes = address.toEncoded();
    m_statusLine.clear();
    m_status = 0;
    m_total = -1;
    m_pageHold = PageHold::Undecided;
    m_page.clear();
    m_refused = false;
    m_writeError.clear();
    m_errorBuffer[0] = '\0';
    m_etag.clear();
    m_lastModified.clear();
    m_rangeStart = -1;
    m_retryAfter = -1;

    curl_slist_free_all(std::exchange(m_hopHeaders, nullptr));
    if (m_resumeFrom > 0) {
        for (const curl_slist *header = m_headers; header; header = header->next)
            m_hopHeaders = curl_slist_append(m_hopHeaders, header->data);
        m_hopHeaders = curl_slist_append(m_hopHeaders, "If-Range: " + m_sentValidator);
    }
    const QByteArray range = QByteArray::number(m_resumeFrom) + '-';

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
    // Waiting for a connection that may carry several transfers pays only where HTTP/2 can be
    // had, over TLS; a plain http transfer that waited would queue behind another's whole body.
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, address.scheme() == "https"_L1 ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, m_multi->receiveBufferBytes(TransferBufferBytes));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_hopHeaders ? m_hopHeaders : m_headers);
    curl_easy_setopt(easy, CURLOPT_RANGE, m_resumeFrom > 0 ? range.constData() : nullptr);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, m_userAgent.isEmpty() ? nullptr : m_userAgent.constData());
    curl_easy_setopt(easy, CURLOPT_COOKIE, m_cookieHeader.isEmpty() ? nullptr : m_cookieHeader.constData());
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, long(m_stallSeconds));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, long(m_stallSeconds));

    m_active = m_multi->add(easy, this);
    return m_active;
}

void HttpDownloader::setUpEasy()
{
    // What every hop of every download of this component shares; the handle keeps it.
    CURL *easy = m_easy;
    curl_easy_setopt(easy, CURLOPT_SHARE, m_multi->share());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L); // every hop gets its own cookies
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // Transfer codings are undone; content codings are what the server stores, so kept.
    curl_easy_setopt(easy, CURLOPT_TRANSFER_ENCODING, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
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
    keepOrDrop(false);
    m_busy = false;
    DownloadResult result;
    result.reason = reason;
    result.tag = m_request.tag;
    // Reported even if the host starts another download first: this one has ended already.
    QMetaObject::invokeMethod(this, [this, result] { emit finished(result); }, Qt::QueuedConnection);
}

void HttpDownloader::cancel()
{
    if (!m_active)
        return;
    stopHop();
    keepOrDrop(true);
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation)
                finish(DownloadResult::Outcome::Failed, u"cancelled"_s);
        },
        Qt::QueuedConnection);
}

void HttpDownloader::runStopped()
{
    if (!m_busy)
        return;
    stopHop();
    keepOrDrop(true);
    m_page.clear();
    m_busy = false;
    ++m_generation; // a report already on its way is dropped
}

QByteArray HttpDownloader::answerValidator() const
{
    // A 206 may leave it out: then the one sent with the range still vouches for the bytes.
    return !m_etag.isEmpty() ? m_etag : !m_lastModified.isEmpty() ? m_lastModified : m_sentValidator;
}

void HttpDownloader::keepOrDrop(bool keep)
{
    const QByteArray validator = answerValidator();
    // Bytes kept before stay kept whatever this answer was; new ones are kept from a 2xx answer.
    const bool answered = m_status >= 200 && m_status < 300 && m_written > 0;
    if (keep && m_resumable && (m_described || (answered && m_staging->keep(validator, m_total))))
        m_staging->discard(); // kept: closed, not removed
    else
        m_staging->drop();
    m_described = false;
}

size_t HttpDownloader::onHeader(char *data, size_t size, size_t count, void *self)
{
    // Zero ends the transfer: the answer cannot continue the kept bytes.
    const size_t bytes = size * count;
    return static_cast<HttpDownloader *>(self)->headerLine(QByteArrayView(data, qsizetype(bytes))) ? bytes : 0;
}

bool HttpDownloader::headerLine(QByteArrayView line)
{
    // Looked at in place: most lines of an answer are none of these.
    line = line.trimmed();
    const auto field = [&line](QByteArrayView name) {
        return line.size() > name.size() && qstrnicmp(line.data(), name.data(), name.size()) == 0
            ? line.sliced(name.size()).trimmed()
            : QByteArrayView();
    };
    if (line.startsWith("HTTP/")) {
        // A new answer: an interim 1xx one is replaced by the next.
        m_statusLine = line.toByteArray();
        const qsizetype space = line.indexOf(' ');
        QByteArrayView code = space < 0 ? QByteArrayView() : line.sliced(space + 1);
        if (const qsizetype end = code.indexOf(' '); end >= 0)
            code = code.first(end);
        m_status = code.toByteArray().toInt();
        m_etag.clear();
        m_lastModified.clear();
        m_rangeStart = -1;
        m_retryAfter = -1;
        m_disposition.clear();
    } else if (line.isEmpty()) {
        return answerHeadersEnded();
    } else if (m_cookieJar && !field("set-cookie:").isEmpty()) {
        m_cookieJar->setCookiesFromUrl(QNetworkCookie::parseCookies(field("set-cookie:").toByteArray()), m_hopUrl);
    } else if (const QByteArrayView etag = field("etag:"); !etag.isEmpty()) {
        // A weak one cannot vouch for a range.
        m_etag = etag.startsWith("W/") ? QByteArray() : etag.toByteArray();
    } else if (const QByteArrayView modified = field("last-modified:"); !modified.isEmpty()) {
        m_lastModified = modified.toByteArray();
    } else if (const QByteArrayView range = field("content-range:"); range.startsWith("bytes ")) {
        bool number = false;
        const qint64 start = range.toByteArray().mid(6, range.indexOf('-') - 6).toLongLong(&number);
        m_rangeStart = number ? start : -1;
    } else if (const QByteArrayView after = field("retry-after:"); !after.isEmpty()) {
        m_retryAfter = retryAfterSeconds(after.toByteArray());
    } else if (const QByteArrayView disposition = field("content-disposition:"); !disposition.isEmpty()) {
        m_disposition = disposition.toByteArray();
    }
    return true;
}

bool HttpDownloader::answerHeadersEnded()
{
    if (m_status < 200 || (m_status >= 300 && m_status < 400))
        return true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
        m_total = length >= 0 ? qint64(length) : -1;
    if (m_request.namedByServer && m_status >= 200 && m_status < 300) {
        const char *type = nullptr;
        curl_easy_getinfo(m_easy, CURLINFO_CONTENT_TYPE, &type);
        const QString path = m_request.namedByServer(contentDispositionFileName(m_disposition), QByteArray(type));
        if (!path.isEmpty())
            m_request.savePath = path;
    }
    if (m_resumeFrom == 0)
        return true;
    if (m_status == 206) {
        // The rest of the very bytes kept, or nothing.
        const bool sameFile = m_etag.isEmpty() || !m_sentValidator.startsWith('"') || m_etag == m_sentValidator;
        if (m_rangeStart != m_resumeFrom || !sameFile)
            return !(m_startOver = true);
        if (m_total >= 0)
            m_total += m_resumeFrom;
        return true;
    }
    if (m_status == 416)
        return !(m_startOver = true);
    if (m_status >= 200 && m_status < 300) {
        // The whole file again (it changed, or the server does not do ranges): from the start.
        if (!m_staging->restart()) {
            m_writeError = m_staging->error();
            return false;
        }
        m_resumeFrom = 0;
        m_sentValidator.clear(); // the new bytes are this answer's, not the kept ones'
        m_described = false;
    }
    return true;
}

bool HttpDownloader::restartWhole()
{
    m_startOver = false;
    if (!m_staging->restart())
        return false;
    m_resumeFrom = 0;
    m_sentValidator.clear();
    m_described = false;
    m_redirects = 0;
    return startHop(QUrl(m_request.url));
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
    if (!d.writeBody(data, qint64(bytes)))
        return 0;
    d.m_received += qint64(bytes);
    d.m_multi->noteProgress(d.m_easy);
    d.m_multi->spendBytes(d.m_easy, qint64(bytes));
    return bytes;
}

bool HttpDownloader::writeBody(const char *data, qint64 size)
{
    if (m_pageHold == PageHold::Undecided) {
        const char *type = nullptr;
        curl_easy_getinfo(m_easy, CURLINFO_CONTENT_TYPE, &type);
        if (m_request.baseAddress.isEmpty() || (type && !isMarkupType(type)))
            m_pageHold = PageHold::No;
        else
            m_pageHold = type ? PageHold::Page : PageHold::MaybePage;
    }
    if (m_pageHold == PageHold::No)
        return write(data, size);
    m_page.append(data, size);
    if (m_page.size() <= PageLimitBytes)
        return true;
    // Too large to carry a base element: saved as it comes.
    m_pageHold = PageHold::No;
    return write(m_page.constData(), m_page.size()) && (m_page.clear(), true);
}

bool HttpDownloader::write(const char *data, qint64 size)
{
    if (!m_staging->write(data, size)) {
        m_writeError = m_staging->error();
        return false;
    }
    m_written += size;
    // A big download keeps its bytes as it goes: a crash or a kill loses at most this much.
    if (!m_described && m_resumable && m_resumeFrom + m_written >= KeepAfterBytes) {
        const QByteArray validator = answerValidator();
        m_described = !validator.isEmpty() && m_staging->keep(validator, m_total);
        if (!validator.isEmpty() && !m_described)
            m_resumable = false; // cannot be kept here: not tried again for every piece
    }
    return true;
}

void HttpDownloader::transferProgressed()
{
    if (m_total <= 0 || m_received == m_reported)
        return;
    m_reported = m_received;
    emit progress(m_resumeFrom + m_received, m_total);
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
    if (m_startOver) {
        if (!restartWhole())
            fail(u"the transfer cannot be started again: "_s + m_staging->error(), false);
        return;
    }
    if (result != CURLE_OK) {
        if (!m_writeError.isEmpty()) {
            // A full disk may be emptied; any other write error stays.
            const int error = m_staging->errorNumber();
            fail(u"cannot write %1: %2"_s.arg(m_request.savePath, m_writeError), error == ENOSPC || error == EDQUOT);
        } else if (m_refused) {
            fail(statusReason(), isTransientStatus(m_status));
        } else {
            fail(QString::fromUtf8(m_errorBuffer[0] ? m_errorBuffer : curl_easy_strerror(result)), isTransient(result));
        }
    } else if (m_status >= 300 && m_status < 400) {
        followRedirect();
    } else if (m_status < 200 || m_status >= 300) {
        fail(statusReason(), isTransientStatus(m_status));
    } else if (m_resumeFrom + m_received == 0) {
        fail(statusReason() + u" with an empty body"_s, false);
    } else {
        finishBody();
    }
}

void HttpDownloader::fail(const QString &reason, bool transient)
{
    DownloadResult result;
    result.reason = reason;
    result.transient = transient;
    result.retryAfterSeconds = transient ? m_retryAfter : -1;
    end(result, transient);
}

void HttpDownloader::followRedirect()
{
    using Outcome = DownloadResult::Outcome;
    char *location = nullptr;
    curl_easy_getinfo(m_easy, CURLINFO_REDIRECT_URL, &location);
    const QUrl next = location ? QUrl(QString::fromUtf8(location)) : QUrl();
    if (!location || !*location)
        finish(Outcome::Failed, statusReason() + u" without a usable Location"_s);
    else if (!isHttpAddress(next))
        finish(Outcome::Failed, statusReason() + u" to an address that is not http or https: "_s + next.toString());
    else if (++m_redirects > MaxRedirects)
        finish(Outcome::Failed, u"more than %1 redirects"_s.arg(MaxRedirects));
    else if (!startHop(next))
        finish(Outcome::Failed, u"the transfer cannot be started"_s);
}

void HttpDownloader::finishBody()
{
    if (m_pageHold == PageHold::Page || m_pageHold == PageHold::MaybePage) {
        const bool page = m_pageHold == PageHold::Page || looksLikeMarkup(m_page);
        const QByteArray bytes = page ? insertBaseElementIntoBytes(m_page, m_request.baseAddress) : m_page;
        m_page.clear();
        if (!write(bytes.constData(), bytes.size())) {
            finish(DownloadResult::Outcome::Failed, u"cannot write %1: %2"_s.arg(m_request.savePath, m_writeError));
            return;
        }
    }
    if (!m_staging->flush()) {
        finish(DownloadResult::Outcome::Failed, u"cannot write %1: %2"_s.arg(m_request.savePath, m_staging->error()));
        return;
    }
    const qint64 size = m_resumeFrom + m_written;
    if (!m_commits) {
        const DownloadResult result = placeDownload(*m_staging, m_request, size);
        finish(result.outcome, result.reason, result.savedPath);
        return;
    }
    // The file goes in place once it is on disk; this component takes the next download meanwhile.
    stopHop();
    m_page.clear();
    m_described = false;
    auto staging = std::exchange(m_staging, std::make_unique<StagingFile>());
    m_staging->setUnnamedAllowed(m_unnamedAllowed);
    staging->passBufferTo(*m_staging);
    const int tag = m_request.tag;
    m_commits->add(std::move(staging), m_request, size, this, [this, tag](DownloadResult result) {
        result.tag = tag;
        emit finished(result);
    });
    m_busy = false;
    emit readyForNext();
}

void HttpDownloader::finish(DownloadResult::Outcome outcome, const QString &reason, const QString &savedPath)
{
    DownloadResult result;
    result.outcome = outcome;
    result.size = outcome == DownloadResult::Outcome::Saved ? m_resumeFrom + m_written : 0;
    result.savedPath = savedPath;
    result.reason = reason;
    end(result, false);
}

void HttpDownloader::end(DownloadResult result, bool keepBytes)
{
    stopHop();
    keepOrDrop(keepBytes);
    m_page.clear();
    m_busy = false;
    result.tag = m_request.tag;
    // The host may start the next download or destroy this component from its handler.
    emit finished(result);
}
