#include "engine/BaseHref.h"
#include "engine/HttpDownloader.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QHostAddress>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QPointer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using Route = TestHttpServer::Route;
using Framing = TestHttpServer::Framing;
using Outcome = DownloadResult::Outcome;

Q_DECLARE_METATYPE(TestHttpServer::Route)

namespace {

// What one download reported: "p" for progress events (collapsed), then its outcome.
struct Recorder
{
    QString shape;
    QList<QPair<qint64, qint64>> progress;
    DownloadResult result;
    int ends = 0;
    bool busyInProgress = true;
    bool busyAtEnd = false;

    explicit Recorder(Downloader &d)
    {
        QObject::connect(&d, &Downloader::progress, &d, [this, &d](qint64 done, qint64 total) {
            progress.append({done, total});
            busyInProgress = busyInProgress && d.isBusy();
            if (!shape.endsWith(u'p'))
                shape += u'p';
        });
        QObject::connect(&d, &Downloader::finished, &d, [this, &d](const DownloadResult &r) {
            static const char kinds[] = {'s', 'k', 'f', 'n'};
            shape += QChar::fromLatin1(kinds[int(r.outcome)]);
            result = r;
            busyAtEnd = d.isBusy();
            ++ends;
        });
    }
};

DownloadRequest job(const QString &url, const QString &savePath)
{
    DownloadRequest request;
    request.url = url;
    request.savePath = savePath;
    return request;
}

Route route(const QByteArray &body, Framing framing = Framing::ContentLength, int status = 200)
{
    Route r;
    r.body = body;
    r.framing = framing;
    r.status = status;
    return r;
}

// Pieces of `bytes` every `ms`: a download still under way when the test acts.
Route slow(const QByteArray &body, int bytes = 1000, int ms = 20)
{
    Route r = route(body);
    r.chunkBytes = bytes;
    r.intervalMs = ms;
    return r;
}

Route raw(const QByteArray &answer, int repeatMs = 0, bool resetAfter = false)
{
    Route r;
    r.raw = answer;
    r.repeatMs = repeatMs;
    r.resetAfter = resetAfter;
    return r;
}

// "transfer-coded text\n" three times, gzip-compressed: a transfer coding libcurl must undo.
const QByteArray GzipBody = QByteArray::fromRawData(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\x2b\x29\x4a\xcc\x2b\x4e\x4b\x2d\xd2\x4d\xce\x4f\x49\x4d\x51\x28\x49"
    "\xad\x28\xe1\x2a\x21\x52\x0c\x00\xac\xd0\x8c\x6a\x3c\x00\x00\x00",
    43);
const QByteArray OldContent = QByteArray(200000, 'o');

qint64 peakMemoryKiB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

class TestHttpDownloader : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    const QByteArray m_final = TestHttpServer::generatedBody("/final", 3000);

    static std::unique_ptr<HttpDownloader> make(int stallSeconds = 10, QNetworkCookieJar *jar = nullptr)
    {
        std::unique_ptr<Downloader> made = HttpDownloader::factory(jar, "QuillmoorTest/1.0")(3);
        std::unique_ptr<HttpDownloader> d(static_cast<HttpDownloader *>(made.release()));
        d->setStallSeconds(stallSeconds);
        return d;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        m_server.setRoute("/final", route(m_final));
        Route moved;
        moved.location = m_server.urlText(u"/final"_s).toUtf8();
        moved.status = 301;
        m_server.setRoute("/moved-301", moved);
        moved.location = "/moved-301"; // relative, and a second hop
        m_server.setRoute("/moved-twice", moved);
        Route toFtp;
        toFtp.location = "ftp://127.0.0.1/file";
        m_server.setRoute("/to-ftp", toFtp);
        Route loop;
        loop.location = "/loop";
        m_server.setRoute("/loop", loop);
        m_server.setRoute("/missing", route("gone", Framing::ContentLength, 404));
    }

    // Every way an answer can end, into a folder already holding a file of the target's name:
    // only a success replaces it, no failure leaves anything behind, and each failure says why.
    void outcomes_data()
    {
        QTest::addColumn<Route>("answer");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("stallSeconds");
        QTest::addColumn<QString>("shape");       // p(rogress), then s(aved) or f(ailed)
        QTest::addColumn<qint64>("announced");    // total of every progress event
        QTest::addColumn<QByteArray>("expected"); // the file after a success
        QTest::addColumn<QString>("reason");      // part of the failure's reason

        const QByteArray body = TestHttpServer::generatedBody("/body", 100000);
        Route dropped = route(body);
        dropped.dropAfter = 40000;
        Route droppedChunked = route(body, Framing::Chunked);
        droppedChunked.dropAfter = 40000;
        Route stallAfter = route(body);
        stallAfter.stall = TestHttpServer::Stall::AfterHeaders;
        Route stallBefore = route(body);
        stallBefore.stall = TestHttpServer::Stall::BeforeHeaders;
        Route cookie = route(body);
        cookie.requiredCookie = "session=abc";
        const QByteArray gzipChunk = QByteArray::number(GzipBody.size(), 16) + "\r\n" + GzipBody + "\r\n0\r\n\r\n";
        const QByteArray gzipText = QByteArray("transfer-coded text\n").repeated(3);
        const QByteArray h = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        const auto row = [](const char *name, const Route &answer, const char *path, int stall, const char *shape,
                            qint64 announced, const QByteArray &expected, const char *reason) {
            QTest::newRow(name) << answer << QByteArray(path) << stall << QString::fromLatin1(shape) << announced
                                << expected << QString::fromLatin1(reason);
        };
        row("known length saved exactly", route(body), "/file", 10, "ps", body.size(), body, "");
        row("chunked body", route(body, Framing::Chunked), "/file", 10, "s", 0, body, "");
        row("close-delimited body", route(body, Framing::CloseDelimited), "/file", 10, "s", 0, body, "");
        row("slow but faster than the stall rule", slow(body.left(5000)), "/file", 2, "ps", 5000, body.left(5000), "");
        row("empty body fails", route({}), "/file", 10, "f", 0, {}, "HTTP 200 OK with an empty body");
        row("empty chunked body fails", route({}, Framing::Chunked), "/file", 10, "f", 0, {}, "empty body");
        row("404 fails", route("no such page", Framing::ContentLength, 404), "/file", 10, "f", 0, {},
            "HTTP 404 Not Found");
        row("500 chunked fails", route("broken", Framing::Chunked, 500), "/file", 10, "f", 0, {},
            "HTTP 500 Internal Server Error");
        row("403 without the cookie fails", cookie, "/file", 10, "f", 0, {}, "HTTP 403 Forbidden");
        row("dropped mid-body fails", dropped, "/file", 10, "pf", body.size(), {}, "bytes remaining");
        row("dropped mid-chunked body fails", droppedChunked, "/file", 10, "f", 0, {}, "");
        row("stall after headers fails", stallAfter, "/file", 1, "f", 0, {}, "too slow");
        row("stall before headers fails", stallBefore, "/file", 1, "f", 0, {}, "too slow");
        row("a drip under 1 byte/s fails", slow(body.left(100), 1, 1500), "/file", 2, "pf", 100, {}, "too slow");
        row("endless 100 Continue fails", raw("HTTP/1.1 100 Continue\r\n\r\n", 20), "/file", 1, "f", 0, {}, "too slow");
        row("a reset ends an unframed body as a failure", raw(h + "\r\n" + body, 0, true), "/file", 10, "f", 0, {}, "");
        row("301 then a relative 301 followed", {}, "/moved-twice", 10, "ps", 3000, m_final, "");
        row("3xx without Location fails", raw("HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nmoved"), "/file", 10, "f",
            0, {}, "HTTP 302 Found without a usable Location");
        row("300 without Location fails", raw("HTTP/1.1 300 Multiple Choices\r\nContent-Length: 2\r\n\r\nab"), "/file",
            10, "f", 0, {}, "HTTP 300");
        row("gzip, chunked coding undone", raw(h + "Transfer-Encoding: gzip, chunked\r\nContent-Length: 5\r\n\r\n" + gzipChunk),
            "/file", 10, "s", 0, gzipText, "");
        row("two Transfer-Encoding lines are one list",
            raw(h + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + gzipChunk), "/file", 10, "s", 0,
            gzipText, "");
        row("chunked before another coding fails",
            raw(h + "Transfer-Encoding: chunked, another\r\n\r\n6\r\nabcdef\r\n0\r\n\r\n"), "/file", 10, "f", 0, {}, "");
        row("an unknown transfer coding fails", raw(h + "Transfer-Encoding: identityx\r\n\r\nabcdef"), "/file", 10,
            "f", 0, {}, "");
        row("a folded line is not a header of its own", raw(h + "X-Note: a\r\n Content-Length: 3\r\n\r\nabcdef"),
            "/file", 10, "s", 0, "abcdef", "");
        row("redirect to ftp fails", {}, "/to-ftp", 10, "f", 0, {}, "not http or https: ftp:");
        row("redirect loop fails", {}, "/loop", 10, "f", 0, {}, "more than 50 redirects");
    }

    void outcomes()
    {
        QFETCH(Route, answer);
        QFETCH(QByteArray, path);
        QFETCH(int, stallSeconds);
        QFETCH(QString, shape);
        QFETCH(qint64, announced);
        QFETCH(QByteArray, expected);
        QFETCH(QString, reason);
        const bool saved = shape.endsWith(u's');
        if (path == "/file")
            m_server.setRoute(path, answer);
        QTemporaryDir dir;
        const QString target = dir.filePath(u"out.bin"_s);
        QVERIFY(TestFiles::write(target, OldContent));

        auto d = make(stallSeconds);
        Recorder rec(*d);
        d->start(job(m_server.urlText(QString::fromLatin1(path)), target));
        QVERIFY(d->isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(rec.ends, 1, 15000);
        QCOMPARE(rec.shape, shape);
        QVERIFY(rec.busyInProgress && !rec.busyAtEnd);
        QVERIFY2(rec.result.reason.contains(reason) && rec.result.reason.isEmpty() == saved,
                 qPrintable(rec.result.reason));
        for (qsizetype i = 0; i < rec.progress.size(); ++i) {
            QCOMPARE(rec.progress[i].second, announced);
            QVERIFY(rec.progress[i].first > (i ? rec.progress[i - 1].first : 0));
        }
        QCOMPARE(rec.result.size, saved ? qint64(expected.size()) : 0);
        QCOMPARE(rec.result.savedPath, saved ? target : QString());
        QCOMPARE(TestFiles::entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(TestFiles::read(target), saved ? expected : OldContent);
    }

    // Asked for a base element, the downloader puts one only into a page it can hold whole.
    void baseElementOnlyInPages_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("inserted");
        const QByteArray atLimit = "<head>" + QByteArray(HttpDownloader::PageLimitBytes - 6, 'x');
        QTest::newRow("untyped markup") << QByteArray() << QByteArray(" \r\n<head>x") << true;
        QTest::newRow("untyped binary") << QByteArray() << QByteArray("\x89PNG<head>") << false;
        QTest::newRow("XML by its type") << QByteArray("application/rss+xml") << QByteArray("x<head>") << true;
        QTest::newRow("a page at the limit") << QByteArray("text/html") << atLimit << true;
        QTest::newRow("a page over the limit") << QByteArray("text/html") << (atLimit + 'x') << false;
    }

    void baseElementOnlyInPages()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, inserted);
        Route page = route(body);
        page.contentType = contentType;
        m_server.setRoute("/page", page);
        QTemporaryDir dir;
        auto d = make();
        Recorder rec(*d);
        DownloadRequest request = job(m_server.urlText(u"/page"_s), dir.filePath(u"p.htm"_s));
        request.baseAddress = u"http://h/p.htm"_s;
        d->start(request);
        QTRY_COMPARE(rec.ends, 1);
        const QByteArray expected = inserted ? insertBaseElementIntoBytes(body, request.baseAddress) : body;
        QCOMPARE(TestFiles::read(dir.filePath(u"p.htm"_s)), expected);
        QCOMPARE(rec.result.size, expected.size());
    }

    // Named or unnamed, the staging file becomes the file with a new file's permissions, or goes.
    void stagingFiles_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::addColumn<bool>("saved");
        for (const bool unnamed : {true, false}) {
            for (const bool saved : {true, false})
                QTest::addRow("%s, %s", unnamed ? "unnamed" : "named", saved ? "saved" : "failed") << unnamed << saved;
        }
    }

    void stagingFiles()
    {
        QFETCH(bool, unnamed);
        QFETCH(bool, saved);
        QTemporaryDir dir;
        auto d = make();
        d->setUnnamedTempFiles(unnamed);
        Recorder rec(*d);
        d->start(job(m_server.urlText(saved ? u"/final"_s : u"/missing"_s), dir.filePath(u"f"_s)));
        QTRY_COMPARE(rec.ends, 1);
        QCOMPARE(TestFiles::entries(dir.path()), saved ? QStringList{u"f"_s} : QStringList());
        if (saved) {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(dir.filePath(u"f"_s)).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0666 & ~mask);
        }
    }

    void thirtyMillionBytesStayOnDisk()
    {
        const qint64 size = 30000000;
        m_server.serveGenerated("/big/", size);
        QTemporaryDir dir;
        auto d = make();
        Recorder rec(*d);
        QFile clearRefs(u"/proc/self/clear_refs"_s);
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer keeps freed memory in quarantine
        const bool measured = clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
#else
        const bool measured = false;
#endif
        const qint64 peakBefore = peakMemoryKiB();
        d->start(job(m_server.urlText(u"/big/a"_s), dir.filePath(u"big"_s)));
        QTRY_COMPARE_WITH_TIMEOUT(rec.ends, 1, 60000);
        if (measured) // the body goes to disk as it arrives, never whole into memory
            QVERIFY2(peakMemoryKiB() - peakBefore < 16 * 1024, qPrintable(QString::number(peakMemoryKiB() - peakBefore)));
        QCOMPARE(rec.shape, u"ps"_s);
        QFile file(dir.filePath(u"big"_s));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), size);
        for (qint64 offset = 0; offset < size; offset += 1 << 20) {
            if (file.read(1 << 20) != TestHttpServer::generatedSlice("/big/a", offset, qMin<qint64>(1 << 20, size - offset)))
                QFAIL(qPrintable(u"content differs near offset %1"_s.arg(offset)));
        }
    }

    // A download that cannot even start frees the component at once, reports from the event loop,
    // sends nothing and creates nothing.
    void requestsThatCannotStart_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("saveFile");
        QTest::addColumn<QString>("reason");
        const QString good = m_server.urlText(u"/final"_s);
        QTest::newRow("missing folder") << good << u"missing/out.bin"_s << u"cannot create a file in"_s;
        QTest::newRow("folder is a file") << good << u"plain/out.bin"_s << u"Not a directory"_s;
        QTest::newRow("save path is a folder name") << good << u"out/"_s << u"no file name"_s;
        QTest::newRow("ftp address") << u"ftp://127.0.0.1/file"_s << u"out.bin"_s << u"not an http"_s;
        QTest::newRow("garbage address") << u"http//:::not an address"_s << u"out.bin"_s << u"not an http"_s;
    }

    void requestsThatCannotStart()
    {
        QFETCH(QString, url);
        QFETCH(QString, saveFile);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath(u"plain"_s), "x"));
        m_server.clearRequests();
        auto d = make();
        Recorder rec(*d);
        d->start(job(url, dir.filePath(saveFile)));
        QVERIFY(!d->isBusy());
        QCOMPARE(rec.ends, 0);
        QTRY_COMPARE(rec.ends, 1);
        QCOMPARE(rec.shape, u"f"_s);
        QVERIFY2(rec.result.reason.contains(reason), qPrintable(rec.result.reason));
        QCOMPARE(TestFiles::entries(dir.path()), QStringList{u"plain"_s});
        QVERIFY(m_server.requests().isEmpty());

        QTcpServer probe; // and a server that is not there
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString nowhere = u"http://127.0.0.1:%1/x"_s.arg(probe.serverPort());
        probe.close();
        d->start(job(nowhere, dir.filePath(u"x"_s)));
        QTRY_COMPARE(rec.ends, 2);
        QVERIFY(rec.result.reason.contains(u"onnect"_s));
    }

    void writeFailureKeepsTheOldFile()
    {
        m_server.serveGenerated("/two-mb/", 2000000);
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath(u"out.bin"_s), OldContent));
        auto d = make();
        Recorder rec(*d);
        struct rlimit saved {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 1000000; // writes past one megabyte fail with EFBIG
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        d->start(job(m_server.urlText(u"/two-mb/x"_s), dir.filePath(u"out.bin"_s)));
        const bool ended = QTest::qWaitFor([&] { return rec.ends == 1; }, 10000);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(ended);
        QVERIFY2(rec.result.reason.startsWith(u"cannot write "_s) && rec.result.reason.contains(u"too large"_s),
                 qPrintable(rec.result.reason));
        QCOMPARE(TestFiles::entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(TestFiles::read(dir.filePath(u"out.bin"_s)), OldContent);
    }

    // Cancelled (by its host, or from its own progress handler) a download reports one failure;
    // destroyed (by its owner, or from its own handler as the last of its factory) it reports
    // nothing. Either way the file that was there stays as it was.
    void endedEarly_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::addColumn<bool>("fromHandler");
        QTest::newRow("cancelled by the host") << false << false;
        QTest::newRow("cancelled in the progress handler") << false << true;
        QTest::newRow("destroyed by its owner") << true << false;
        QTest::newRow("destroyed in its progress handler") << true << true;
    }

    void endedEarly()
    {
        QFETCH(bool, destroy);
        QFETCH(bool, fromHandler);
        m_server.setRoute("/slow", slow(TestHttpServer::generatedBody("/slow", 100000)));
        QTemporaryDir dir;
        const QString target = dir.filePath(u"out.bin"_s);
        QVERIFY(TestFiles::write(target, OldContent));
        std::unique_ptr<HttpDownloader> d = make();
        QPointer<Downloader> alive = d.get();
        d->cancel(); // nothing under way: nothing happens
        Recorder rec(*d);
        const auto end = [&d, destroy] { destroy ? d.reset() : d->cancel(); };
        if (fromHandler)
            connect(d.get(), &Downloader::progress, this, end);
        d->start(job(m_server.urlText(u"/slow"_s), target));
        QTRY_VERIFY(!rec.progress.isEmpty());
        if (!fromHandler)
            end();
        if (destroy) {
            QTRY_VERIFY(!alive);
        } else {
            QVERIFY(d->isBusy() || fromHandler);
            d->cancel();
            QTRY_COMPARE(rec.ends, 1);
            QCOMPARE(rec.shape, u"pf"_s);
        }
        QTest::qWait(100);
        QCOMPARE(rec.ends, destroy ? 0 : 1);
        QCOMPARE(TestFiles::entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(TestFiles::read(target), OldContent);
    }

    void nextDownloadStartsFromTheFinishedHandler()
    {
        m_server.serveGenerated("/chain/", 5000);
        QTemporaryDir dir;
        auto d = make();
        const QStringList urls{u"/chain/1"_s, u"ftp://nowhere/2"_s, u"/missing"_s, u"/chain/3"_s};
        QStringList ended;
        int next = 0;
        const auto start = [&] {
            const QString u = urls[next];
            d->start(job(u.startsWith(u'/') ? m_server.urlText(u) : u, dir.filePath(QString::number(next++))));
        };
        connect(d.get(), &Downloader::finished, this, [&](const DownloadResult &result) {
            ended.append(QFileInfo(result.savedPath).fileName() + u':' + QString::number(result.size));
            if (next < urls.size())
                start();
        });
        start();
        QTRY_COMPARE(ended.size(), urls.size());
        QCOMPARE(ended, (QStringList{u"0:5000"_s, u":0"_s, u":0"_s, u"3:5000"_s}));
        QCOMPARE(TestFiles::entries(dir.path()), (QStringList{u"0"_s, u"3"_s}));
    }

    // Ten slots of one factory keep their connections alive and share them; idle connections to
    // many servers are closed past the cache's cap instead of piling up.
    void connectionsAreReusedAndCapped()
    {
        const int files = 300;
        m_server.serveGenerated("/many/", 10240);
        const int acceptedBefore = m_server.connectionsAccepted();
        m_server.clearRequests();
        QTemporaryDir dir;
        const DownloaderFactory factory = HttpDownloader::factory(nullptr);
        std::vector<std::unique_ptr<Downloader>> components;
        int next = 0;
        int done = 0;
        for (int n = 1; n <= 10; ++n) {
            components.push_back(factory(n));
            Downloader *d = components.back().get();
            const auto start = [this, d, &next, &dir] {
                const QString name = QString::number(next++);
                d->start(job(m_server.urlText(u"/many/"_s + name), dir.filePath(name)));
            };
            connect(d, &Downloader::finished, this, [&next, &done, start] {
                if (++done, next < files)
                    start();
            });
            start();
        }
        QTRY_COMPARE_WITH_TIMEOUT(done, files, 30000);
        QCOMPARE(TestFiles::entries(dir.path()).size(), files);
        QCOMPARE(TestFiles::read(dir.filePath(u"37"_s)), TestHttpServer::generatedBody("/many/37", 10240));
        QVERIFY(m_server.connectionsAccepted() - acceptedBefore <= 10);
        QVERIFY(m_server.maxOpenConnections() > 1);

        std::vector<std::unique_ptr<TestHttpServer>> servers(CurlMulti::MaxCachedConnections + 15);
        for (auto &server : servers) {
            server = std::make_unique<TestHttpServer>();
            QVERIFY(server->listen());
            server->setRoute("/f", route("file"));
            const int before = done;
            components.front()->start(job(server->urlText(u"/f"_s), dir.filePath(u"f"_s)));
            QTRY_COMPARE(done, before + 1);
        }
        const auto open = [&servers] {
            int sum = 0;
            for (const auto &server : servers)
                sum += server->openConnections();
            return sum;
        };
        QTRY_VERIFY2(open() <= CurlMulti::MaxCachedConnections, qPrintable(QString::number(open())));
    }

    // Every hop of a redirect carries the jar's cookies for its own address, stores the cookies it
    // sets, and sends the browsers' headers.
    void requestHeadersAndCookiesOfEveryHop()
    {
        Route hop; // 127.0.0.1 and localhost are two hosts to a cookie jar, whatever the port
        hop.location = "http://localhost:" + QByteArray::number(m_server.port()) + "/landing";
        hop.extraHeaders.append({QByteArray("Set-Cookie"), QByteArray("hop=1; Path=/")});
        m_server.setRoute("/hop", hop);
        m_server.setRoute("/landing", route("landed"));
        QNetworkCookieJar jar;
        for (const auto &[name, host] : {std::pair{"session", u"127.0.0.1"_s}, std::pair{"other", u"localhost"_s}}) {
            QNetworkCookie cookie(name, "x");
            cookie.setDomain(host);
            cookie.setPath(u"/"_s);
            QVERIFY(jar.insertCookie(cookie));
        }
        m_server.clearRequests();
        QTemporaryDir dir;
        auto d = make(10, &jar);
        QCOMPARE(d->objectName(), u"Downloader1_3"_s);
        Recorder rec(*d);
        d->start(job(m_server.urlText(u"/hop"_s), dir.filePath(u"f"_s)));
        QTRY_COMPARE(rec.ends, 1);
        QCOMPARE(TestFiles::read(dir.filePath(u"f"_s)), "landed");
        QCOMPARE(m_server.requests().size(), 2);
        const TestHttpServer::Request first = m_server.requests().first();
        for (const auto &[header, value] : {std::pair{"User-Agent", "QuillmoorTest/1.0"}, std::pair{"Cache-Control", "no-cache"},
                                            std::pair{"Pragma", "no-cache"}, std::pair{"Accept-Encoding", "identity"},
                                            std::pair{"Cookie", "session=x"}})
            QCOMPARE(first.header(header), QByteArray(value));
        QCOMPARE(m_server.requests().last().header("Cookie"), "other=x");
        const QList<QNetworkCookie> kept = jar.cookiesForUrl(m_server.url(u"/"_s));
        QVERIFY(std::any_of(kept.begin(), kept.end(), [](const QNetworkCookie &c) { return c.name() == "hop"; }));
    }
};

QTEST_GUILESS_MAIN(TestHttpDownloader)
#include "tst_httpdownloader.moc"
