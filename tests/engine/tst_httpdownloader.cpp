#include "engine/HttpConnectionPool.h"
#include "engine/HttpDownloader.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QFileInfo>
#include <QHostAddress>
#include <QPointer>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
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

// Every event of one component in order, with 下载状态 as the handler saw it.
struct Recorder
{
    struct Event
    {
        char kind; // 'p'rogress, 'e'rror, 'c'omplete
        qint64 cur;
        qint64 max;
        QString saveFile;
        bool busy;
    };
    QList<Event> events;
    int completes = 0;

    explicit Recorder(HttpDownloader &d)
    {
        QObject::connect(&d, &Downloader::DownloadProgress, &d, [this, &d](qint64 c, qint64 m, const QString &f) {
            events.append({'p', c, m, f, d.下载状态});
        });
        QObject::connect(&d, &Downloader::DownloadError, &d,
                         [this, &d](const QString &f) { events.append({'e', 0, 0, f, d.下载状态}); });
        QObject::connect(&d, &Downloader::DownloadComplete, &d, [this, &d](qint64 m, const QString &f) {
            events.append({'c', 0, m, f, d.下载状态});
            ++completes;
        });
    }
    // "p*", "p*ec" style summary: progress events collapse into one 'p'.
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

// A body sent 1000 bytes every 20 ms: a transfer that is still under way when the test acts.
Route slowRoute(const QByteArray &body, Framing framing = Framing::ContentLength)
{
    Route r = bodyRoute(body, framing);
    r.chunkBytes = 1000;
    r.intervalMs = 20;
    return r;
}

const QByteArray OldContent = QByteArray(200000, 'o');

// Peak resident memory in KiB since the last resetPeakMemory().
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

bool resetPeakMemory()
{
    QFile clearRefs(u"/proc/self/clear_refs"_s);
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

// Built twice: plain http through the network manager, and through a connection pool.
#if defined(QUILLMOOR_TEST_FAST_PATH)
constexpr bool ThroughPool = true;
#else
constexpr bool ThroughPool = false;
#endif

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
    QNetworkAccessManager m_manager;
    const std::shared_ptr<HttpConnectionPool> m_pool = std::make_shared<HttpConnectionPool>();
    const QByteArray m_finalBody = TestHttpServer::generatedBody("/final", 3000);

    std::unique_ptr<HttpDownloader> make(bool unnamed = true, int idleMs = 10000)
    {
        auto d = std::make_unique<HttpDownloader>(m_manager);
        d->setUnnamedTempFiles(unnamed);
        d->setIdleTimeout(idleMs);
        if (ThroughPool)
            d->setConnectionPool(m_pool);
        return d;
    }

    // A factory's component on the path this build tests (factories use a pool of their own).
    static std::unique_ptr<Downloader> onTestedPath(std::unique_ptr<Downloader> d)
    {
        if (!ThroughPool)
            static_cast<HttpDownloader &>(*d).setConnectionPool(nullptr);
        return d;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_server.listen());
        m_server.setRoute("/final", bodyRoute(m_finalBody));
        Route redirect;
        redirect.location = m_server.urlText(u"/final"_s).toUtf8();
        redirect.status = 301;
        m_server.setRoute("/moved-301", redirect);
        redirect.status = 302;
        m_server.setRoute("/moved-302", redirect);
        redirect.location = "/moved-301"; // relative, and a second hop
        m_server.setRoute("/moved-twice", redirect);
    }

    void outcomes_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::addColumn<bool>("existing");
        QTest::addColumn<Route>("route");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<QString>("shape");       // events: p(rogress)* e(rror) c(omplete)
        QTest::addColumn<qint64>("announced");    // MaxBytes of every progress event
        QTest::addColumn<QByteArray>("expected"); // the file after a success

        const QByteArray body = TestHttpServer::generatedBody("/body", 100000);
        const qint64 length = body.size();
        const Route slow = slowRoute(body.left(5000));
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

        struct Case
        {
            const char *name;
            Route route;
            QByteArray path;
            int idleMs;
            const char *shape;
            qint64 announced;
            QByteArray expected;
        };
        const Case cases[] = {
            {"known length is saved exactly", bodyRoute(body), "/file", 10000, "pc", length, body},
            {"chunked body with data succeeds", bodyRoute(body, Framing::Chunked), "/file", 10000, "c", 0, body},
            {"close-delimited body succeeds", bodyRoute(body, Framing::CloseDelimited), "/file", 10000, "c", 0, body},
            {"slow sender within the idle time succeeds", slow, "/file", 2000, "pc", 5000, body.left(5000)},
            {"empty body fails", bodyRoute({}), "/file", 10000, "ec", 0, {}},
            {"empty chunked body fails", bodyRoute({}, Framing::Chunked), "/file", 10000, "ec", 0, {}},
            {"404 fails", bodyRoute("no such page", Framing::ContentLength, 404), "/file", 10000, "ec", 0, {}},
            {"500 fails", bodyRoute("broken", Framing::Chunked, 500), "/file", 10000, "ec", 0, {}},
            {"403 without the cookie fails", cookie, "/file", 10000, "ec", 0, {}},
            {"dropped mid-body fails", dropped, "/file", 10000, "pec", length, {}},
            {"dropped mid-chunked body fails", droppedChunked, "/file", 10000, "ec", 0, {}},
            {"stall after headers fails at the idle time", stallAfter, "/file", 300, "ec", 0, {}},
            {"stall before headers fails at the idle time", stallBefore, "/file", 300, "ec", 0, {}},
            {"301 is followed", {}, "/moved-301", 10000, "pc", 3000, m_finalBody},
            {"302 is followed", {}, "/moved-302", 10000, "pc", 3000, m_finalBody},
            {"two redirects are followed", {}, "/moved-twice", 10000, "pc", 3000, m_finalBody},
        };
        for (const bool unnamed : {true, false}) {
            for (const bool existing : {false, true}) {
                for (const Case &c : cases) {
                    const QByteArray name = QByteArray(unnamed ? "unnamed" : "named") + (existing ? ", over a file: " : ": ") + c.name;
                    QTest::newRow(name.constData()) << unnamed << existing << c.route << c.path << c.idleMs
                                                    << QString::fromLatin1(c.shape) << c.announced << c.expected;
                }
            }
        }
    }

    void outcomes()
    {
        QFETCH(bool, unnamed);
        QFETCH(bool, existing);
        QFETCH(Route, route);
        QFETCH(QByteArray, path);
        QFETCH(int, idleMs);
        QFETCH(QString, shape);
        QFETCH(qint64, announced);
        QFETCH(QByteArray, expected);
        const bool succeeds = !shape.contains(u'e');

        if (path == "/file")
            m_server.setRoute(path, route);
        QTemporaryDir dir;
        const QString target = dir.filePath(u"out.bin"_s);
        if (existing)
            writeFile(target, OldContent);

        auto d = make(unnamed, idleMs);
        Recorder rec(*d);
        d->BeginDownload(m_server.urlText(QString::fromLatin1(path)), target);
        QVERIFY(d->下载状态);
        QTRY_COMPARE_WITH_TIMEOUT(rec.completes, 1, 10000);

        QCOMPARE(rec.shape(), shape);
        QVERIFY(!d->下载状态);
        for (const auto &e : std::as_const(rec.events)) {
            QCOMPARE(e.saveFile, target);
            QCOMPARE(e.busy, e.kind == 'p');
        }
        const QList<Recorder::Event> reports = rec.progress();
        for (qsizetype i = 0; i < reports.size(); ++i) {
            QCOMPARE(reports[i].max, announced);
            QVERIFY(reports[i].cur > (i ? reports[i - 1].cur : 0));
        }
        if (succeeds && !reports.isEmpty())
            QCOMPARE(reports.last().cur, announced);

        QCOMPARE(rec.events.last().max, succeeds ? qint64(expected.size()) : 0);
        if (succeeds || existing) {
            QCOMPARE(entries(dir.path()), QStringList{u"out.bin"_s});
            QCOMPARE(readFile(target), succeeds ? expected : OldContent);
        } else {
            QCOMPARE(entries(dir.path()), QStringList());
        }
        if (succeeds) {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(target).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0666 & ~mask);
        }
    }

    void thirtyMillionBytesWithKnownSize()
    {
        const qint64 size = 30000000;
        m_server.serveGenerated("/big/", size);
        QTemporaryDir dir;
        const QString target = dir.filePath(u"big.bin"_s);
        auto d = make();
        Recorder rec(*d);
        const bool measured = MemoryIsMeasurable && resetPeakMemory();
        const qint64 peakBefore = peakMemoryKiB();
        d->BeginDownload(m_server.urlText(u"/big/a"_s), target);
        QTRY_COMPARE_WITH_TIMEOUT(rec.completes, 1, 60000);
        if (measured) // the body goes to disk as it arrives, never whole into memory
            QVERIFY2(peakMemoryKiB() - peakBefore < 16 * 1024, qPrintable(QString::number(peakMemoryKiB() - peakBefore)));
        QCOMPARE(rec.shape(), u"pc"_s);
        QCOMPARE(rec.progress().last().cur, size);
        QCOMPARE(rec.progress().last().max, size);
        QCOMPARE(rec.events.last().max, size);

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
        const QString good = m_server.urlText(u"/final"_s);
        QTest::newRow("missing folder") << good << u"missing/out.bin"_s;
        QTest::newRow("folder is a file") << good << u"plain/out.bin"_s;
        if (::geteuid() != 0) // permissions do not stop root
            QTest::newRow("unwritable folder") << good << u"locked/out.bin"_s;
        QTest::newRow("save path is a folder name") << good << u"out/"_s;
        QTest::newRow("ftp address") << u"ftp://127.0.0.1/file"_s << u"out.bin"_s;
        QTest::newRow("garbage address") << u"http//:::not an address"_s << u"out.bin"_s;
        QTest::newRow("http prefix but another scheme") << u"httpx://127.0.0.1/file"_s << u"out.bin"_s;
        QTest::newRow("empty address") << QString() << u"out.bin"_s;
    }

    void requestsThatCannotStart()
    {
        QFETCH(QString, url);
        QFETCH(QString, saveFile);
        QTemporaryDir dir;
        writeFile(dir.filePath(u"plain"_s), "x");
        QVERIFY(QDir(dir.path()).mkdir(u"locked"_s));
        QVERIFY(QFile::setPermissions(dir.filePath(u"locked"_s), QFile::ReadOwner | QFile::ExeOwner));
        const QStringList before = entries(dir.path());
        m_server.clearRequests();

        auto d = make();
        Recorder rec(*d);
        const QString target = dir.filePath(saveFile);
        d->BeginDownload(url, target);
        QVERIFY(!d->下载状态);
        QCOMPARE(rec.events.size(), 0); // reported from the event loop, not inside BeginDownload
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(rec.shape(), u"ec"_s);
        QCOMPARE(rec.events.first().saveFile, target);
        QCOMPARE(entries(dir.path()), before);
        QVERIFY(entries(dir.filePath(u"locked"_s)).isEmpty());
        QVERIFY(m_server.requests().isEmpty());
        QFile::setPermissions(dir.filePath(u"locked"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void nothingListensFails()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        QTemporaryDir dir;
        auto d = make();
        Recorder rec(*d);
        d->BeginDownload(u"http://127.0.0.1:%1/x"_s.arg(port), dir.filePath(u"x"_s));
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(rec.shape(), u"ec"_s);
        QVERIFY(entries(dir.path()).isEmpty());
    }

    void targetIsAFolderFails_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::newRow("unnamed") << true;
        QTest::newRow("named") << false;
    }

    void targetIsAFolderFails()
    {
        QFETCH(bool, unnamed);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"final"_s));
        auto d = make(unnamed);
        Recorder rec(*d);
        d->BeginDownload(m_server.urlText(u"/final"_s), dir.filePath(u"final"_s));
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(rec.shape(), u"pec"_s);
        QCOMPARE(entries(dir.path()), QStringList{u"final"_s});
        QVERIFY(QFileInfo(dir.filePath(u"final"_s)).isDir());
    }

    void writeFailureMidBodyFails_data() { targetIsAFolderFails_data(); }

    void writeFailureMidBodyFails()
    {
        QFETCH(bool, unnamed);
        m_server.serveGenerated("/two-mb/", 2000000);
        QTemporaryDir dir;
        writeFile(dir.filePath(u"out.bin"_s), OldContent);
        auto d = make(unnamed);
        Recorder rec(*d);

        struct rlimit saved {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 1000000; // writes past one megabyte fail with EFBIG
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        d->BeginDownload(m_server.urlText(u"/two-mb/x"_s), dir.filePath(u"out.bin"_s));
        const bool ended = QTest::qWaitFor([&] { return rec.completes == 1; }, 10000);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(ended);
        QVERIFY(rec.shape().endsWith(u"ec"_s));
        QCOMPARE(entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(readFile(dir.filePath(u"out.bin"_s)), OldContent);
    }

    void cancelLeavesNoFile_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::addColumn<bool>("fromHandler");
        QTest::newRow("unnamed, cancelled by the host") << true << false;
        QTest::newRow("named, cancelled by the host") << false << false;
        QTest::newRow("unnamed, cancelled in the progress handler") << true << true;
        QTest::newRow("named, cancelled in the progress handler") << false << true;
    }

    void cancelLeavesNoFile()
    {
        QFETCH(bool, unnamed);
        QFETCH(bool, fromHandler);
        m_server.setRoute("/slow", slowRoute(TestHttpServer::generatedBody("/slow", 100000)));
        QTemporaryDir dir;
        const QString target = dir.filePath(u"out.bin"_s);
        writeFile(target, OldContent);

        auto d = make(unnamed);
        d->CancelAsyncRead(); // nothing under way: nothing happens
        Recorder rec(*d);
        if (fromHandler)
            connect(d.get(), &Downloader::DownloadProgress, d.get(), [&d] { d->CancelAsyncRead(); });
        d->BeginDownload(m_server.urlText(u"/slow"_s), target);
        QTRY_VERIFY(!rec.events.isEmpty());
        if (!fromHandler) {
            d->CancelAsyncRead();
            QVERIFY(d->下载状态);
            d->CancelAsyncRead();
        }
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(rec.shape(), u"pec"_s);
        QVERIFY(!d->下载状态);
        QTest::qWait(100);
        QCOMPARE(rec.completes, 1);
        QCOMPARE(entries(dir.path()), QStringList{u"out.bin"_s});
        QCOMPARE(readFile(target), OldContent);
    }

    void destroyedMidTransferLeavesNoFile_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::addColumn<bool>("stalled");
        QTest::newRow("unnamed, receiving") << true << false;
        QTest::newRow("named, receiving") << false << false;
        QTest::newRow("unnamed, stalled") << true << true;
        QTest::newRow("named, stalled") << false << true;
    }

    void destroyedMidTransferLeavesNoFile()
    {
        QFETCH(bool, unnamed);
        QFETCH(bool, stalled);
        Route route = slowRoute(TestHttpServer::generatedBody("/slow", 100000), Framing::Chunked);
        route.stall = stalled ? TestHttpServer::Stall::AfterHeaders : TestHttpServer::Stall::None;
        m_server.setRoute("/quit", route);
        QTemporaryDir dir;
        auto d = make(unnamed);
        int events = 0;
        connect(d.get(), &Downloader::DownloadComplete, this, [&events] { ++events; });
        d->BeginDownload(m_server.urlText(u"/quit"_s), dir.filePath(u"out.bin"_s));
        QTest::qWait(150);
        QVERIFY(d->下载状态);
        d.reset();
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
            d->BeginDownload(u.startsWith(u'/') ? m_server.urlText(u) : u, dir.filePath(QString::number(next)));
            ++next;
        };
        connect(d.get(), &Downloader::DownloadComplete, this, [&](qint64 size, const QString &file) {
            ended.append(QFileInfo(file).fileName() + u':' + QString::number(size));
            if (next < urls.size())
                start();
        });
        start();
        QTRY_COMPARE(ended.size(), urls.size());
        QCOMPARE(ended, (QStringList{u"0:5000"_s, u"1:0"_s, u"2:0"_s, u"3:5000"_s, u"4:5000"_s}));
        QVERIFY(!d->下载状态);
        QCOMPARE(readFile(dir.filePath(u"4"_s)), TestHttpServer::generatedBody("/chain/4", 5000));
        QCOMPARE(entries(dir.path()), (QStringList{u"0"_s, u"3"_s, u"4"_s}));
    }

    void tenSlots_data()
    {
        QTest::addColumn<bool>("managerPerSlot");
        QTest::newRow("one shared manager") << false;
        QTest::newRow("a manager per slot") << true;
    }

    void tenSlots()
    {
        QFETCH(bool, managerPerSlot);
        const int files = 300;
        m_server.serveGenerated("/many/", 10240);
        const int acceptedBefore = m_server.connectionsAccepted();
        m_server.clearRequests();
        QTemporaryDir dir;
        const DownloaderFactory factory = managerPerSlot ? HttpDownloader::factoryWithManagerPerSlot(m_manager)
                                                        : HttpDownloader::factory(m_manager);
        std::vector<std::unique_ptr<Downloader>> components;
        int next = 0;
        int done = 0;
        for (int n = 1; n <= 10; ++n) {
            components.push_back(onTestedPath(factory(n)));
            Downloader *d = components.back().get();
            auto start = [this, d, &next, &dir] {
                const QString name = QString::number(next++);
                d->BeginDownload(m_server.urlText(u"/many/"_s + name), dir.filePath(name));
            };
            connect(d, &Downloader::DownloadComplete, this, [&next, &done, start] {
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
        QVERIFY(m_server.connectionsAccepted() - acceptedBefore <= 10); // connections are kept alive
        QVERIFY(m_server.maxOpenConnections() > 1);
    }

    void requestHeaders()
    {
        m_server.clearRequests();
        QTemporaryDir dir;
        const std::unique_ptr<Downloader> d = onTestedPath(HttpDownloader::factory(m_manager, "QuillmoorTest/1.0")(3));
        QCOMPARE(d->objectName(), u"Downloader1_3"_s);
        int completes = 0;
        connect(d.get(), &Downloader::DownloadComplete, this, [&completes] { ++completes; });
        d->BeginDownload(m_server.urlText(u"/final"_s), dir.filePath(u"f"_s));
        QTRY_COMPARE(completes, 1);
        QCOMPARE(m_server.requests().size(), 1);
        const TestHttpServer::Request r = m_server.requests().first();
        QCOMPARE(r.method, "GET");
        QCOMPARE(r.header("User-Agent"), "QuillmoorTest/1.0");
        QCOMPARE(r.header("Cache-Control"), "no-cache");
        QCOMPARE(r.header("Pragma"), "no-cache");
        QCOMPARE(r.header("Accept-Encoding"), "identity");
    }

    void managerPerSlotUsesTheSharedCookieJar()
    {
        QNetworkAccessManager shared;
        const std::unique_ptr<Downloader> d = onTestedPath(HttpDownloader::factoryWithManagerPerSlot(shared)(1));
        auto *jar = new QNetworkCookieJar(&shared); // the jar may change after the slots were made
        shared.setCookieJar(jar);
        QNetworkCookie cookie("session", "abc");
        cookie.setDomain(u"127.0.0.1"_s);
        cookie.setPath(u"/"_s);
        QVERIFY(jar->insertCookie(cookie));
        Route route = bodyRoute("members only");
        route.requiredCookie = "session=abc";
        route.extraHeaders.append(qMakePair(QByteArray("Set-Cookie"), QByteArray("seen=yes; Path=/")));
        m_server.setRoute("/members", route);

        QTemporaryDir dir;
        int completes = 0;
        connect(d.get(), &Downloader::DownloadComplete, this, [&completes] { ++completes; });
        d->BeginDownload(m_server.urlText(u"/members"_s), dir.filePath(u"m"_s));
        QTRY_COMPARE(completes, 1);
        QCOMPARE(readFile(dir.filePath(u"m"_s)), "members only");
        bool seen = false;
        for (const QNetworkCookie &c : jar->cookiesForUrl(m_server.url(u"/"_s)))
            seen = seen || (c.name() == "seen" && c.value() == "yes");
        QVERIFY(seen);
    }

    void managerPerSlotComponentDestroyedInItsHandler()
    {
        m_server.serveGenerated("/destroy/", 3000000);
        QTemporaryDir dir;
        std::unique_ptr<Downloader> d = onTestedPath(HttpDownloader::factoryWithManagerPerSlot(m_manager)(1));
        QPointer<Downloader> watch = d.get();
        connect(d.get(), &Downloader::DownloadProgress, this, [&d] { d.reset(); });
        d->BeginDownload(m_server.urlText(u"/destroy/x"_s), dir.filePath(u"x"_s));
        QTRY_VERIFY(!watch);
        QTest::qWait(50);
        QCOMPARE(entries(dir.path()), QStringList());
    }

    void cookiesOfTheSharedManagerAreSent()
    {
        QNetworkAccessManager manager;
        auto *jar = new QNetworkCookieJar(&manager);
        manager.setCookieJar(jar);
        QNetworkCookie cookie("session", "abc");
        cookie.setDomain(u"127.0.0.1"_s);
        cookie.setPath(u"/"_s);
        QVERIFY(jar->insertCookie(cookie));
        Route route = bodyRoute("members only");
        route.requiredCookie = "session=abc";
        m_server.setRoute("/members", route);

        QTemporaryDir dir;
        HttpDownloader d(manager);
        if (ThroughPool)
            d.setConnectionPool(m_pool);
        Recorder rec(d);
        d.BeginDownload(m_server.urlText(u"/members"_s), dir.filePath(u"m"_s));
        QTRY_COMPARE(rec.completes, 1);
        QCOMPARE(rec.shape(), u"pc"_s);
        QCOMPARE(readFile(dir.filePath(u"m"_s)), "members only");
    }

    // The server itself: other suites rely on parallel connections and keep-alive.
    void serverAnswersManyConnectionsAndKeepsThemAlive()
    {
        Route slow = bodyRoute("0123456789");
        slow.chunkBytes = 5;
        slow.intervalMs = 100;
        m_server.setRoute("/slow-small", slow);
        const int acceptedBefore = m_server.connectionsAccepted();
        QElapsedTimer clock;
        clock.start();
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < 12; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress::LocalHost, m_server.port());
            sockets.back()->write("GET /slow-small HTTP/1.1\r\nHost: x\r\n\r\nGET /final HTTP/1.1\r\nHost: x\r\n\r\n");
        }
        const QByteArray finalTail = m_finalBody.right(20);
        for (const auto &s : sockets) {
            QByteArray got;
            QVERIFY(QTest::qWaitFor([&] { got += s->readAll(); return got.endsWith(finalTail); }, 5000));
            QVERIFY(got.startsWith("HTTP/1.1 200 OK\r\n"));
            QVERIFY(got.contains("\r\n\r\n0123456789HTTP/1.1 200 OK\r\n"));
        }
        QCOMPARE(m_server.connectionsAccepted() - acceptedBefore, 12);
        QVERIFY(clock.elapsed() < 1500); // one after another would take 2.4 s
    }
};

QTEST_GUILESS_MAIN(TestHttpDownloader)
#include "tst_httpdownloader.moc"
