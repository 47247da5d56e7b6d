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

TestHttpServer::Route plainText(int status, const QByteArray &body)
{
    TestHttpServer::Route route;
    route.status = status;
    route.contentType = QByteArrayLiteral("text/plain");
    route.body = body;
    return route;
}

} // namespace

// One accepted connection: answers its requests one after another.
class TestHttpServer::Connection : public QObject
{
public:
    Connection(TestHttpServer &server, QTcpSocket *socket) : QObject(&server), m_server(server), m_socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            m_in += m_socket->readAll();
            if (!m_answering)
                handleNext();
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (!paced())
                pump();
        });
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            if (!std::exchange(m_gone, true)) {
                --m_server.m_open;
                deleteLater();
            }
        });
    }

private:
    void handleNext()
    {
        const qsizetype end = m_in.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = m_in.left(end).split('\n');
        m_in.remove(0, end + 4);
        Request request;
        request.path = lines.value(0).split(' ').value(1);
        for (const QByteArray &line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        m_server.m_requests.append(request);
        if (!m_gone)
            answer(request, m_server.routeFor(request));
    }

    void answer(const Request &request, Route route)
    {
        m_answering = true;
        if (route.stall == Stall::BeforeHeaders)
            return;
        if (!route.raw.isEmpty())
            return sendRaw(route);
        if (!route.requiredCookie.isEmpty() && !request.header("Cookie").contains(route.requiredCookie))
            route = plainText(403, QByteArrayLiteral("forbidden"));
        if (!route.location.isEmpty()) {
            route.status = route.status / 100 == 3 ? route.status : 302;
            route.extraHeaders.append({QByteArrayLiteral("Location"), route.location});
            if (route.body.isEmpty() && route.generatedSize < 0)
                route.body = QByteArrayLiteral("moved");
        }
        m_route = route;
        m_path = request.path;
        m_total = route.generatedSize >= 0 ? route.generatedSize : route.body.size();
        m_limit = route.dropAfter >= 0 ? std::min(route.dropAfter, m_total) : m_total;
        m_sent = 0;
        m_closeAfter = request.header("Connection").toLower().contains("close");

        static const QHash<int, QByteArray> phrases{{200, "OK"},        {301, "Moved Permanently"}, {302, "Found"},
                                                    {403, "Forbidden"}, {404, "Not Found"},        {500, "Internal Server Error"}};
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + phrases.value(route.status, "Status") + "\r\n";
        if (!route.contentType.isEmpty())
            head += "Content-Type: " + route.contentType + "\r\n";
        head += route.framing == Framing::Chunked ? QByteArray("Transfer-Encoding: chunked\r\n")
                                                  : "Content-Length: " + QByteArray::number(m_total) + "\r\n";
        head += m_closeAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
        for (const auto &[name, value] : std::as_const(route.extraHeaders))
            head += name + ": " + value + "\r\n";
        m_socket->write(head + "\r\n");
        m_sending = route.stall != Stall::AfterHeaders;
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
        } else if (!route.resetAfter) {
            m_socket->disconnectFromHost();
        } else { // everything written reaches the client, then a reset instead of an orderly close
            while (m_socket->bytesToWrite() > 0 && m_socket->waitForBytesWritten(1000)) {
            }
            const linger abortive{1, 0};
            ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            m_socket->abort();
        }
    }

    bool paced() const { return m_route.chunkBytes > 0 && m_route.intervalMs > 0; }

    // Sends what the socket can take, or one piece per interval when paced; bytesWritten or the
    // interval's timer comes back here.
    void pump()
    {
        if (!m_sending || m_gone)
            return;
        while (m_sent < m_limit && m_socket->bytesToWrite() < WriteHighWater) {
            const qint64 length = std::min(paced() ? qint64(m_route.chunkBytes) : PieceBytes, m_limit - m_sent);
            QByteArray data = m_route.generatedSize >= 0 ? generatedSlice(m_path, m_sent, length)
                                                         : m_route.body.mid(m_sent, length);
            if (m_route.framing == Framing::Chunked)
                data = QByteArray::number(length, 16) + "\r\n" + data + "\r\n";
            m_socket->write(data);
            m_sent += length;
            if (paced())
                break;
        }
        if (m_sent < m_limit) {
            if (paced())
                QTimer::singleShot(m_route.intervalMs, this, &Connection::pump);
            return;
        }
        m_sending = false;
        if (m_limit < m_total)
            return m_socket->disconnectFromHost(); // the drop: what was written is flushed, then closed
        if (m_route.framing == Framing::Chunked)
            m_socket->write("0\r\n\r\n");
        if (m_closeAfter)
            return m_socket->disconnectFromHost();
        m_answering = false;
        handleNext();
    }

    TestHttpServer &m_server;
    QTcpSocket *m_socket;
    QByteArray m_in;
    bool m_answering = false;
    bool m_sending = false;
    bool m_closeAfter = false;
    bool m_gone = false;
    Route m_route;
    QByteArray m_path;
    qint64 m_total = 0;
    qint64 m_limit = 0;
    qint64 m_sent = 0;
};

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    m_server->setListenBacklogSize(128);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            m_maxOpen = std::max(m_maxOpen, ++m_open);
            ++m_connectionsAccepted;
            new Connection(*this, socket); // owned by the server, gone on disconnect
        }
    });
}

bool TestHttpServer::listen() { return m_server->listen(QHostAddress::LocalHost, 0); }

quint16 TestHttpServer::port() const { return m_server->serverPort(); }

QString TestHttpServer::urlText(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path); }

void TestHttpServer::setHandler(const QByteArray &prefix, Handler handler)
{
    m_handlers.append({prefix, std::move(handler)});
    std::stable_sort(m_handlers.begin(), m_handlers.end(),
                     [](const auto &a, const auto &b) { return a.first.size() > b.first.size(); });
}

void TestHttpServer::serveGenerated(const QByteArray &prefix, qint64 size)
{
    setHandler(prefix, [size](const Request &) {
        Route route;
        route.generatedSize = size;
        return route;
    });
}

QByteArray TestHttpServer::generatedSlice(const QByteArray &path, qint64 offset, qint64 length)
{
    quint64 seed = 14695981039346656037ull; // FNV-1a of the path
    for (const char c : path)
        seed = (seed ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    QByteArray data(length, Qt::Uninitialized);
    char *out = data.data();
    for (qint64 i = 0; i < length; ++i)
        out[i] = char(((quint64(offset + i) + seed) * 0x9E3779B97F4A7C15ull) >> 56);
    return data;
}

QList<TestHttpServer::Request> TestHttpServer::requestsFor(const QByteArray &path) const
{
    QList<Request> found;
    std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(found),
                 [&path](const Request &request) { return request.path == path; });
    return found;
}

TestHttpServer::Route TestHttpServer::routeFor(const Request &request) const
{
    if (const auto exact = m_routes.constFind(request.path); exact != m_routes.constEnd())
        return *exact;
    for (const auto &[prefix, handler] : m_handlers) {
        if (request.path.startsWith(prefix))
            return handler(request);
    }
    return plainText(404, QByteArrayLiteral("not found"));
}
