#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

class QTcpServer;

// A small HTTP/1.1 server on 127.0.0.1 for tests, running on the test's own thread. Every path
// answers as scripted; connections are kept alive, many at once, and every request is recorded.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    // How the end of the body is made known to the client.
    enum class Framing { ContentLength, Chunked };
    // Where the answer stops for good (the connection stays open).
    enum class Stall { None, BeforeHeaders, AfterHeaders };

    struct Route
    {
        int status = 200;
        QByteArray contentType = QByteArrayLiteral("application/octet-stream");
        // The body, unless generatedSize >= 0: then generatedSize bytes of generatedBody(path).
        QByteArray body;
        qint64 generatedSize = -1;
        Framing framing = Framing::ContentLength;
        Stall stall = Stall::None;
        // Close the connection after this many body bytes (the rest is never sent).
        qint64 dropAfter = -1;
        // Sends a redirect to this address when set (status 302 unless status is 3xx).
        QByteArray location;
        // Sends the body in pieces of chunkBytes every intervalMs milliseconds when both are > 0.
        int chunkBytes = 0;
        int intervalMs = 0;
        // Answers 403 unless the request's Cookie header contains this text.
        QByteArray requiredCookie;
        QList<QPair<QByteArray, QByteArray>> extraHeaders;
        // When set, these bytes are the whole answer, sent as they are (every repeatMs
        // milliseconds while the client stays, when repeatMs > 0); then the connection is closed,
        // or reset when resetAfter.
        QByteArray raw;
        int repeatMs = 0;
        bool resetAfter = false;
    };

    struct Request
    {
        QByteArray path;                       // the request target as sent, query included
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    };

    using Handler = std::function<Route(const Request &)>;

    explicit TestHttpServer(QObject *parent = nullptr);

    bool listen(); // on a port the system chooses
    quint16 port() const;
    QString urlText(const QString &path) const; // "http://127.0.0.1:PORT" + path

    // The answer for exactly this path (query included).
    void setRoute(const QByteArray &path, const Route &route) { m_routes.insert(path, route); }
    // The answer for every path that begins with prefix and has no exact route; the longest
    // matching prefix wins. Unknown paths get 404.
    void setHandler(const QByteArray &prefix, Handler handler);
    // Every path under prefix answers size bytes of its own generatedBody.
    void serveGenerated(const QByteArray &prefix, qint64 size);

    // The generated content of a path: deterministic, different for different paths.
    static QByteArray generatedBody(const QByteArray &path, qint64 size) { return generatedSlice(path, 0, size); }
    // Bytes [offset, offset + length) of generatedBody(path, ...), without making the rest.
    static QByteArray generatedSlice(const QByteArray &path, qint64 offset, qint64 length);

    const QList<Request> &requests() const { return m_requests; }
    QList<Request> requestsFor(const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }
    int connectionsAccepted() const { return m_connectionsAccepted; }
    int openConnections() const { return m_open; }
    int maxOpenConnections() const { return m_maxOpen; }

private:
    class Connection;

    Route routeFor(const Request &request) const;

    QTcpServer *m_server = nullptr;
    QHash<QByteArray, Route> m_routes;
    QList<QPair<QByteArray, Handler>> m_handlers;
    QList<Request> m_requests;
    int m_connectionsAccepted = 0;
    int m_open = 0;
    int m_maxOpen = 0;
};
