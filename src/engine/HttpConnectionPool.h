#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkCookieJar;
class QTcpSocket;

class PlainHttpReply;

// Kept-alive connections for plain HTTP/1.1 GET requests made on this thread. A connection carries
// one request at a time (no pipelining) and waits in the pool between requests; the pool drops it
// when the server closes it or sends anything unasked.
class HttpConnectionPool final : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxIdlePerServer = 16;

    explicit HttpConnectionPool(QObject *parent = nullptr);
    ~HttpConnectionPool() override;

    // True when a GET of the address can go through the pool with the manager's settings: plain
    // http, no user name, no proxy, no upgrade to https by the manager.
    static bool handles(const QUrl &url, const QNetworkAccessManager &manager);

    // Starts a GET of the request's address with its raw headers. Redirects between plain http
    // addresses are followed; cookies are read from and stored into the jar, if any. The caller
    // owns the reply.
    PlainHttpReply *get(const QNetworkRequest &request, QNetworkCookieJar *jar, int maxRedirects);

    // An idle connection to host:port, or nullptr.
    QTcpSocket *takeIdle(const QString &host, quint16 port);
    // A connection whose last response was read whole and that may carry another request.
    void giveBack(QTcpSocket *socket, const QString &host, quint16 port);

    int idleConnections() const;
    int connectionsOpened() const { return m_opened; }
    void countOpened() { ++m_opened; }

private:
    void drop(QTcpSocket *socket);

    QHash<QString, QList<QTcpSocket *>> m_idle;
    int m_opened = 0;
};

// One GET over a pooled connection, read like any network reply. The body is read straight from
// the connection; the reply finishes once its body has been read whole.
class PlainHttpReply final : public QNetworkReply
{
    Q_OBJECT
public:
    static constexpr int MaxHeadBytes = 64 * 1024;

    PlainHttpReply(HttpConnectionPool &pool, const QNetworkRequest &request, QNetworkCookieJar *jar,
                   int maxRedirects);
    ~PlainHttpReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

signals:
    // A redirect leads out of plain http (to https): the receiver carries on with the request for
    // this address, allowing this many more redirects, and drops this reply.
    void handOver(const QUrl &url, int redirectsLeft);

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    enum class Stage { Head, Length, CloseDelimited, ChunkSize, ChunkData, ChunkEnd, Trailer, Done, Broken };

    void startHop(bool freshConnection);
    void onSocketReadyRead();
    void onSocketGone();
    // Takes in what has arrived: the head, then the body through the receiver.
    void process();
    // False while the head has not arrived whole, and after a malformed head.
    bool parseHead();
    void takeCookies(const QList<QByteArray> &setCookie);
    // Reads body bytes through the framing; with maxSize 0 it only moves past framing.
    qint64 readBody(char *data, qint64 maxSize);
    qint64 readRaw(char *data, qint64 maxSize);
    bool readLine(QByteArray &line);
    qint64 buffered() const;
    void followRedirect();
    void endResponse();
    void fail(NetworkError code, const QString &text);
    void releaseSocket(bool reusable);

    QPointer<HttpConnectionPool> m_pool;
    QPointer<QNetworkCookieJar> m_jar;
    int m_redirectsLeft;

    // The current hop.
    QTcpSocket *m_socket = nullptr;
    QString m_host;
    quint16 m_port = 80;
    bool m_reused = false;     // the connection carried an earlier request
    bool m_retried = false;    // a dead reused connection was replaced once already
    bool m_answered = false;   // some of the answer arrived
    bool m_keepAlive = false;
    bool m_discard = false;    // a redirect's body, read and thrown away
    QUrl m_redirectTo;
    Stage m_stage = Stage::Head;
    qint64 m_remaining = 0;    // of the body or the current chunk
    QByteArray m_in;           // read from the connection, not yet consumed from m_inPos on
    qsizetype m_inPos = 0;
};
