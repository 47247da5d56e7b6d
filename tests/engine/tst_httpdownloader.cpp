#include "engine/BaseHref.h"
#include "engine/HttpDownloader.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

Q_DECLARE_METATYPE(TestHttpServer::Route)

namespace {

// Every event of one component in order, with its busy state as the handler saw it.
struct Recorder
{
    struct Event
    {
        char kind; // 'p'rogress, finished 's'aved, 'k'ept (skipped) or 'f'ailed
        qint64 received;
        qint64 total;
        bool busy;
    };
    QList<Event> events;
    DownloadResult result;
    int completes = 0;

    explicit Recorder(Downloader &d)
    {
        QObject::connect(&d, &Downloader::progress, &d, [this, &d](qint64 received, qint64 total) {
            events.append({'p', received, total, d.isBusy()});
        });
        QObject::connect(&d, &Downloader::finished, &d, [this, &d](const DownloadResult &r) {
            const char kind = r.outcome == DownloadResult::Outcome::Saved     ? 's'
                : r.outcome == DownloadResult::Outcome::Skipped               ? 'k'
                                                                              : 'f';
            events.append({kind, 0, r.size, d.isBusy()});
            result = r;
            ++completes;
        });
    }
    // "ps", "s", "f", "pf": progress events collapse into one 'p'.
    QString shape() const
    {
        QString s;
        for (const Event &e : events) {
            if (e.kind != 'p' || !s.endsWith(u'p'))
                s += QChar::fromLatin1(e.kind);
        }
        return s;
    }
    QList<Event> progress() const
    {
        QList<Event> found;
        for (const Event &e : events) {
            if (e.kind == 'p')
                found.append(e);
        }
        return found;
    }
};

DownloadRequest job(const QString &url, const QString &savePath)
{
    DownloadRequest request;
    request.url = url;
    request.savePath = savePath;
    return request;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

Route bodyRoute(const QByteArray &body, Framing framing = Framing::ContentLength, int status = 200)
{
    Route r;
    r.body = body;
    r.framing = framing;
    r.status = status;
    return r;
}

// A body sent in pieces of `bytes` every `ms`: a transfer still under way when the test acts.
Route slowRoute(const QByteArray &body, int bytes = 1000, int ms = 20)
{
    Route r = bodyRoute(body);
    r.chunkBytes = bytes;
    r.intervalMs = ms;
    return r;
}

Route rawRoute(const QByteArray &raw, int repeatMs = 0, bool resetAfter = false)
{
    Route r;
    r.raw = raw;
    r.repeatMs = repeatMs;
    r.resetAfter = resetAfter;
    return r;
}

QNetworkCookie cookieFor(const QByteArray &name, const QByteArray &value, const QString &host)
{
    QNetworkCookie cookie(name, value);
    cookie.setDomain(host);
    cookie.setPath(u"/"_s);
    return cookie;
}

// "hello" as gzip bytes, three times over: a transfer coding libcurl must undo.
const QByteArray GzipBody = QByteArray::fromRawData(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\x2b\x29\x4a\xcc\x2b\x4e\x4b\x2d\xd2\x4d\xce\x4f\x49\x4d\x51\x28\x49"
    "\xad\x28\xe1\x2a\x21\x52\x0c\x00\xac\xd0\x8c\x6a\x3c\x00\x00\x00",
    43);
const QByteArray GzipText = QByteArray("transfer-coded text\n").repeated(3);
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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool MemoryIsMeasurable = false; // the sanitizer keeps freed memory in quarantine
#else
constexpr bool MemoryIsMeasurable = true;
#endif

} // namespace

class TestHttpDownloader : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    const QByteArray m_finalBody = TestHttpServer::generatedBody("/final", 3000);

    std::unique_ptr<HttpDownloader> make(int stallSeconds = 10, QNetworkCookieJar *jar = nullptr)
    {
        static const DownloaderFactory factory = HttpDownloader::factory(nullptr);
        std::unique_ptr<Downloader> made = jar ? HttpDownloader::factory(jar)(1) : factory(1);
        std::unique_ptr<HttpDownloader> d(static_cast<HttpDownloader *>(made.release()));
        d->setStallSeconds(stallSeconds);
        return d;
    }

    // Runs one transfer to its end; the recorder keeps what it reported.
    void fetch(HttpDownloader &d, Recorder &rec, const QString &url, const QString &target, int ms = 10000)
    {
        d.start(job(url, target));
        QTRY_COMPARE_WITH_TIMEOUT(rec.completes, 1, ms);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        m_server.setRoute("/final", bodyRoute(m_finalBody));
        Route redirect;
        redirect.location = m_server.urlText(u"/final"_s).toUtf8();
        redirect.status = 301;
        m_server.setRoute("/moved-301", redirect);
        redirect.location = "/moved-301"; // relative, and a second hop
        redirect.status = 302;
        m_server.setRoute("/moved-twice", redirect);
    }

    // Every way an answer can end, into a folder that already holds a file of the target's name:
    // only a success replaces it, and no failure leaves anything behind.
    void outcomes_data()
    {
        QTest::addColumn<Route>("route");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("stallSeconds");
        QTest::addColumn<QString>("shape");       // events: p(rogress)* e(rror) c(omplete)
        QTest::addColumn<qint64>("announced");    // MaxBytes of every progress event
        QTest::addColumn<QByteArray>("expected"); // the file after a success
        QTest::addColumn<QString>("reason");      // part of the failure's reason

        const QByteArray body = TestHttpServer::generatedBody("/body", 100000);
        const qint64 length = body.size();
        Route dropped = bodyRoute(body);
        dropped.dropAfter = 40000;
        Route droppedChunked = bodyRoute(body, Framing::Chunked);
        droppedChunked.dropAfter = 40000;
        Route stallAfter = bodyRoute(body);
        stallAfter.stall = TestHttpServer::Stall::AfterHeaders;
        Route stallBefore = bodyRoute(body);
        stallBefore.stall = TestHttpServer::Stall::BeforeHeaders;
        Route cookie = bodyRoute(body);
        cookie.requiredCookie = "session=abc";
        const QByteArray gzipChunk = QByteArray::number(GzipBody.size(), 16) + "\r\n" + GzipBody + "\r\n0\r\n\r\n";
        const QByteArray h = "HTTP/1.1 200 OK\r\nConnection: close\r\n";

        struct Case
        {
            const char *name;
            Route route;
            QByteArray path;
            int stallSeconds;
            const char *shape;
            qint64 announced;
            QByteArray expected;
            const char *reason;
        };
        const Case cases[] = {
            {"known length is saved exactly", bodyRoute(body), "/file", 10, "ps", length, body, ""},
            {"chunked body with data succeeds", bodyRoute(body, Framing::Chunked), "/file", 10, "s", 0, body, ""},
            {"close-delimited body succeeds", bodyRoute(body, Framing::CloseDelimited), "/file", 10, "s", 0, body, ""},
            {"slow sender faster than the stall rule succeeds", slowRoute(body.left(5000)), "/file", 2, "ps", 5000,
             body.left(5000), ""},
            {"empty body fails", bodyRoute({}), "/file", 10, "f", 0, {}, "HTTP 200 OK with an empty body"},
            {"empty chunked body fails", bodyRoute({}, Framing::Chunked), "/file", 10, "f", 0, {}, "empty body"},
            {"404 fails", bodyRoute("no such page", Framing::ContentLength, 404), "/file", 10, "f", 0, {},
             "HTTP 404 Not Found"},
            {"500 fails", bodyRoute("broken", Framing::Chunked, 500), "/file", 10, "f", 0, {},
             "HTTP 500 Internal Server Error"},
            {"403 without the cookie fails", cookie, "/file", 10, "f", 0, {}, "HTTP 403 Forbidden"},
            {"dropped mid-body fails", dropped, "/file", 10, "pf", length, {}, "bytes remaining"},
            {"dropped mid-chunked body fails", droppedChunked, "/file", 10, "f", 0, {}, ""},
            {"stall after headers fails at the stall time", stallAfter, "/file", 1, "f", 0, {}, "too slow"},
            {"stall before headers fails at the stall time", stallBefore, "/file", 1, "f", 0, {}, "too slow"},
            {"a drip slower than 1 byte/s fails", slowRoute(body.left(100), 1, 1500), "/file", 2, "pf", 100, {},
             "too slow"},
            {"endless 100 Continue fails", rawRoute("HTTP/1.1 100 Continue\r\n\r\n", 20), "/file", 1, "f", 0, {},
             "too slow"},
            {"a reset ends an unframed body as a failure", rawRoute(h + "\r\n" + body, 0, true), "/file", 10, "f", 0,
             {}, ""},
            {"301 then a relative 302 are followed", {}, "/moved-twice", 10, "ps", 3000, m_finalBody, ""},
            {"3xx without Location fails", rawRoute("HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nmoved"), "/file",
             10, "f", 0, {}, "HTTP 302 Found without a usable Location"},
            {"300 without Location fails", rawRoute("HTTP/1.1 300 Multiple Choices\r\nContent-Length: 2\r\n\r\nab"),
             "/file", 10, "f", 0, {}, "HTTP 300"},
            {"gzip, chunked transfer coding is undone",
             rawRoute(h + "Transfer-Encoding: gzip, chunked\r\nContent-Length: 5\r\n\r\n" + gzipChunk), "/file", 10,
             "s", 0, GzipText, ""},
            {"two Transfer-Encoding lines are one list",
             rawRoute(h + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + gzipChunk), "/file", 10,
             "s", 0, GzipText, ""},
            {"chunked before another coding fails",
             rawRoute(h + "Transfer-Encoding: chunked, another\r\n\r\n6\r\nabcdef\r\n0\r\n\r\n"), "/file", 10, "f", 0,
             {}, ""},
            {"an unknown transfer coding fails", rawRoute(h + "Transfer-Encoding: identityx\r\n\r\nabcdef"), "/file",
             10, "f", 0, {}, ""},
            {"a folded line is not a header of its own",
             rawRoute(h + "X-Note: a\r\n Content-Length: 3\r\n\r\nabcdef"), "/file", 10, "s", 0, "abcdef", ""},
        };
        for (const Case &c : cases) {
            QTest::newRow(c.name) << c.route << c.path << c.stallSeconds << QString::fromLatin1(c.shape) << c.announced
                                  << c.expected << QString::fromLatin1(c.reason);
        }
    }

    void outcomes()
    {
        QFETCH(Route, route);
        QFETCH(QByteArray, path);
        QFETCH(int, stallSeconds);
        QFETCH(QString, shape);
        QFETCH(qint64, announced);
        QFETCH(QByteArray, expected);
        QFETCH(QString, reason);
        const bool succeeds = !shape.contains(u'f');

        if (path == "/file")
            m_server.setRoute(path, route);
        QTemporaryDir dir;
        const QString target = dir.filePath(u"out.bin"_s);
        writeFile(target, OldContent);

        auto d = make(stallSeconds);
        Recorder rec(*d);
        d->start(job(m_server.urlText(QString::fromLatin1(path)), target));
        QVERIFY(d->isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(rec.completes, 1, 15000);

        QCOMPARE(rec.shape(), shape);
        QVERIFY(!d->isBusy());
        QVERIFY2(rec.result.reason.contains(reason), qPrintable(rec.result.reason));
        QCOMPARE(rec.result.reason.isEmpty(), succeeds);
        for (const auto &e : std::as_const(rec.events))
            QCOMPARE(e.busy, e.kind == 'p');
        QCOMPARE(rec.result.savedPath, succeeds ? target : QString());
        const QList<Recorder::Event> reports = rec.progress();
        for (qsizetype i = 0; i < reports.size(); ++i) {
            QCOMPARE(reports[i].total, announced);
            QVERIFY(reports[i].received > (i ? reports[i - 1].received : 0));
        }
        if (succeeds && !reports.isEmpty())
            QCOMPARE(reports.last().received, announced);
        QCOMPARE(rec.events.last().total, succeeds ? qint64(expected.size()) : 0);
        QCOMPARE(entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(readFile(target), succeeds ? expected : OldContent);
    }

    // The staging file is named or unnamed; either way it becomes the file with the permissions
    // of a new file, or goes without a trace.
    void stagingFiles_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("unnamed, success") << true << true;
        QTest::newRow("named, success") << false << true;
        QTest::newRow("unnamed, failure") << true << false;
        QTest::newRow("named, failure") << false << false;
    }

    void stagingFiles()
    {
        QFETCH(bool, unnamed);
        QFETCH(bool, succeeds);
        m_server.setRoute("/missing", bodyRoute("gone", Framing::ContentLength, 404));
        QTemporaryDir dir;
        auto d = make();
        d->setUnnamedTempFiles(unnamed);
        Recorder rec(*d);
        fetch(*d, rec, m_server.urlText(succeeds ? u"/final"_s : u"/missing"_s), dir.filePath(u"f"_s));
        QCOMPARE(entries(dir.path()), succeeds ? QStringList{u"f"_s} : QStringList());
        if (succeeds) {
            QCOMPARE(readFile(dir.filePath(u"f"_s)), m_finalBody);
            const mode_t mask = ::umask(0);
            ::umask(mask);
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(dir.filePath(u"f"_s)).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0666 & ~mask);
        }
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
        Route route = bodyRoute(body);
        route.contentType = contentType;
        m_server.setRoute("/page", route);
        QTemporaryDir dir;
        auto d = make();
        Recorder rec(*d);
        DownloadRequest request = job(m_server.urlText(u"/page"_s), dir.filePath(u"p.htm"_s));
        request.baseAddress = u"http://h/p.htm"_s;
        d->start(request);
        QTRY_COMPARE(rec.completes, 1);
        const QByteArray expected = inserted ? insertBaseElementIntoBytes(body, request.baseAddress) : body;
        QCOMPARE(readFile(dir.filePath(u"p.htm"_s)), expected);
        QCOMPARE(rec.result.size, expected.size());
    }

    void thirtyMillionBytesStayOnDisk()
    {
        const qint64 size = 30000000;
        m_server.serveGenerated("/big/", size);
        QTemporaryDir dir;
        const QString target = dir.filePath(u"big.bin"_s);
        auto d = make();
        Recorder rec(*d);
        QFile clearRefs(u"/proc/self/clear_refs"_s);
        const bool measured = MemoryIsMeasurable && clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
        const qint64 peakBefore = peakMemoryKiB();
        fetch(*d, rec, m_server.urlText(u"/big/a"_s), target, 60000);
        if (measured) // the body goes to disk as it arrives, never whole into memory
            QVERIFY2(peakMemoryKiB() - peakBefore < 16 * 1024, qPrintable(QString::number(peakMemoryKiB() - peakBefore)));
        QCOMPARE(rec.shape(), u"ps"_s);
        QCOMPARE(rec.progress().last().received, size);
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), size);
        for (qint64 offset = 0; offset < size; offset += 1 << 20) {
            const QByteArray chunk = file.read(1 << 20);
            if (chunk != TestHttpServer::generatedSlice("/big/a", offset, chunk.size()))
                QFAIL(qPrintable(u"content differs near offset %1"_s.arg(offset)));
        }
    }

    void requestsThatCannotStart_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("saveFile");
        QTest::addColumn<QString>("reason");
        const QString good = m_server.urlText(u"/final"_s);
        QTest::newRow("missing folder") << good << u"missing/out.bin"_s << u"cannot create a file in"_s;
        QTest::newRow("folder is a file") << good << u"plain/out.bin"_s << u"Not a directory"_s;
        if (::geteuid() != 0) // permissions do not stop root
            QTest::newRow("unwritable folder") << good << u"locked/out.bin"_s << u"Permission denied"_s;
        QTest::newRow("save path is a folder name") << good << u"out/"_s << u"no file name"_s;
        QTest::newRow("ftp address") << u"ftp://127.0.0.1/file"_s << u"out.bin"_s << u"not an http"_s;
        QTest::newRow("garbage address") << u"http//:::not an address"_s << u"out.bin"_s << u"not an http"_s;
        QTest::newRow("empty address") << QString() << u"out.bin"_s << u"not an http"_s;
    }

    void requestsThatCannotStart()
    {
        QFETCH(QString, url);
        QFETCH(QString, saveFile);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        writeFile(dir.filePath(u"plain"_s), "x");
        QVERIFY(QDir(dir.path()).mkdir(u"locked"_s));
        QVERIFY(QFile::setPermissions(dir.filePath(u"locked"_s), QFile::ReadOwner | QFile::ExeOwner));
        const QStringList before = entries(dir.path());
        m_server.clearRequests();

        auto d = make();
        Recorder rec(*d);
        const QString target = dir.filePath(saveFile);
        d->start(job(url, target));
        QVERIFY(!d->isBusy());
        QCOMPARE(rec.events.size(), 0); // reported from the event loop, not inside start()
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(rec.shape(), u"f"_s);
        QVERIFY2(rec.result.reason.contains(reason), qPrintable(rec.result.reason));
        QCOMPARE(entries(dir.path()), before);
        QVERIFY(m_server.requests().isEmpty());
        QFile::setPermissions(dir.filePath(u"locked"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void failuresOnTheWay_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("reason");
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        QTest::newRow("nothing listens") << u"http://127.0.0.1:%1/x"_s.arg(probe.serverPort()) << u"onnect"_s;
        QTest::newRow("redirect to ftp") << m_server.urlText(u"/to-ftp"_s) << u"not http or https: ftp:"_s;
        QTest::newRow("redirect loop") << m_server.urlText(u"/loop"_s) << u"more than 50 redirects"_s;
    }

    void failuresOnTheWay()
    {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        Route toFtp;
        toFtp.location = "ftp://127.0.0.1/file";
        m_server.setRoute("/to-ftp", toFtp);
        Route loop;
        loop.location = "/loop";
        m_server.setRoute("/loop", loop);
        QTemporaryDir dir;
        auto d = make();
        Recorder rec(*d);
        fetch(*d, rec, url, dir.filePath(u"x"_s));
        QCOMPARE(rec.shape(), u"f"_s);
        QVERIFY2(rec.result.reason.contains(reason), qPrintable(rec.result.reason));
        QVERIFY(entries(dir.path()).isEmpty());
    }

    void writeFailureKeepsTheOldFile()
    {
        m_server.serveGenerated("/two-mb/", 2000000);
        QTemporaryDir dir;
        writeFile(dir.filePath(u"out.bin"_s), OldContent);
        auto d = make();
        Recorder rec(*d);
        struct rlimit saved {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 1000000; // writes past one megabyte fail with EFBIG
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        d->start(job(m_server.urlText(u"/two-mb/x"_s), dir.filePath(u"out.bin"_s)));
        const bool ended = QTest::qWaitFor([&] { return rec.completes == 1; }, 10000);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(ended);
        QVERIFY(rec.shape().endsWith(u"f"_s));
        QVERIFY2(rec.result.reason.startsWith(u"cannot write "_s) && rec.result.reason.contains(u"too large"_s), qPrintable(rec.result.reason));
        QCOMPARE(entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(readFile(dir.filePath(u"out.bin"_s)), OldContent);
    }

    void cancelLeavesTheOldFile_data()
    {
        QTest::addColumn<bool>("fromHandler");
        QTest::newRow("cancelled by the host") << false;
        QTest::newRow("cancelled in the progress handler") << true;
    }

    void cancelLeavesTheOldFile()
    {
        QFETCH(bool, fromHandler);
        m_server.setRoute("/slow", slowRoute(TestHttpServer::generatedBody("/slow", 100000)));
        QTemporaryDir dir;
        const QString target = dir.filePath(u"out.bin"_s);
        writeFile(target, OldContent);

        auto d = make();
        d->cancel(); // nothing under way: nothing happens
        Recorder rec(*d);
        if (fromHandler)
            connect(d.get(), &Downloader::progress, d.get(), [&d] { d->cancel(); });
        d->start(job(m_server.urlText(u"/slow"_s), target));
        QTRY_VERIFY(!rec.events.isEmpty());
        if (!fromHandler) {
            d->cancel();
            QVERIFY(d->isBusy());
            d->cancel();
        }
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(rec.shape(), u"pf"_s);
        QVERIFY(!d->isBusy());
        QTest::qWait(100);
        QCOMPARE(rec.completes, 1);
        QCOMPARE(entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(readFile(target), OldContent);
    }

    void destroyedMidTransferLeavesNoFile_data()
    {
        QTest::addColumn<bool>("inItsHandler");
        QTest::newRow("by its owner") << false;
        QTest::newRow("in its own progress handler, the last of its factory") << true;
    }

    void destroyedMidTransferLeavesNoFile()
    {
        QFETCH(bool, inItsHandler);
        m_server.setRoute("/quit", slowRoute(TestHttpServer::generatedBody("/slow", 100000)));
        QTemporaryDir dir;
        std::unique_ptr<Downloader> d = HttpDownloader::factory(nullptr)(1);
        QPointer<Downloader> watch = d.get();
        int events = 0;
        connect(d.get(), &Downloader::finished, this, [&events] { ++events; });
        if (inItsHandler)
            connect(d.get(), &Downloader::progress, this, [&d] { d.reset(); });
        d->start(job(m_server.urlText(u"/quit"_s), dir.filePath(u"out.bin"_s)));
        if (!inItsHandler) {
            QTest::qWait(150);
            QVERIFY(d->isBusy());
            d.reset();
        }
        QTRY_VERIFY(!watch);
        QTest::qWait(100);
        QCOMPARE(events, 0);
        QCOMPARE(entries(dir.path()), QStringList());
    }

    void nextTransferStartsFromTheCompleteHandler()
    {
        m_server.serveGenerated("/chain/", 5000);
        QTemporaryDir dir;
        auto d = make();
        QStringList urls{u"/chain/1"_s, u"ftp://nowhere/2"_s, u"/missing"_s, u"/chain/3"_s, u"/chain/4"_s};
        QStringList ended;
        int next = 0;
        auto start = [&] {
            const QString u = urls[next];
            d->start(job(u.startsWith(u'/') ? m_server.urlText(u) : u, dir.filePath(QString::number(next))));
            ++next;
        };
        connect(d.get(), &Downloader::finished, this, [&](const DownloadResult &result) {
            ended.append(QFileInfo(result.savedPath).fileName() + u':' + QString::number(result.size));
            if (next < urls.size())
                start();
        });
        start();
        QTRY_COMPARE(ended.size(), urls.size());
        QCOMPARE(ended, (QStringList{u"0:5000"_s, u":0"_s, u":0"_s, u"3:5000"_s, u"4:5000"_s}));
        QVERIFY(!d->isBusy());
        QCOMPARE(entries(dir.path()), (QStringList{u"0"_s, u"3"_s, u"4"_s}));
    }

    // Ten slots of one factory keep their connections alive and share them.
    void tenSlotsReuseConnections()
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
            auto start = [this, d, &next, &dir] {
                const QString name = QString::number(next++);
                d->start(job(m_server.urlText(u"/many/"_s + name), dir.filePath(name)));
            };
            connect(d, &Downloader::finished, this, [&next, &done, start] {
                ++done;
                if (next < files)
                    start();
            });
            start();
        }
        QTRY_COMPARE_WITH_TIMEOUT(done, files, 30000);
        QCOMPARE(entries(dir.path()).size(), files);
        for (int i = 0; i < files; i += 37)
            QCOMPARE(readFile(dir.filePath(QString::number(i))), TestHttpServer::generatedBody("/many/" + QByteArray::number(i), 10240));
        QCOMPARE(m_server.requests().size(), files);
        QVERIFY(m_server.connectionsAccepted() - acceptedBefore <= 10);
        QVERIFY(m_server.maxOpenConnections() > 1);
    }

    // One file from each of many servers: idle connections are closed past the cache's cap
    // instead of piling up until the process runs out of descriptors.
    void idleConnectionsAreCapped()
    {
        const int servers = CurlMulti::MaxCachedConnections + 15;
        std::vector<std::unique_ptr<TestHttpServer>> many;
        auto d = make();
        QTemporaryDir dir;
        for (int i = 0; i < servers; ++i) {
            many.push_back(std::make_unique<TestHttpServer>());
            QVERIFY(many.back()->listen());
            many.back()->setRoute("/f", bodyRoute("file"));
            Recorder rec(*d);
            fetch(*d, rec, many.back()->urlText(u"/f"_s), dir.filePath(QString::number(i)));
            QCOMPARE(rec.shape(), u"ps"_s);
            disconnect(d.get(), nullptr, nullptr, nullptr);
        }
        const auto open = [&many] {
            int sum = 0;
            for (const auto &server : many)
                sum += server->openConnections();
            return sum;
        };
        QTRY_VERIFY2(open() <= CurlMulti::MaxCachedConnections, qPrintable(QString::number(open())));
    }

    void requestHeadersAndCookiesOfEveryHop()
    {
        // 127.0.0.1 and localhost are two hosts to a cookie jar, whatever the port.
        Route hop;
        hop.location = "http://localhost:" + QByteArray::number(m_server.port()) + "/landing";
        hop.extraHeaders.append({QByteArray("Set-Cookie"), QByteArray("hop=1; Path=/")});
        m_server.setRoute("/hop", hop);
        m_server.setRoute("/landing", bodyRoute("landed"));
        QNetworkCookieJar jar;
        QVERIFY(jar.insertCookie(cookieFor("session", "abc", u"127.0.0.1"_s)));
        QVERIFY(jar.insertCookie(cookieFor("other", "x", u"localhost"_s)));
        m_server.clearRequests();

        QTemporaryDir dir;
        const std::unique_ptr<Downloader> d = HttpDownloader::factory(&jar, "QuillmoorTest/1.0")(3);
        QCOMPARE(d->objectName(), u"Downloader1_3"_s);
        Recorder rec(*d);
        d->start(job(m_server.urlText(u"/hop"_s), dir.filePath(u"f"_s)));
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(readFile(dir.filePath(u"f"_s)), "landed");
        QCOMPARE(m_server.requests().size(), 2);
        const TestHttpServer::Request first = m_server.requests().first();
        const TestHttpServer::Request second = m_server.requests().last();
        QCOMPARE(first.method, "GET");
        QCOMPARE(first.header("User-Agent"), "QuillmoorTest/1.0");
        QCOMPARE(first.header("Cache-Control"), "no-cache");
        QCOMPARE(first.header("Pragma"), "no-cache");
        QCOMPARE(first.header("Accept-Encoding"), "identity");
        QCOMPARE(first.header("Cookie"), "session=abc");
        QCOMPARE(second.header("Cookie"), "other=x");
        QCOMPARE(second.header("User-Agent"), "QuillmoorTest/1.0");
        const QList<QNetworkCookie> kept = jar.cookiesForUrl(m_server.url(u"/"_s));
        QVERIFY(std::any_of(kept.begin(), kept.end(), [](const QNetworkCookie &c) { return c.name() == "hop"; }));
    }
};

QTEST_GUILESS_MAIN(TestHttpDownloader)
#include "tst_httpdownloader.moc"
