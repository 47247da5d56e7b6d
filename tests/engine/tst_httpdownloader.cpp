#include "engine/BaseHref.h"
#include "engine/DurableCommits.h"
#include "engine/HttpDownloader.h"
#include "engine/SpeedBudget.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <csignal>
#include <numeric>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;
using Route = TestHttpServer::Route;

namespace {

// What one download reported: p and the total of its progress events, then s(aved), k (skipped)
// or f(ailed). "!" marks progress that does not grow, or isBusy() wrong at either signal.
struct Recorder
{
    QString shape;
    DownloadResult result;
    int ends = 0;
    qint64 done = 0;

    explicit Recorder(Downloader &d)
    {
        QObject::connect(&d, &Downloader::progress, &d, [this, &d](qint64 now, qint64 total) {
            if (!shape.endsWith(u'p' + QString::number(total)))
                shape += u'p' + QString::number(total);
            if (now <= std::exchange(done, now) || !d.isBusy())
                shape += u'!';
        });
        QObject::connect(&d, &Downloader::finished, &d, [this, &d](const DownloadResult &r) {
            shape += QChar::fromLatin1("skfn"[int(r.outcome)]) + (d.isBusy() ? u"!"_s : QString());
            result = r;
            done = 0;
            ++ends;
        });
    }
};

// Paced when pieceBytes > 0: that many bytes every intervalMs.
Route route(const QByteArray &body, int status = 200, int pieceBytes = 0, int intervalMs = 0)
{
    Route r;
    r.body = body;
    r.status = status;
    r.chunkBytes = pieceBytes;
    r.intervalMs = intervalMs;
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

// Qt's complaint about a notifier left on a socket that was closed: libcurl's sockets must be
// unwatched before it closes them.
QStringList socketWarnings;
QtMessageHandler defaultHandler = nullptr;

void recordSocketWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(u"QSocketNotifier"_s))
        socketWarnings += message;
    defaultHandler(type, context, message);
}

qint64 peakMemoryKiB()
{
    QFile status(u"/proc/self/status"_s);
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const qsizetype at = text.indexOf("VmHWM:");
    return at < 0 ? -1 : text.mid(at + 6).trimmed().split(' ').value(0).toLongLong();
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
    // The run's limit over the transfers under way: each one's share, 0 for none.
    void speedLimitShare()
    {
        const struct { qint64 limit; std::size_t transfers; qint64 share; } rows[] = {
            {0, 3, 0}, {102400, 0, 102400}, {102400, 1, 102400}, {102400, 4, 25600}, {100, 3, 33}, {2, 5, 1}};
        for (const auto &row : rows)
            QCOMPARE(CurlMulti::speedLimitShare(row.limit, row.transfers), row.share);
    }

    // The run's budget at 1000 bytes/s: a debt is waited off, a quiet second buys a quarter
    // second's worth at most; without a limit nothing waits. Steps: {at ms, bytes spent, wait ms}.
    void speedBudget()
    {
        const struct { qint64 limit; std::vector<std::array<qint64, 3>> steps; } rows[] = {
            {1000, {{0, 500, 500}, {250, 0, 250}, {600, 0, 0}, {600, 100, 0}, {600, 1, 1}}},
            {1000, {{0, 0, 0}, {10000, 1250, 1000}, {10000, 0, 1000}, {11000, 0, 0}}},
            {0, {{0, 1000000000, 0}, {1, 5, 0}}},
        };
        for (const auto &row : rows) {
            SpeedBudget budget;
            budget.setLimit(row.limit, 0);
            for (const auto &[atMs, bytes, waitMs] : row.steps)
                QCOMPARE(bytes > 0 ? budget.spend(bytes, atMs * 1000) : budget.waitMs(atMs * 1000), waitMs);
        }
    }

    void initTestCase()
    {
        defaultHandler = qInstallMessageHandler(recordSocketWarnings);
        QVERIFY(m_server.listen());
        m_server.setRoute("/final", route(m_final));
        m_server.setRoute("/missing", route("gone", 404));
    }

    void cleanup() { QVERIFY2(std::exchange(socketWarnings, {}).isEmpty(), "a socket was watched after it was closed"); }

    // Every way an answer can end, all at once, each into a folder already holding a file of the
    // target's name: only a success replaces it, no failure leaves anything behind, and each
    // failure says why. An address ending in .htm asks for a base element, which only pages get.
    // Every hop of a redirect sends the browsers' headers and the jar's cookies for its own
    // address, and stores the cookies it sets.
    void outcomes()
    {
        struct Row
        {
            const char *path;
            Route answer;
            const char *shape; // as the Recorder writes it
            QByteArray saved;  // the file after a success
            const char *reason = "";
            int stallSeconds = 10;
        };
        const QByteArray body = TestHttpServer::generatedBody("/body", 100000);
        Route dropped = route(body), stallAfter = route(body), stallBefore = route(body), twoMb, hop, loop;
        dropped.dropAfter = 40000;
        stallAfter.stall = TestHttpServer::Stall::AfterHeaders;
        stallBefore.stall = TestHttpServer::Stall::BeforeHeaders;
        twoMb.generatedSize = 2000000;
        loop.location = "/loop"; // on a kept-alive connection
        hop.location = "http://localhost:" + QByteArray::number(m_server.port()) + "/landing"; // another host
        hop.extraHeaders.append({QByteArray("Set-Cookie"), QByteArray("hop=1; Path=/")});
        m_server.setRoute("/landing", route("landed"));
        const QByteArray gzipChunk = QByteArray::number(GzipBody.size(), 16) + "\r\n" + GzipBody + "\r\n0\r\n\r\n";
        const QByteArray gzipText = QByteArray("transfer-coded text\n").repeated(3);
        const QByteArray h = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        const auto moved = [](const QByteArray &to) {
            return raw("HTTP/1.1 301 Moved Permanently\r\nLocation: " + to + "\r\nContent-Length: 0\r\n\r\n");
        };
        const QString base = u"http://h/p.htm"_s;
        const auto typed = [](const QByteArray &type, const QByteArray &bytes) {
            Route r = route(bytes);
            r.contentType = type;
            return r;
        };
        const auto based = [&base](const QByteArray &page) { return insertBaseElementIntoBytes(page, base); };
        const QByteArray limit = "<head>" + QByteArray(HttpDownloader::PageLimitBytes - 6, 'x');
        const QList<Row> rows{
            {"/length", route(body), "p100000s", body},
            {"/empty", route({}), "f", {}, "HTTP 200 OK with an empty body"},
            {"/404-with-body", route("no such page", 404), "f", {}, "HTTP 404 Not Found"},
            {"/500-empty", route({}, 500), "f", {}, "HTTP 500 Internal Server Error"},
            {"/dropped", dropped, "p100000f", {}, "bytes remaining"},
            {"/reset-unframed", raw(h + "\r\n" + body, 0, true), "f", {}},
            {"/write-fails", twoMb, "p2000000f", {}, "File too large"},
            {"/stall-after-headers", stallAfter, "f", {}, "too slow", 1},
            {"/stall-before-headers", stallBefore, "f", {}, "too slow", 1},
            {"/drip-under-1-byte-per-s", route(body.left(100), 200, 1, 1100), "p100f", {}, "too slow", 2},
            {"/endless-100-continue", raw("HTTP/1.1 100 Continue\r\n\r\n", 20), "f", {}, "too slow", 1},
            {"/relative-301", moved("/length"), "p100000s", body},
            {"/hop", hop, "p6s", "landed"},
            {"/302", raw("HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nmoved"), "f", {}, "302 Found without a usable Location"},
            {"/300", raw("HTTP/1.1 300 Multiple Choices\r\nContent-Length: 2\r\n\r\nab"), "f", {}, "HTTP 300"},
            {"/to-ftp", moved("ftp://127.0.0.1/file"), "f", {}, "not http or https: ftp:"},
            {"/loop", loop, "f", {}, "more than 50 redirects"},
            {"/gzip-chunked", raw(h + "Transfer-Encoding: gzip, chunked\r\nContent-Length: 5\r\n\r\n" + gzipChunk), "s", gzipText},
            {"/te-lines", raw(h + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + gzipChunk), "s", gzipText},
            {"/chunked-before-another", raw(h + "Transfer-Encoding: chunked, another\r\n\r\n6\r\nabcdef\r\n0\r\n\r\n"), "f", {}},
            {"/unknown-coding", raw(h + "Transfer-Encoding: identityx\r\n\r\nabcdef"), "f", {}},
            {"/folded-line-is-no-header", raw(h + "X-Note: a\r\n Content-Length: 3\r\n\r\nabcdef"), "s", "abcdef"},
            {"/untyped-markup.htm", typed({}, " \r\n<head>x"), "p10s", based(" \r\n<head>x")},
            {"/untyped-binary.htm", typed({}, "\x89PNG<head>"), "p10s", "\x89PNG<head>"},
            {"/xml-by-its-type.htm", typed("application/rss+xml", "x<head>"), "p7s", based("x<head>")},
            {"/page-at-the-limit.htm", typed("text/html", limit), "p1000000s", based(limit)},
            {"/page-over-the-limit.htm", typed("text/html", limit + 'x'), "p1000001s", limit + 'x'},
        };
        QNetworkCookieJar jar; // 127.0.0.1 and localhost are two hosts to it, whatever the port
        QVERIFY(jar.setCookiesFromUrl({QNetworkCookie("session", "x")}, QUrl(u"http://127.0.0.1/"_s))
                && jar.setCookiesFromUrl({QNetworkCookie("other", "x")}, QUrl(u"http://localhost/"_s)));
        QTemporaryDir dir;
        std::vector<std::unique_ptr<HttpDownloader>> downloaders;
        std::vector<std::unique_ptr<Recorder>> recorders;
        for (const Row &row : rows) {
            m_server.setRoute(row.path, row.answer);
            const QString folder = dir.filePath(QString::number(downloaders.size()));
            QVERIFY(QDir().mkdir(folder) && TestFiles::write(folder + u"/out"_s, OldContent));
            HttpDownloader &d = *downloaders.emplace_back(make(row.stallSeconds, &jar));
            recorders.push_back(std::make_unique<Recorder>(d));
            DownloadRequest request{m_server.urlText(QString::fromLatin1(row.path)), folder + u"/out"_s};
            request.baseAddress = request.url.endsWith(u".htm"_s) ? base : QString();
            d.start(request);
        }
        struct rlimit unlimited {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        struct rlimit small = unlimited;
        small.rlim_cur = 1500000; // writes past 1.5 MB fail with EFBIG
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool ended = QTest::qWaitFor([&recorders] {
            return std::all_of(recorders.begin(), recorders.end(), [](const auto &r) { return r->ends > 0; });
        }, 15000);
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(ended);
        QStringList wrong;
        for (std::size_t i = 0; i < recorders.size(); ++i) {
            const Row &row = rows[qsizetype(i)];
            const DownloadResult &result = recorders[i]->result;
            const QString target = dir.filePath(QString::number(i) + u"/out"_s);
            const bool saved = QByteArray(row.shape).endsWith('s');
            QString got = recorders[i]->shape;
            if (!result.reason.contains(QLatin1String(row.reason)) || result.reason.isEmpty() != saved)
                got += u" reason: "_s + result.reason;
            if (result.size != (saved ? row.saved.size() : 0) || result.savedPath != (saved ? target : QString())
                || TestFiles::entries(QFileInfo(target).path()) != QStringList{u"out"_s}
                || TestFiles::read(target) != (saved ? row.saved : OldContent))
                got += u" with the wrong file"_s;
            if (got != QLatin1String(row.shape))
                wrong += QLatin1String(row.path) + u": "_s + got;
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u'\n')));
        const QList<TestHttpServer::Request> first = m_server.requestsFor("/hop"), second = m_server.requestsFor("/landing");
        QVERIFY(first.size() == 1 && second.size() == 1);
        for (const auto &[header, value] : {std::pair{"User-Agent", "QuillmoorTest/1.0"}, std::pair{"Cache-Control", "no-cache"},
                                            std::pair{"Pragma", "no-cache"}, std::pair{"Accept-Encoding", "identity"},
                                            std::pair{"Cookie", "session=x"}})
            QCOMPARE(first.first().header(header), QByteArray(value));
        QCOMPARE(second.first().header("Cookie"), "other=x");
        QCOMPARE(jar.cookiesForUrl(QUrl(m_server.urlText(u"/"_s))).size(), 2); // session, and hop from the answer
    }

    // The same-name rule as the folder stands once the download is complete, with unnamed and
    // named staging files: a file there is replaced, kept (skipped) or joined by the next free
    // name; the new file has a new file's permissions; a failure leaves the folder as it was.
    void sameNameRuleAtCommit()
    {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        const QStringList expected{u"s f=new"_s, u"k f=old"_s, u"s f=old f[1]=new"_s, u"f f=old"_s};
        for (const bool unnamed : {true, false}) {
            for (int rule = 0; rule < 4; ++rule) { // Replace, Keep, Rename, then a failure
                QTemporaryDir dir;
                QVERIFY(TestFiles::write(dir.filePath(u"f"_s), "old"));
                auto d = make();
                d->setUnnamedTempFiles(unnamed);
                Recorder rec(*d);
                DownloadRequest request{m_server.urlText(rule < 3 ? u"/final"_s : u"/missing"_s), dir.filePath(u"f"_s)};
                request.sameName = SameNameRule(rule % 3);
                request.nextFreeName = [&dir] { return dir.filePath(u"f[1]"_s); };
                d->start(request);
                QTRY_COMPARE(rec.ends, 1);
                QString got = rec.shape.right(1);
                for (const QString &name : TestFiles::entries(dir.path())) {
                    const QByteArray bytes = TestFiles::read(dir.filePath(name));
                    struct stat st {};
                    const bool fresh = ::stat(QFile::encodeName(dir.filePath(name)).constData(), &st) == 0
                        && (st.st_mode & 0777) == (0666 & ~mask) && bytes == m_final;
                    got += u' ' + name + (bytes == "old" ? u"=old"_s : fresh ? u"=new"_s : u"=?"_s);
                }
                QCOMPARE(QString::number(unnamed) + got, QString::number(unnamed) + expected[rule]);
            }
        }
    }

    // Files that finish close together, while other transfers go on, reach the disk with one
    // sync, get their names only after it, and are each reported once.
    void finishedFilesShareOneSync()
    {
        QTemporaryDir dir;
        DurableCommits commits;
        commits.setBusyProbe([] { return true; });
        int saved = 0;
        for (int i = 0; i < 5; ++i) {
            auto staging = std::make_unique<StagingFile>();
            const QString path = dir.filePath(QString::number(i));
            QVERIFY(staging->open(path) && staging->write("x", 1) && staging->flush());
            commits.add(std::move(staging), {m_server.urlText(u"/"_s), path}, 1, this,
                        [&saved](const DownloadResult &r) { saved += r.outcome == DownloadResult::Outcome::Saved; });
        }
        QVERIFY(TestFiles::entries(dir.path()).isEmpty());
        QTRY_COMPARE(saved, 5);
        QCOMPARE(commits.syncs(), 1);
        QCOMPARE(TestFiles::entries(dir.path()).size(), 5);
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
        d->start({m_server.urlText(u"/big/a"_s), dir.filePath(u"big"_s)});
        QTRY_COMPARE_WITH_TIMEOUT(rec.ends, 1, 60000);
        if (measured) // the body goes to disk as it arrives, never whole into memory
            QVERIFY2(peakMemoryKiB() - peakBefore < 16 * 1024, qPrintable(QString::number(peakMemoryKiB() - peakBefore)));
        QCOMPARE(rec.shape, u"p30000000s"_s);
        QFile file(dir.filePath(u"big"_s));
        QVERIFY(file.open(QIODevice::ReadOnly) && file.size() == size);
        for (qint64 offset = 0; offset < size; offset += 1 << 20) {
            if (file.read(1 << 20) != TestHttpServer::generatedSlice("/big/a", offset, qMin<qint64>(1 << 20, size - offset)))
                QFAIL(qPrintable(u"content differs near offset %1"_s.arg(offset)));
        }
    }

    // Each download starts from the finished handler of the one before: one that cannot even start
    // is idle at once, reports from the event loop, sends nothing and makes nothing. The last two
    // are cancelled, then destroyed (as the last of their factory), from their own progress
    // handler: one failure reported, then none. The file that was there stays as it was.
    void startedCancelledAndDestroyedFromHandlers()
    {
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath(u"6"_s), "old") && TestFiles::write(dir.filePath(u"7"_s), "old"));
        m_server.setRoute("/slow", route(TestHttpServer::generatedBody("/slow", 100000), 200, 1000, 20));
        const QStringList urls{u"/final"_s, u"ftp://127.0.0.1/f"_s, u"/final"_s, u"/final"_s,
                               u"/missing"_s, u"/final"_s, u"/slow"_s, u"/slow"_s};
        const QStringList files{u"0"_s, u"1"_s, u"missing/2"_s, u"3/"_s, u"4"_s, u"5"_s, u"6"_s, u"7"_s};
        m_server.clearRequests();
        std::unique_ptr<HttpDownloader> d = make();
        const QPointer<Downloader> alive = d.get();
        Recorder rec(*d);
        QStringList ended;
        bool inStart = false;
        const auto start = [&] {
            const QString &url = urls[ended.size()];
            inStart = true;
            d->start({url.startsWith(u'/') ? m_server.urlText(url) : url, dir.filePath(files[ended.size()])});
            inStart = false;
            rec.shape += d->isBusy() ? u" busy:"_s : u" idle:"_s;
        };
        connect(d.get(), &Downloader::finished, this, [&](const DownloadResult &result) {
            ended += (inStart ? u"within start(): "_s : QString()) + result.reason.section(u": "_s, -1);
            ended.size() == 7 ? QTimer::singleShot(50, this, start) : start(); // a second report would come first
        });
        connect(d.get(), &Downloader::progress, this, [&] {
            if (ended.size() >= 6) // cancelled twice, reported once
                ended.size() == 6 ? (d->cancel(), d->cancel()) : d.reset();
        });
        start();
        QTRY_VERIFY(!alive);
        QTest::qWait(100);
        QCOMPARE(ended, (QStringList{{}, u"not an http or https address"_s, u"No such file or directory"_s, u"no file name"_s,
                                     u"HTTP 404 Not Found"_s, {}, u"cancelled"_s}));
        QCOMPARE(rec.shape, u" busy:p3000s idle:f idle:f idle:f busy:f busy:p3000s busy:p100000f busy:p100000"_s);
        QCOMPARE(TestFiles::entries(dir.path()), (QStringList{u"0"_s, u"5"_s, u"6"_s, u"7"_s}));
        QVERIFY(TestFiles::read(dir.filePath(u"6"_s)) == "old" && TestFiles::read(dir.filePath(u"7"_s)) == "old");
        QCOMPARE(m_server.requests().size(), 5);
    }

    // Idle connections to many servers are closed past the cache's cap instead of piling up.
    void idleConnectionsAreCapped()
    {
        QTemporaryDir dir;
        auto d = make();
        Recorder rec(*d);
        std::vector<std::unique_ptr<TestHttpServer>> servers(CurlMulti::MaxCachedConnections + 15);
        for (auto &server : servers) {
            server = std::make_unique<TestHttpServer>();
            QVERIFY(server->listen());
            server->setRoute("/f", route("file"));
            d->start({server->urlText(u"/f"_s), dir.filePath(u"f"_s)});
            QTRY_COMPARE(rec.ends, int(&server - &servers.front()) + 1);
        }
        QTRY_VERIFY(std::accumulate(servers.begin(), servers.end(), 0, [](int sum, const auto &server) {
                        return sum + server->openConnections();
                    }) <= CurlMulti::MaxCachedConnections);
    }
};

QTEST_GUILESS_MAIN(TestHttpDownloader)
#include "tst_httpdownloader.moc"
