#include "TestHttpServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <sys/socket.h>

namespace {

constexpr qint64 PieceBytes = 64 * 1024;
// Above this much unsent data the connection waits for the socket to drain.
constexpr qint64 WriteHighWater = 256 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return QByteArrayLiteral("OK");
    case 204: return QByteArrayLiteral("No Content");
    case 301: return QByteArrayLiteral("Moved Permanently");
    case 302: return QByteArrayLiteral("Found");
    case 303: return QByteArrayLiteral("See Other");
    case 307: return QByteArrayLiteral("Temporary Redirect");
    case 308: return QByteArrayLiteral("Permanent Redirect");
    case 400: return QByteArrayLiteral("Bad Request");
    case 403: return QByteArrayLiteral("Forbidden");
    case 404: return QByteArrayLiteral("Not Found");
    case 500: return QByteArrayLiteral("Internal Server Error");
    case 503: return QByteArrayLiteral("Service Unavailable");
    default: return QByteArrayLiteral("Status");
    }
}

quint64 pathSeed(const QByteArray &path)
{
    quint64 h = 14695981039346656037ull; // FNV-1a
    for (const char c : path) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace

// One accepted connection: parses requests one after another and answers each in turn.
class TestHttpServer::Connection : public QObject
{
public:
    Connection(TestHttpServer &server, QTcpSocket *socket) : QObject(&server), m_server(server), m_socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (!slow())
                pump();
        });
        connect(socket, &QTcpSocket::disconnected, this, &Connection::onDisconnected);
        m_slowTimer.setSingleShot(true);
        connect(&m_slowTimer, &QTimer::timeout, this, &Connection::pump);
    }

private:
    void onReadyRead()
    {
        m_in += m_socket->readAll();
        if (!m_answering)
            handleNext();
    }

    void onDisconnected()
    {
        if (m_gone)
            return;
        m_gone = true;
        m_slowTimer.stop();
        --m_server.m_open;
        deleteLater();
    }

    void handleNext()
    {
        const qsizetype end = m_in.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = m_in.left(end).split('\n');
        Request request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        const QByteArray version = requestLine.value(2);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qint64 requestBody = request.header("Content-Length").toLongLong();
        if (m_in.size() < end + 4 + requestBody)
            return; // the request body has not all arrived yet
        m_in.remove(0, end + 4 + requestBody);

        const QByteArray connectionHeader = request.header("Connection").toLower();
        m_keepAlive = version == "HTTP/1.1" ? !connectionHeader.contains("close") : connectionHeader.contains("keep-alive");

        m_server.m_requests.append(request);
        if (m_gone)
            return;
        answer(request, m_server.routeFor(request));
    }

    void answer(const Request &request, Route route)
    {
        m_answering = true;
        if (route.stall == Stall::BeforeHeaders)
            return;
        if (!route.raw.isEmpty()) {
            sendRaw(route);
            return;
        }
        if (!route.requiredCookie.isEmpty() && !request.header("Cookie").contains(route.requiredCookie)) {
            Route forbidden;
            forbidden.status = 403;
            forbidden.contentType = QByteArrayLiteral("text/plain");
            forbidden.body = QByteArrayLiteral("forbidden");
            route = forbidden;
        }
        if (!route.location.isEmpty()) {
            if (route.status < 300 || route.status > 399)
                route.status = 302;
            route.extraHeaders.append({QByteArrayLiteral("Location"), route.location});
            if (route.body.isEmpty() && route.generatedSize < 0)
                route.body = QByteArrayLiteral("moved");
        }
        m_route = route;
        m_path = request.path;
        m_total = route.generatedSize >= 0 ? route.generatedSize : route.body.size();
        m_limit = route.dropAfter >= 0 ? std::min(route.dropAfter, m_total) : m_total;
        m_sent = 0;
        if (request.method == "HEAD")
            m_total = m_limit = 0;
        m_closeAfter = !m_keepAlive || route.framing == Framing::CloseDelimited;

        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonPhrase(route.status) + "\r\n";
        if (!route.contentType.isEmpty())
            head += "Content-Type: " + route.contentType + "\r\n";
        if (route.framing == Framing::ContentLength)
            head += "Content-Length: " + QByteArray::number(m_total) + "\r\n";
        else if (route.framing == Framing::Chunked)
            head += "Transfer-Encoding: chunked\r\n";
        head += m_closeAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
        for (const auto &header : std::as_const(route.extraHeaders))
            head += header.first + ": " + header.second + "\r\n";
        head += "\r\n";
        m_socket->write(head);
        if (route.stall == Stall::AfterHeaders)
            return;
        m_sending = true;
        pump();
    }

    void sendRaw(const Route &route)
    {
        m_socket->write(route.raw);
        if (route.repeatMs > 0) {
            QTimer::singleShot(route.repeatMs, this, [this, route] {
                if (!m_gone)
                    sendRaw(route);
            });
            return;
        }
        if (!route.resetAfter) {
            m_socket->disconnectFromHost();
            return;
        }
        // Everything written reaches the client, then a reset instead of an orderly close.
        while (m_socket->bytesToWrite() > 0 && m_socket->waitForBytesWritten(1000)) {
        }
        const linger abortive{1, 0};
        ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        m_socket->abort();
    }

    QByteArray piece(qint64 length) const
    {
        if (m_route.generatedSize >= 0)
            return generatedSlice(m_path, m_sent, length);
        return m_route.body.mid(m_sent, length);
    }

    bool slow() const { return m_route.chunkBytes > 0 && m_route.intervalMs > 0; }

    // Sends what the socket can take; a slow answer sends one piece per timer tick.
    void pump()
    {
        if (!m_sending || m_gone)
            return;
        const bool paced = slow();
        while (m_sent < m_limit && m_socket->bytesToWrite() < WriteHighWater) {
            const qint64 length = std::min(paced ? qint64(m_route.chunkBytes) : PieceBytes, m_limit - m_sent);
            QByteArray data = piece(length);
            if (m_route.framing == Framing::Chunked)
                data = QByteArray::number(length, 16) + "\r\n" + data + "\r\n";
            m_socket->write(data);
            m_sent += length;
            if (paced) {
                if (m_sent < m_limit) {
                    m_slowTimer.start(m_route.intervalMs);
                    return;
                }
                break;
            }
        }
        if (m_sent < m_limit) {
            if (paced && !m_slowTimer.isActive())
                m_slowTimer.start(m_route.intervalMs);
            return; // bytesWritten or the slow timer comes back here
        }
        m_sending = false;
        if (m_limit < m_total) {
            m_socket->disconnectFromHost(); // the drop: what was written is flushed, then closed
            return;
        }
        if (m_route.framing == Framing::Chunked)
            m_socket->write("0\r\n\r\n");
        if (m_closeAfter) {
            m_socket->disconnectFromHost();
            return;
        }
        m_answering = false;
        handleNext();
    }

    TestHttpServer &m_server;
    QTcpSocket *m_socket;
    QByteArray m_in;
    bool m_answering = false;
    bool m_sending = false;
    bool m_keepAlive = true;
    bool m_closeAfter = false;
    bool m_gone = false;
    Route m_route;
    QByteArray m_path;
    qint64 m_total = 0;
    qint64 m_limit = 0;
    qint64 m_sent = 0;
    QTimer m_slowTimer;
};

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    m_server->setListenBacklogSize(128);
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::listen() { return m_server->listen(QHostAddress::LocalHost, 0); }

quint16 TestHttpServer::port() const { return m_server->serverPort(); }

QUrl TestHttpServer::url(const QString &path) const { return QUrl(urlText(path)); }

QString TestHttpServer::urlText(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void TestHttpServer::setRoute(const QByteArray &path, const Route &route) { m_routes.insert(path, route); }

void TestHttpServer::setHandler(const QByteArray &prefix, Handler handler)
{
    m_handlers.append({prefix, std::move(handler)});
    std::stable_sort(m_handlers.begin(), m_handlers.end(),
                     [](const auto &a, const auto &b) { return a.first.size() > b.first.size(); });
}

void TestHttpServer::serveGenerated(const QByteArray &prefix, qint64 size, Framing framing)
{
    setHandler(prefix, [size, framing](const Request &) {
        Route route;
        route.generatedSize = size;
        route.framing = framing;
        return route;
    });
}

QByteArray TestHttpServer::generatedBody(const QByteArray &path, qint64 size) { return generatedSlice(path, 0, size); }

QByteArray TestHttpServer::generatedSlice(const QByteArray &path, qint64 offset, qint64 length)
{
    const quint64 seed = pathSeed(path);
    QByteArray data(length, Qt::Uninitialized);
    char *out = data.data();
    for (qint64 i = 0; i < length; ++i) {
        const quint64 x = (quint64(offset + i) + seed) * 0x9E3779B97F4A7C15ull;
        out[i] = char(x >> 56);
    }
    return data;
}

QList<TestHttpServer::Request> TestHttpServer::requestsFor(const QByteArray &path) const
{
    QList<Request> found;
    for (const Request &request : m_requests) {
        if (request.path == path)
            found.append(request);
    }
    return found;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_open;
        m_maxOpen = std::max(m_maxOpen, m_open);
        ++m_connectionsAccepted;
        new Connection(*this, socket); // owned by the server, gone on disconnect
    }
}

TestHttpServer::Route TestHttpServer::routeFor(const Request &request) const
{
    const auto exact = m_routes.constFind(request.path);
    if (exact != m_routes.constEnd())
        return *exact;
    for (const auto &handler : m_handlers) {
        if (request.path.startsWith(handler.first))
            return handler.second(request);
    }
    Route notFound;
    notFound.status = 404;
    notFound.contentType = QByteArrayLiteral("text/plain");
    notFound.body = QByteArrayLiteral("not found");
    return notFound;
}
