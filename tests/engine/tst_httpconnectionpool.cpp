#include "engine/HttpConnectionPool.h"
#include "engine/HttpDownloader.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QPointer>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace Qt::Literals::StringLiterals;
using Route = TestHttpServer::Route;

namespace {

// Answers each request with the bytes a script gives, in pieces if asked; an empty answer
// closes the connection without answering. Notes whether a request arrived while another was
// still unanswered on its connection.
class RawServer : public QObject
{
public:
    // connection and request numbers count from 1.
    using Script = std::function<QByteArray(int connection, int request)>;

    explicit RawServer(Script script) : m_script(std::move(script))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket, ++m_connections);
        });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString url(const QString &path) const { return u"http://127.0.0.1:%1%2"_s.arg(m_server.serverPort()).arg(path); }

    void closeAll()
    {
        for (QTcpSocket *socket : m_server.findChildren<QTcpSocket *>())
            socket->disconnectFromHost();
    }
    int connections() const { return m_connections; }
    int requests() const { return m_requests; }
    bool pipelined() const { return m_pipelined; }
    int pieceBytes = 0;      // when > 0, answers go out in pieces this long, 1 ms apart
    int answerDelayMs = 10;  // leaves room for a client that would pipeline
    bool closeAfterAnswer = false;

private:
    void serve(QTcpSocket *socket, int connection)
    {
        auto buffer = std::make_shared<QByteArray>();
        auto handled = std::make_shared<int>(0);
        auto busy = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [=] {
            *buffer += socket->readAll();
            if (*busy) {
                m_pipelined = m_pipelined || !buffer->isEmpty();
                return;
            }
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            buffer->remove(0, end + 4);
            m_pipelined = m_pipelined || !buffer->isEmpty();
            ++m_requests;
            *busy = true;
            const QByteArray answer = m_script(connection, ++*handled);
            QTimer::singleShot(answerDelayMs, socket, [=] {
                if (answer.isEmpty()) {
                    socket->disconnectFromHost();
                    return;
                }
                send(socket, answer, busy);
            });
        });
    }

    void send(QTcpSocket *socket, QByteArray rest, std::shared_ptr<bool> busy)
    {
        if (pieceBytes <= 0 || rest.size() <= pieceBytes) {
            socket->write(rest);
            *busy = false;
            if (closeAfterAnswer)
                socket->disconnectFromHost();
            return;
        }
        socket->write(rest.left(pieceBytes));
        socket->flush();
        QTimer::singleShot(1, socket, [=] { send(socket, rest.mid(pieceBytes), busy); });
    }

    QTcpServer m_server;
    Script m_script;
    int m_connections = 0;
    int m_requests = 0;
    bool m_pipelined = false;
};

QByteArray okAnswer(const QByteArray &body, const QByteArray &extra = {})
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extra + "\r\n" + body;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Runs one transfer to its end; returns the size DownloadComplete carried, -1 after DownloadError.
qint64 fetch(HttpDownloader &d, const QString &url, const QString &target)
{
    qint64 result = -2;
    bool failed = false;
    const auto e = QObject::connect(&d, &Downloader::DownloadError, &d, [&failed] { failed = true; });
    const auto c = QObject::connect(&d, &Downloader::DownloadComplete, &d,
                                    [&result, &failed](qint64 size) { result = failed ? -1 : size; });
    d.BeginDownload(url, target);
    if (!QTest::qWaitFor([&result] { return result != -2; }, 10000))
        result = -3;
    QObject::disconnect(e);
    QObject::disconnect(c);
    return result;
}

} // namespace

class TestHttpConnectionPool : public QObject
{
    Q_OBJECT

    QNetworkAccessManager m_manager;

    std::unique_ptr<HttpDownloader> make(const std::shared_ptr<HttpConnectionPool> &pool)
    {
        auto d = std::make_unique<HttpDownloader>(m_manager);
        d->setConnectionPool(pool);
        d->setIdleTimeout(5000);
        return d;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void addressesThePoolTakes_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("proxy"); // QNetworkProxy::ProxyType set on the manager, -1 none
        QTest::addColumn<bool>("handled");
        QTest::newRow("plain http") << u"http://127.0.0.1:8080/a?b=c"_s << -1 << true;
        QTest::newRow("https goes to the manager") << u"https://127.0.0.1/a"_s << -1 << false;
        QTest::newRow("user name goes to the manager") << u"http://user:pw@127.0.0.1/a"_s << -1 << false;
        QTest::newRow("manager with a proxy") << u"http://127.0.0.1/a"_s << int(QNetworkProxy::HttpProxy) << false;
        QTest::newRow("manager told not to proxy") << u"http://127.0.0.1/a"_s << int(QNetworkProxy::NoProxy) << true;
    }

    void addressesThePoolTakes()
    {
        QFETCH(QString, url);
        QFETCH(int, proxy);
        QFETCH(bool, handled);
        QNetworkAccessManager manager;
        if (proxy >= 0)
            manager.setProxy(QNetworkProxy(QNetworkProxy::ProxyType(proxy), u"127.0.0.1"_s, 3128));
        QCOMPARE(HttpConnectionPool::handles(QUrl(url), manager), handled);
    }

    void oddButValidAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("pieceBytes");
        QTest::addColumn<QByteArray>("expected"); // empty: the transfer fails
        const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                   "5;name=value\r\nhello\r\n7\r\n, world\r\n0\r\nX-Trailer: 1\r\n\r\n";
        QTest::newRow("chunks with extensions and a trailer") << chunked << 0 << QByteArray("hello, world");
        QTest::newRow("chunks arriving a few bytes at a time") << chunked << 3 << QByteArray("hello, world");
        QTest::newRow("head arriving a byte at a time") << okAnswer("abc") << 1 << QByteArray("abc");
        QTest::newRow("interim 100 answer before the real one")
            << "HTTP/1.1 100 Continue\r\n\r\n" + okAnswer("after") << 0 << QByteArray("after");
        QTest::newRow("bare line feeds") << QByteArray("HTTP/1.1 200 OK\nContent-Length: 2\n\nok") << 0 << QByteArray("ok");
        QTest::newRow("HTTP/1.0 body ends at the close") << QByteArray("HTTP/1.0 200 OK\r\n\r\nold server") << 0
                                                         << QByteArray("old server");
        QTest::newRow("garbage instead of a head fails") << QByteArray("SSH-2.0-OpenSSH\r\n\r\n") << 0 << QByteArray();
        QTest::newRow("bad chunk size fails")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n") << 0 << QByteArray();
        QTest::newRow("chunked body cut short fails")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n5\r\nhel") << 0
            << QByteArray();
        QTest::newRow("conflicting lengths fail")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc") << 0 << QByteArray();
    }

    void oddButValidAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, pieceBytes);
        QFETCH(QByteArray, expected);
        // A close-delimited answer ends with the close; the others keep the connection unless they say so.
        const bool closes = !answer.contains("Content-Length") && !answer.contains("Transfer-Encoding");
        RawServer server([&](int, int) { return answer; });
        server.pieceBytes = pieceBytes;
        server.closeAfterAnswer = closes || answer.contains("Connection: close");
        QVERIFY(server.listen());
        QTemporaryDir dir;
        auto d = make(std::make_shared<HttpConnectionPool>());
        const qint64 size = fetch(*d, server.url(u"/x"_s), dir.filePath(u"x"_s));
        if (expected.isEmpty()) {
            QCOMPARE(size, -1);
            QCOMPARE(entries(dir.path()), QStringList());
        } else {
            QCOMPARE(size, expected.size());
            QCOMPARE(readFile(dir.filePath(u"x"_s)), expected);
        }
    }

    void connectionThatFailsAtOnceIsReported()
    {
        QTemporaryDir dir;
        auto d = make(std::make_shared<HttpConnectionPool>());
        QElapsedTimer clock;
        clock.start();
        // Connecting to the broadcast address fails inside the connect call itself.
        QCOMPARE(fetch(*d, u"http://255.255.255.255:9/x"_s, dir.filePath(u"x"_s)), -1);
        QVERIFY(clock.elapsed() < 3000); // not only at the idle time
        QCOMPARE(entries(dir.path()), QStringList());
    }

    void connectionIsReusedAcrossSlots()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serveGenerated("/g/", 5000);
        QTemporaryDir dir;
        auto pool = std::make_shared<HttpConnectionPool>();
        auto first = make(pool);
        auto second = make(pool);
        QCOMPARE(fetch(*first, server.urlText(u"/g/1"_s), dir.filePath(u"1"_s)), 5000);
        QCOMPARE(pool->idleConnections(), 1);
        QCOMPARE(fetch(*second, server.urlText(u"/g/2"_s), dir.filePath(u"2"_s)), 5000);
        QCOMPARE(fetch(*first, server.urlText(u"/g/3"_s), dir.filePath(u"3"_s)), 5000);
        QCOMPARE(server.connectionsAccepted(), 1);
        QCOMPARE(pool->connectionsOpened(), 1);
        QCOMPARE(readFile(dir.filePath(u"2"_s)), TestHttpServer::generatedBody("/g/2", 5000));
        QCOMPARE(server.requests().size(), 3);
    }

    void answerWithConnectionCloseIsNotReused()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        Route route;
        route.body = "bye";
        route.closeAfter = true;
        server.setRoute("/bye", route);
        QTemporaryDir dir;
        auto pool = std::make_shared<HttpConnectionPool>();
        auto d = make(pool);
        QCOMPARE(fetch(*d, server.urlText(u"/bye"_s), dir.filePath(u"1"_s)), 3);
        QCOMPARE(pool->idleConnections(), 0);
        QCOMPARE(fetch(*d, server.urlText(u"/bye"_s), dir.filePath(u"2"_s)), 3);
        QCOMPARE(server.connectionsAccepted(), 2);
    }

    void serverClosingAnIdleConnectionIsNoticed()
    {
        RawServer server([](int, int) { return okAnswer("idle"); });
        QVERIFY(server.listen());
        QTemporaryDir dir;
        auto pool = std::make_shared<HttpConnectionPool>();
        auto d = make(pool);
        QCOMPARE(fetch(*d, server.url(u"/a"_s), dir.filePath(u"a"_s)), 4);
        QCOMPARE(pool->idleConnections(), 1);
        server.closeAll();
        QTRY_COMPARE(pool->idleConnections(), 0);
        QCOMPARE(fetch(*d, server.url(u"/b"_s), dir.filePath(u"b"_s)), 4);
        QCOMPARE(server.connections(), 2);
    }

    void keptAliveConnectionClosedBeforeTheAnswer_data()
    {
        QTest::addColumn<bool>("freshAlsoCloses");
        QTest::newRow("retried once on a fresh connection") << false;
        QTest::newRow("a fresh connection that closes too fails") << true;
    }

    void keptAliveConnectionClosedBeforeTheAnswer()
    {
        QFETCH(bool, freshAlsoCloses);
        // The first connection answers once, then closes when asked again; so may the next.
        RawServer server([freshAlsoCloses](int connection, int request) {
            if (request > 1 || (connection > 1 && freshAlsoCloses))
                return QByteArray();
            return okAnswer("fine");
        });
        QVERIFY(server.listen());
        QTemporaryDir dir;
        auto pool = std::make_shared<HttpConnectionPool>();
        auto d = make(pool);
        QCOMPARE(fetch(*d, server.url(u"/a"_s), dir.filePath(u"a"_s)), 4);
        QCOMPARE(fetch(*d, server.url(u"/b"_s), dir.filePath(u"b"_s)), freshAlsoCloses ? -1 : 4);
        QCOMPARE(server.connections(), 2); // one retry, no more
        QCOMPARE(server.requests(), 3);
        QCOMPARE(entries(dir.path()), freshAlsoCloses ? QStringList{u"a"_s} : (QStringList{u"a"_s, u"b"_s}));
    }

    void tenSlotsNeverPipeline()
    {
        RawServer server([](int, int request) { return okAnswer(QByteArray::number(request)); });
        QVERIFY(server.listen());
        QTemporaryDir dir;
        auto pool = std::make_shared<HttpConnectionPool>();
        std::vector<std::unique_ptr<HttpDownloader>> components;
        const int files = 200;
        int next = 0;
        int done = 0;
        for (int n = 0; n < 10; ++n) {
            components.push_back(make(pool));
            HttpDownloader *d = components.back().get();
            auto start = [&server, &dir, &next, d] {
                const QString name = QString::number(next++);
                d->BeginDownload(server.url(u"/"_s + name), dir.filePath(name));
            };
            connect(d, &Downloader::DownloadComplete, this, [&next, &done, start] {
                ++done;
                if (next < files)
                    start();
            });
            start();
        }
        QTRY_COMPARE_WITH_TIMEOUT(done, files, 20000);
        QCOMPARE(entries(dir.path()).size(), files);
        QVERIFY(!server.pipelined());
        QCOMPARE(server.requests(), files);
        QCOMPARE(server.connections(), 10);
    }

    void loginRedirectKeepsItsCookie()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        Route login;
        login.status = 302;
        login.location = "/members";
        login.extraHeaders.append(qMakePair(QByteArray("Set-Cookie"), QByteArray("session=abc; Path=/")));
        server.setRoute("/login", login);
        Route members;
        members.body = "welcome";
        members.requiredCookie = "session=abc";
        server.setRoute("/members", members);
        QTemporaryDir dir;
        auto d = make(std::make_shared<HttpConnectionPool>());
        QCOMPARE(fetch(*d, server.urlText(u"/login"_s), dir.filePath(u"m"_s)), 7);
        QCOMPARE(readFile(dir.filePath(u"m"_s)), "welcome");
        QCOMPARE(server.requestsFor("/members").value(0).header("Cookie"), "session=abc");
    }

    void redirects_data()
    {
        QTest::addColumn<QByteArray>("location");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("to another server") << QByteArray("OTHER/file") << true;
        QTest::newRow("to itself without end fails") << QByteArray("/loop") << false;
        QTest::newRow("to https goes to the manager and fails there") << QByteArray("https://127.0.0.1:1/x") << false;
        QTest::newRow("to another scheme fails") << QByteArray("ftp://127.0.0.1/x") << false;
    }

    void redirects()
    {
        QFETCH(QByteArray, location);
        QFETCH(bool, succeeds);
        TestHttpServer server;
        TestHttpServer other;
        QVERIFY(server.listen());
        QVERIFY(other.listen());
        Route there;
        there.body = "there";
        other.setRoute("/file", there);
        location.replace("OTHER", other.urlText({}).toUtf8());
        Route route;
        route.location = location;
        server.setRoute("/loop", route);
        QTemporaryDir dir;
        auto d = make(std::make_shared<HttpConnectionPool>());
        QCOMPARE(fetch(*d, server.urlText(u"/loop"_s), dir.filePath(u"f"_s)), succeeds ? 5 : -1);
        QCOMPARE(entries(dir.path()), succeeds ? QStringList{u"f"_s} : QStringList());
        if (!succeeds && location == "/loop")
            QCOMPARE(server.requests().size(), 51); // the manager's limit of redirects
    }

    void lastComponentDestroyedInItsCompleteHandler()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serveGenerated("/g/", 3000);
        QTemporaryDir dir;
        auto d = make(std::make_shared<HttpConnectionPool>()); // the only owner of its pool
        QPointer<Downloader> watch = d.get();
        connect(d.get(), &Downloader::DownloadComplete, this, [&d] { d.reset(); });
        d->BeginDownload(server.urlText(u"/g/x"_s), dir.filePath(u"x"_s));
        QTRY_VERIFY(!watch);
        QTest::qWait(50);
        QCOMPARE(readFile(dir.filePath(u"x"_s)), TestHttpServer::generatedBody("/g/x", 3000));
        QTRY_COMPARE(server.openConnections(), 0);
    }

    void destroyedWhileAConnectionIsInUse()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        Route stall;
        stall.body = "never";
        stall.stall = TestHttpServer::Stall::AfterHeaders;
        server.setRoute("/stall", stall);
        QTemporaryDir dir;
        auto pool = std::make_shared<HttpConnectionPool>();
        auto d = make(pool);
        d->BeginDownload(server.urlText(u"/stall"_s), dir.filePath(u"s"_s));
        QTRY_COMPARE(server.requests().size(), 1);
        pool.reset(); // the component keeps the pool
        d.reset();
        QTRY_COMPARE(server.openConnections(), 0);
        QCOMPARE(entries(dir.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestHttpConnectionPool)
#include "tst_httpconnectionpool.moc"
