// Nothing lost: transfers cut off, failing for a while, changed on the server or killed with the
// program end with the whole file, moving no byte twice where the server allows ranges.
#include "support/BatchRun.h"
#include "support/TestHttpServer.h"

#include <QDirIterator>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 FileBytes = 8 << 20;
constexpr qint64 CutAt = 2 << 20;

// One file on the server, as it answers one request after another.
struct ServedFile
{
    int failuresLeft = 0;     // requests answered 503 first
    int cutsLeft = 0;         // requests whose answer breaks off after CutAt bytes
    bool changeAfterCut = false;
    QByteArray content = TestHttpServer::generatedBody("/v1", FileBytes);
    QByteArray etag = "\"v1\"";
    bool slow = false;        // the first answer trickles, so that the program can be killed in it
    qint64 bytesSent = 0;
    QList<QByteArray> ranges; // the Range header of every request
};

qint64 keptBytes(const QString &folder)
{
    qint64 bytes = 0;
    for (QDirIterator it(folder, {u".quillmoor-resume-*.part"_s}, QDir::Files | QDir::Hidden); it.hasNext();)
        bytes = std::max(bytes, QFileInfo(it.next()).size());
    return bytes;
}

} // namespace

class TestResume : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    ServedFile m_file;

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        m_server.setHandler("/file", [this](const TestHttpServer::Request &request) {
            ServedFile &f = m_file;
            TestHttpServer::Route route;
            f.ranges << request.header("range");
            if (f.failuresLeft > 0 && f.failuresLeft--) {
                route.status = 503;
                route.body = "busy";
                return route;
            }
            qint64 from = 0;
            const QByteArray range = request.header("range");
            if (range.startsWith("bytes=") && request.header("if-range") == f.etag)
                from = range.mid(6, range.indexOf('-') - 6).toLongLong();
            route.status = from > 0 ? 206 : 200;
            route.body = f.content.mid(from);
            route.extraHeaders = {{"ETag", f.etag}};
            if (from > 0)
                route.extraHeaders.append({"Content-Range", u"bytes %1-%2/%3"_s.arg(from).arg(FileBytes - 1).arg(FileBytes).toUtf8()});
            if (f.slow && f.ranges.size() == 1) {
                route.chunkBytes = 64 * 1024;
                route.intervalMs = 20;
            }
            if (f.cutsLeft > 0 && f.cutsLeft--) {
                route.dropAfter = CutAt;
                f.bytesSent += CutAt;
                if (f.changeAfterCut) {
                    f.content = TestHttpServer::generatedBody("/v2", FileBytes);
                    f.etag = "\"v2\"";
                }
            } else {
                f.bytesSent += route.body.size();
            }
            return route;
        });
    }

    void init() { m_file = ServedFile(); }

    void resumeAndRetry_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("cuts");
        QTest::addColumn<bool>("change");
        QTest::addColumn<QList<QByteArray>>("ranges"); // the Range header of each request
        QTest::addColumn<QByteArray>("expected");      // the version the file ends with
        const QList<QByteArray> none{{}, {}, {}};
        QTest::newRow("busy twice, whole on the third try") << 2 << 0 << false << none << QByteArray("/v1");
        QTest::newRow("cut off, the rest by a range") << 0 << 1 << false
                                                      << QList<QByteArray>{{}, "bytes=2097152-"} << QByteArray("/v1");
        QTest::newRow("changed on the server after the cut: starts over") << 0 << 1 << true
                                                                          << QList<QByteArray>{{}, "bytes=2097152-"}
                                                                          << QByteArray("/v2");
    }

    void resumeAndRetry()
    {
        QFETCH(int, failures);
        QFETCH(int, cuts);
        QFETCH(bool, change);
        QFETCH(QByteArray, expected);
        m_file.failuresLeft = failures;
        m_file.cutsLeft = cuts;
        m_file.changeAfterCut = change;
        BatchRun run;
        run.writeList("big->" + m_server.urlText(u"/file.bin"_s).toUtf8() + "\r\n");
        run.start({u"--retries"_s, u"3"_s});
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitCode(), 0);
        QTEST(m_file.ranges, "ranges");
        QVERIFY(TestFiles::read(run.outPath(u"big.bin"_s)) == TestHttpServer::generatedBody(expected, FileBytes));
        // Only a changed file is sent twice.
        QCOMPARE(m_file.bytesSent, change ? CutAt + FileBytes : FileBytes);
        QCOMPARE(TestFiles::entries(run.out.path()), QStringList{u"big.bin"_s});
    }

    // Killed in the middle of a transfer, then run again: the rest only, and the same bytes.
    void killedAndRunAgain()
    {
        m_file.slow = true;
        BatchRun run;
        run.writeList("big->" + m_server.urlText(u"/file.bin"_s).toUtf8() + "\r\n");
        run.start({u"--retries"_s, u"0"_s});
        QTRY_VERIFY_WITH_TIMEOUT(keptBytes(run.out.path()) >= CutAt, 30000);
        run.process.kill(); // SIGKILL: no clean-up of any kind
        QVERIFY(run.finish());
        const qint64 kept = keptBytes(run.out.path());
        QVERIFY(!QFileInfo::exists(run.outPath(u"big.bin"_s)));

        m_file.bytesSent = 0;
        run.start({u"--retries"_s, u"0"_s});
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitCode(), 0);
        QCOMPARE(m_file.ranges.last(), "bytes=" + QByteArray::number(kept) + '-');
        QCOMPARE(m_file.bytesSent, FileBytes - kept);
        QVERIFY(TestFiles::read(run.outPath(u"big.bin"_s)) == m_file.content);
        QCOMPARE(TestFiles::entries(run.out.path()), QStringList{u"big.bin"_s});
    }
};

QTEST_GUILESS_MAIN(TestResume)
#include "tst_resume.moc"
