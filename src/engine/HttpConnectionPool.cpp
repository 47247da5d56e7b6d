#include "engine/HttpConnectionPool.h"

#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <algorithm>
#include <cstring>

using namespace Qt::Literals::StringLiterals;

namespace {

// Bounds what a connection holds in memory; the kernel holds the rest until it is read.
constexpr qint64 SocketBufferBytes = 1024 * 1024;
constexpr qint64 HeadReadBytes = 16 * 1024;
constexpr qint64 MaxLineBytes = 8 * 1024;

QString serverKey(const QString &host, quint16 port) { return host + u':' + QString::number(port); }

QNetworkReply::NetworkError replyError(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError: return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError: return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError: return QNetworkReply::TimeoutError;
    default: return QNetworkReply::UnknownNetworkError;
    }
}

bool isRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

// Where the head ends: the offset just past the first empty line at or after from, or -1.
qsizetype headEnd(const QByteArray &in, qsizetype from)
{
    const qsizetype crlf = in.indexOf("\n\r\n", from);
    const qsizetype lf = in.indexOf("\n\n", from);
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return crlf + 3;
    return lf >= 0 ? lf + 2 : -1;
}

QByteArray withoutCr(const QByteArray &line) { return line.endsWith('\r') ? line.chopped(1) : line; }

} // namespace

HttpConnectionPool::HttpConnectionPool(QObject *parent) : QObject(parent) {}

HttpConnectionPool::~HttpConnectionPool()
{
    // The last user may let the pool go from a handler of a connection's own signal.
    for (const QList<QTcpSocket *> &idle : std::as_const(m_idle)) {
        for (QTcpSocket *socket : idle) {
            disconnect(socket, nullptr, this, nullptr);
            socket->setParent(nullptr);
            socket->deleteLater();
        }
    }
}

bool HttpConnectionPool::handles(const QUrl &url, const QNetworkAccessManager &manager)
{
    if (url.scheme() != "http"_L1 || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    if (manager.proxyFactory() || manager.isStrictTransportSecurityEnabled())
        return false;
    const QNetworkProxy::ProxyType type = manager.proxy().type();
    if (type == QNetworkProxy::NoProxy)
        return true;
    if (type != QNetworkProxy::DefaultProxy)
        return false;
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    return proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
}

PlainHttpReply *HttpConnectionPool::get(const QNetworkRequest &request, QNetworkCookieJar *jar, int maxRedirects)
{
    return new PlainHttpReply(*this, request, jar, maxRedirects);
}

QTcpSocket *HttpConnectionPool::takeIdle(const QString &host, quint16 port)
{
    const auto found = m_idle.find(serverKey(host, port));
    if (found == m_idle.end())
        return nullptr;
    while (!found->isEmpty()) {
        QTcpSocket *socket = found->takeLast(); // the most recently used is the likeliest alive
        disconnect(socket, nullptr, this, nullptr);
        if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0)
            return socket;
        socket->deleteLater();
    }
    return nullptr;
}

void HttpConnectionPool::giveBack(QTcpSocket *socket, const QString &host, quint16 port)
{
    QList<QTcpSocket *> &idle = m_idle[serverKey(host, port)];
    if (idle.size() >= MaxIdlePerServer) {
        socket->deleteLater();
        return;
    }
    socket->setParent(this);
    idle.append(socket);
    // The server closing an idle connection, or sending anything while it is idle, ends it.
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { drop(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { drop(socket); });
}

int HttpConnectionPool::idleConnections() const
{
    int count = 0;
    for (const QList<QTcpSocket *> &idle : m_idle)
        count += int(idle.size());
    return count;
}

void HttpConnectionPool::drop(QTcpSocket *socket)
{
    for (QList<QTcpSocket *> &idle : m_idle) {
        if (idle.removeOne(socket)) {
            disconnect(socket, nullptr, this, nullptr);
            socket->abort();
            socket->deleteLater();
            return;
        }
    }
}

PlainHttpReply::PlainHttpReply(HttpConnectionPool &pool, const QNetworkRequest &request, QNetworkCookieJar *jar,
                               int maxRedirects)
    : QNetworkReply(nullptr), m_pool(&pool), m_jar(jar), m_redirectsLeft(maxRedirects)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    // From the event loop: a connection that fails at once is reported to a receiver connected by then.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!isFinished())
                startHop(false);
        },
        Qt::QueuedConnection);
}

PlainHttpReply::~PlainHttpReply() = default; // a connection still in use is a child and closes

void PlainHttpReply::abort()
{
    if (isFinished())
        return;
    releaseSocket(false);
    m_stage = Stage::Broken;
    setError(OperationCanceledError, u"Operation canceled"_s);
    setFinished(true);
    emit finished();
}

qint64 PlainHttpReply::bytesAvailable() const
{
    const bool body = !m_discard && m_stage != Stage::Head && m_stage != Stage::Done && m_stage != Stage::Broken;
    return QNetworkReply::bytesAvailable() + (body ? buffered() : 0);
}

qint64 PlainHttpReply::readData(char *data, qint64 maxSize)
{
    if (m_discard || m_stage == Stage::Head)
        return 0;
    return readBody(data, maxSize);
}

void PlainHttpReply::startHop(bool freshConnection)
{
    const QUrl address = url();
    m_host = address.host();
    m_port = quint16(address.port(80));
    m_stage = Stage::Head;
    m_discard = false;
    m_answered = false;
    m_in.clear();
    m_inPos = 0;

    m_socket = (freshConnection || !m_pool) ? nullptr : m_pool->takeIdle(m_host, m_port);
    m_reused = m_socket != nullptr;
    if (m_socket)
        m_socket->setParent(this);
    else
        m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &PlainHttpReply::onSocketReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &PlainHttpReply::onSocketGone);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &PlainHttpReply::onSocketGone);
    if (!m_reused) {
        if (m_pool)
            m_pool->countOpened();
        m_socket->setReadBufferSize(SocketBufferBytes);
        m_socket->connectToHost(m_host, m_port); // may fail at once, and end this reply
        if (!m_socket)
            return;
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }

    // What is written before the connection is made is sent once it is.
    QByteArray target = address.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (address.hasQuery())
        target += '?' + address.query(QUrl::FullyEncoded).toLatin1();
    QByteArray head = "GET " + target + " HTTP/1.1\r\nHost: " + address.authority(QUrl::FullyEncoded).toLatin1() + "\r\n";
    const QNetworkRequest &req = request();
    for (const QByteArray &name : req.rawHeaderList())
        head += name + ": " + req.rawHeader(name) + "\r\n";
    if (!req.hasRawHeader("User-Agent"))
        head += "User-Agent: Mozilla/5.0\r\n"; // what the network manager sends by default
    if (m_jar && !req.hasRawHeader("Cookie")) {
        QByteArray cookies;
        for (const QNetworkCookie &cookie : m_jar->cookiesForUrl(address)) {
            if (!cookies.isEmpty())
                cookies += "; ";
            cookies += cookie.toRawForm(QNetworkCookie::NameAndValueOnly);
        }
        if (!cookies.isEmpty())
            head += "Cookie: " + cookies + "\r\n";
    }
    head += "Connection: keep-alive\r\n\r\n";
    m_socket->write(head);
    if (m_reused)
        m_socket->flush(); // now rather than at the next turn of the event loop
}

void PlainHttpReply::onSocketReadyRead()
{
    if (!m_socket || isFinished())
        return;
    m_answered = true;
    process();
}

void PlainHttpReply::process()
{
    QPointer<PlainHttpReply> alive(this);
    if (m_stage == Stage::Head) {
        if (!parseHead()) {
            if (m_stage == Stage::Broken)
                fail(ProtocolFailure, u"Malformed response head"_s);
            return;
        }
        if (!m_discard) {
            emit metaDataChanged();
            if (!alive || isFinished())
                return;
        }
    }
    if (m_discard) {
        char scratch[16 * 1024];
        while (readBody(scratch, sizeof scratch) > 0) {
        }
    } else if (buffered() > 0) {
        emit readyRead();
        if (!alive || isFinished())
            return;
    }
    readBody(nullptr, 0); // what follows the data the receiver took: framing, the end
    if (m_stage == Stage::Broken)
        fail(ProtocolFailure, u"Malformed chunked body"_s);
    else if (m_stage == Stage::Done)
        m_discard ? followRedirect() : endResponse();
}

void PlainHttpReply::onSocketGone()
{
    if (!m_socket || isFinished())
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    disconnect(m_socket, nullptr, this, nullptr);
    // The server may close a kept-alive connection just as a request is sent on it.
    if (m_reused && !m_answered && !m_retried && m_stage == Stage::Head && m_socket->bytesAvailable() == 0) {
        m_retried = true;
        releaseSocket(false);
        startHop(true);
        return;
    }
    // The answer's last bytes, if any, are still in the connection's buffer.
    m_in.append(m_socket->readAll());
    releaseSocket(false);
    if (m_inPos < m_in.size()) {
        m_answered = true;
        QPointer<PlainHttpReply> alive(this);
        process();
        if (!alive || isFinished())
            return;
    }
    if (m_stage == Stage::CloseDelimited) {
        m_stage = Stage::Done;
        m_discard ? followRedirect() : endResponse();
        return;
    }
    fail(m_answered ? RemoteHostClosedError : replyError(error), u"Connection closed"_s);
}

bool PlainHttpReply::parseHead()
{
    for (;;) {
        qsizetype end = headEnd(m_in, m_inPos);
        while (end < 0 && m_socket && m_socket->bytesAvailable() > 0) {
            m_in.append(m_socket->read(HeadReadBytes));
            end = headEnd(m_in, m_inPos);
        }
        if (end < 0) {
            if (m_in.size() - m_inPos > MaxHeadBytes)
                m_stage = Stage::Broken;
            return false;
        }
        const QList<QByteArray> lines = m_in.mid(m_inPos, end - m_inPos).split('\n');
        m_inPos = end;
        const QList<QByteArray> statusLine = withoutCr(lines.value(0)).split(' ');
        const QByteArray version = statusLine.value(0);
        bool numeric = false;
        const int status = statusLine.value(1).toInt(&numeric);
        if (!version.startsWith("HTTP/1.") || !numeric || status < 100 || status > 999) {
            m_stage = Stage::Broken;
            return false;
        }
        if (status >= 100 && status < 200 && status != 101)
            continue; // an interim answer; the real one follows

        QList<QPair<QByteArray, QByteArray>> headers;
        QList<QByteArray> setCookie;
        QByteArray connection;
        QByteArray transferEncoding;
        QByteArray location;
        qint64 length = -1;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = withoutCr(lines[i]);
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            const QByteArray lower = name.toLower();
            if (lower == "content-length") {
                bool ok = false;
                const qint64 n = value.toLongLong(&ok);
                if (!ok || n < 0 || (length >= 0 && n != length)) {
                    m_stage = Stage::Broken;
                    return false;
                }
                length = n;
            } else if (lower == "transfer-encoding") {
                transferEncoding = value.toLower();
            } else if (lower == "connection") {
                connection += value.toLower() + ',';
            } else if (lower == "location") {
                location = value;
            } else if (lower == "set-cookie") {
                setCookie.append(value);
            }
            headers.append({name, value});
        }
        takeCookies(setCookie);

        m_keepAlive = version == "HTTP/1.1" ? !connection.contains("close") : connection.contains("keep-alive");
        const bool noBody = status == 204 || status == 304 || (status >= 100 && status < 200);
        if (noBody) {
            m_stage = Stage::Length;
            m_remaining = 0;
        } else if (transferEncoding.contains("chunked")) {
            m_stage = Stage::ChunkSize;
        } else if (length >= 0) {
            m_stage = Stage::Length;
            m_remaining = length;
        } else {
            m_stage = Stage::CloseDelimited;
            m_keepAlive = false;
        }

        m_discard = isRedirect(status) && !location.isEmpty();
        if (m_discard) {
            m_redirectTo = url().resolved(QUrl::fromEncoded(location));
            return true;
        }
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, statusLine.mid(2).join(' '));
        for (const auto &header : std::as_const(headers)) {
            const QByteArray lower = header.first.toLower();
            if (lower == "content-length")
                continue;
            const QByteArray earlier = rawHeader(header.first);
            setRawHeader(header.first, earlier.isEmpty() ? header.second
                                                         : earlier + (lower == "set-cookie" ? "\n" : ", ") + header.second);
        }
        if (m_stage == Stage::Length && !noBody)
            setHeader(QNetworkRequest::ContentLengthHeader, m_remaining);
        return true;
    }
}

void PlainHttpReply::takeCookies(const QList<QByteArray> &setCookie)
{
    if (!m_jar || setCookie.isEmpty())
        return;
    QList<QNetworkCookie> cookies;
    for (const QByteArray &value : setCookie)
        cookies += QNetworkCookie::parseCookies(value);
    if (!cookies.isEmpty())
        m_jar->setCookiesFromUrl(cookies, url());
}

qint64 PlainHttpReply::readBody(char *data, qint64 maxSize)
{
    qint64 total = 0;
    QByteArray line;
    for (;;) {
        switch (m_stage) {
        case Stage::Head:
        case Stage::Done:
        case Stage::Broken:
            return total;
        case Stage::Length:
        case Stage::ChunkData: {
            if (m_remaining == 0) {
                m_stage = m_stage == Stage::Length ? Stage::Done : Stage::ChunkEnd;
                break;
            }
            if (total == maxSize)
                return total;
            const qint64 n = readRaw(data + total, std::min(maxSize - total, m_remaining));
            if (n == 0)
                return total;
            total += n;
            m_remaining -= n;
            break;
        }
        case Stage::CloseDelimited: {
            if (total == maxSize)
                return total;
            const qint64 n = readRaw(data + total, maxSize - total);
            if (n == 0)
                return total;
            total += n;
            break;
        }
        case Stage::ChunkSize: {
            if (!readLine(line))
                return total;
            const qsizetype semicolon = line.indexOf(';');
            bool ok = false;
            const qint64 size = (semicolon < 0 ? line : line.left(semicolon)).trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0) {
                m_stage = Stage::Broken;
                return total;
            }
            m_remaining = size;
            m_stage = size ? Stage::ChunkData : Stage::Trailer;
            break;
        }
        case Stage::ChunkEnd:
            if (!readLine(line))
                return total;
            if (!line.isEmpty()) {
                m_stage = Stage::Broken;
                return total;
            }
            m_stage = Stage::ChunkSize;
            break;
        case Stage::Trailer:
            if (!readLine(line))
                return total;
            if (line.isEmpty())
                m_stage = Stage::Done;
            break;
        }
    }
}

qint64 PlainHttpReply::readRaw(char *data, qint64 maxSize)
{
    if (m_inPos < m_in.size()) {
        const qint64 n = std::min<qint64>(maxSize, m_in.size() - m_inPos);
        std::memcpy(data, m_in.constData() + m_inPos, size_t(n));
        m_inPos += n;
        if (m_inPos == m_in.size()) {
            m_in.clear();
            m_inPos = 0;
        }
        return n;
    }
    if (!m_socket)
        return 0;
    const qint64 n = m_socket->read(data, maxSize);
    return n > 0 ? n : 0;
}

bool PlainHttpReply::readLine(QByteArray &line)
{
    for (;;) {
        const qsizetype newline = m_in.indexOf('\n', m_inPos);
        if (newline >= 0) {
            line = withoutCr(m_in.mid(m_inPos, newline - m_inPos));
            m_inPos = newline + 1;
            return true;
        }
        if (m_in.size() - m_inPos > MaxLineBytes) {
            m_stage = Stage::Broken;
            return false;
        }
        if (!m_socket || m_socket->bytesAvailable() == 0)
            return false;
        if (m_inPos > 0) {
            m_in.remove(0, m_inPos);
            m_inPos = 0;
        }
        m_in.append(m_socket->read(MaxLineBytes));
    }
}

qint64 PlainHttpReply::buffered() const
{
    return (m_in.size() - m_inPos) + (m_socket ? m_socket->bytesAvailable() : 0);
}

void PlainHttpReply::followRedirect()
{
    releaseSocket(m_keepAlive);
    if (m_redirectsLeft <= 0) {
        fail(TooManyRedirectsError, u"Too many redirects"_s);
        return;
    }
    --m_redirectsLeft;
    const QUrl target = m_redirectTo;
    if (!target.isValid() || (target.scheme() != "http"_L1 && target.scheme() != "https"_L1)) {
        fail(ProtocolUnknownError, u"Redirect to an unsupported address"_s);
        return;
    }
    QPointer<PlainHttpReply> alive(this);
    emit redirected(target);
    if (!alive || isFinished())
        return;
    if (target.scheme() == "https"_L1 || !target.userInfo().isEmpty()) {
        emit handOver(target, m_redirectsLeft);
        if (alive && !isFinished())
            fail(ProtocolUnknownError, u"Redirect not followed"_s);
        return;
    }
    setUrl(target);
    m_retried = false;
    startHop(false);
}

void PlainHttpReply::endResponse()
{
    releaseSocket(m_keepAlive);
    setFinished(true);
    emit finished();
}

void PlainHttpReply::fail(NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    releaseSocket(false);
    m_stage = Stage::Broken;
    setError(code, text);
    setFinished(true);
    QPointer<PlainHttpReply> alive(this);
    emit errorOccurred(code);
    if (alive)
        emit finished();
}

void PlainHttpReply::releaseSocket(bool reusable)
{
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    if (!socket)
        return;
    disconnect(socket, nullptr, this, nullptr);
    // A connection with unasked-for bytes in it is out of step with its requests.
    if (reusable && m_pool && m_inPos == m_in.size() && socket->bytesAvailable() == 0
        && socket->state() == QAbstractSocket::ConnectedState) {
        m_pool->giveBack(socket, m_host, m_port);
        return;
    }
    socket->abort();
    socket->deleteLater();
}
