#include "support/BatchRun.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <algorithm>
#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace {

const QRegularExpression finishedText(u"^下载完成 \\[\\d\\d:\\d\\d:\\d\\d\\]$"_s);

} // namespace

class TestBatch : public QObject
{
    Q_OBJECT

private:
    TestHttpServer server;
    QString m_appearIn; // where /appear.bin makes "their" file when asked for it
    const QByteArray m_utf8Page = u"<html><head><title>中文</title></head><body><p>中文 ✓</p></body></html>"_s.toUtf8();
    const QByteArray m_gbPage = "<html><head><title>\xD6\xD0\xCE\xC4</title></head><body><p>\xD6\xD0\xCE\xC4</p></body></html>";

    QByteArray line(const QString &name, const QString &path)
    {
        return (name + u"->"_s + server.urlText(path) + u"\r\n"_s).toUtf8();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(server.listen());
        server.serveGenerated("/gen/", 10000);
        // The path and whatever follows it (a query) answer the type and body, a kilobyte every
        // intervalMs when given.
        const auto serve = [this](const QByteArray &path, const QByteArray &type, const QByteArray &body, int status = 200,
                                  int intervalMs = 0) {
            TestHttpServer::Route route;
            route.status = status;
            route.contentType = type;
            route.body = body;
            route.chunkBytes = intervalMs > 0 ? 1000 : 0;
            route.intervalMs = intervalMs;
            server.setHandler(path, [route](const TestHttpServer::Request &) { return route; });
            return route;
        };
        const QByteArray page = "<html><head><title>t</title></head></html>", utf8 = "text/html; charset=utf-8";
        serve("/site/page.htm", "text/html", page);
        serve("/doc/stdtypes.html", "text/html", page);
        serve("/img.php", "image/png", "\xC2\x89PNG<head>");
        serve("/download", "application/zip", "PK<head>");
        serve("/pic.png", "image/png", "png<head>");
        serve("/file.zip", "", "zip<head>");
        serve("/lib.js", "text/javascript", "<head>js");
        serve("/x.c", "text/plain", "<head>c");
        serve("/a.bin", "", "A");
        serve("/b.bin", "", "B");
        serve("/missing", "", "not here", 404); // .bin and .htm
        serve("/p/utf8.htm", utf8, m_utf8Page);
        serve("/p/gb.htm", "text/html; charset=gb2312", m_gbPage);
        serve("/p/links.htm", utf8, "<html><head></head><body><a href='/gen/x.bin'>x</a> <a href='/p/utf8.htm'> 登陆 </a>"
                                    "<a href='mailto:a@b'>m</a><a href='/gen/y.bin'>y</a></body></html>");
        serve("/p/frames.htm", utf8, "<html><head><title>f</title></head><body><iframe src='/p/utf8.htm'></iframe>"
                                     "<iframe src='/missing.bin'></iframe></body></html>");
        serve("/p/huge.htm", utf8, "<html><head><title>big</title></head><body><p>" + QByteArray(20 * 1000 * 1000, 'x')
                                       + "</p></body></html>");
        serve("/slow.bin", "", QByteArray(1000000, 's'), 200, 1000);
        const TestHttpServer::Route slowA = serve("/slow-a.bin", "", QByteArray(3000, 'A'), 200, 150);
        server.setHandler("/appear.bin", [this, slowA](const TestHttpServer::Request &) {
            TestFiles::write(QDir(m_appearIn).filePath(u"appear.bin"_s), "theirs");
            return slowA;
        });
    }

    // Each ended row prints its five columns on standard output, with its end in the local time;
    // a failure says why on standard error; the summary counts the outcomes; any failure gives
    // exit status 1.
    void rowsPrintTheirOutcome()
    {
        BatchRun run;
        run.timeZone = u"Asia/Shanghai"_s;
        const QDateTime started = QDateTime::currentDateTimeUtc().toTimeZone(QTimeZone("Asia/Shanghai"));
        run.writeList(line(u"一"_s, u"/gen/a.bin"_s) + line(u"二"_s, u"/gen/b.bin"_s) + line(u"gone"_s, u"/missing.bin"_s)
                      + "refused->http://127.0.0.1:1/x.bin\r\n");
        run.start({u"--threads"_s, u"2"_s});
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitCode(), 1);
        const QStringList lines = run.stdoutLines();
        QCOMPARE(lines.size(), 4);
        for (const QString &l : lines) {
            const QStringList fields = l.split(u'\t');
            QCOMPARE(fields.size(), 5);
            QVERIFY2(finishedText.match(fields[2]).hasMatch(), qPrintable(l));
            const QTime ended = QTime::fromString(fields[2].mid(fields[2].indexOf(u'[') + 1, 8), u"hh:mm:ss"_s);
            const int apart = (started.time().secsTo(ended) + 86400) % 86400; // past midnight too
            QVERIFY2(std::min(apart, 86400 - apart) < 60, qPrintable(l));
            const bool failed = fields[0] == u"gone"_s || fields[0] == u"refused"_s;
            QCOMPARE(fields[3], failed ? QString() : u"100.0%  10.0KB"_s);
            QCOMPARE(fields[4].startsWith(u"下载出错！ ["_s), failed);
        }
        QCOMPARE(TestFiles::read(run.outPath(u"一.bin"_s)), TestHttpServer::generatedBody("/gen/a.bin", 10000));
        QCOMPARE(TestFiles::entries(run.out.path()), (QStringList{u"一.bin"_s, u"二.bin"_s}));
        const QString err = QString::fromUtf8(run.process.readAllStandardError());
        QVERIFY2(err.contains(u"quillmoor: gone: HTTP 404 Not Found ("_s + server.urlText(u"/missing.bin"_s) + u")\n"_s),
                 qPrintable(err));
        QVERIFY(err.contains(u"quillmoor: refused: "_s));
        QVERIFY(err.contains(u"quillmoor: 2 finished, 2 failed, 0 skipped"_s));
    }

    // The limit holds for the run, not only within each transfer: files that each come in one
    // read still take their time. 4 × 10,000 bytes at 20 KB/s: about 2 s, at once without.
    void speedLimitHoldsForShortFiles()
    {
        BatchRun run;
        run.writeList(line(u"a"_s, u"/gen/la.bin"_s) + line(u"b"_s, u"/gen/lb.bin"_s) + line(u"c"_s, u"/gen/lc.bin"_s)
                      + line(u"d"_s, u"/gen/ld.bin"_s));
        QElapsedTimer elapsed;
        elapsed.start();
        run.start({u"--threads"_s, u"1"_s, u"--limit-rate"_s, u"20"_s});
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitCode(), 0);
        QVERIFY2(elapsed.elapsed() >= 1500, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(TestFiles::entries(run.out.path()).size(), 4);
    }

    // What a run leaves in the save folder, end to end. In the list, options and files, URL stands
    // for the server and DIR for the save folder; a file "name@target" is a symbolic link to a
    // file in the home folder; ".quillmoor-*" files are an hour old, as a killed run leaves them.
    void filesOnDisk_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("before"); // "name=content" or "name@target"
        QTest::addColumn<QStringList>("after");  // every file of the folder afterwards, sorted
        QTest::addColumn<int>("exitCode");

        const QStringList url{u"--name"_s, u"url"_s};
        const QString base = u"<html><head> <Base href='URL%1' target='_blank'> <title>t</title></head></html>"_s;
        QTest::newRow("only pages get the base element; binaries and queries stay as sent; no extension: the type's")
            << QByteArray("a->URL/site/page.htm\nb->URL/img.php\nc->URL/download?id=5\nd->URL/pic.png?v=2\n"
                          "e->URL/file.zip?token=abc\nf->URL/lib.js\ng->URL/x.c\nh->URL/doc/stdtypes.html#str.join\n")
            << url << QStringList()
            << QStringList{u"download.zip=PK<head>"_s, u"file.zip=zip<head>"_s, u"img.php=\u0089PNG<head>"_s,
                           u"lib.js=<head>js"_s, u"page.htm="_s + base.arg(u"/site/page.htm"_s),
                           u"pic.png=png<head>"_s, u"stdtypes.html="_s + base.arg(u"/doc/stdtypes.html#str.join"_s),
                           u"x.c=<head>c"_s}
            << 0;
        QTest::newRow("overwrite: a failed page leaves the file there")
            << QByteArray("missing->URL/missing.htm\n") << QStringList{u"--same-name"_s, u"overwrite"_s}
            << QStringList{u"missing.htm=mine"_s} << QStringList{u"missing.htm=mine"_s} << 1;
        QTest::newRow("overwrite replaces a link, never the file it names")
            << QByteArray("page->URL/site/page.htm\n") << QStringList{u"--same-name"_s, u"overwrite"_s}
            << QStringList{u"page.htm@outside.txt"_s} << QStringList{u"page.htm="_s + base.arg(u"/site/page.htm"_s)}
            << 0;
        QTest::newRow("NUL and controls leave a name; skip keeps the file")
            << QByteArray("ke\0\x1b[1m\tep->URL/b.bin\n", 23) << QStringList{u"--same-name"_s, u"skip"_s}
            << QStringList{u"ke[1m ep.bin=mine"_s, u"keep=other"_s}
            << QStringList{u"ke[1m ep.bin=mine"_s, u"keep=other"_s} << 0;
        QTest::newRow("overwrite: the last row wins whatever the slots")
            << QByteArray("f->URL/slow-a.bin\nf->URL/b.bin\n") << QStringList{u"--same-name"_s, u"overwrite"_s}
            << QStringList() << QStringList{u"f.bin=B"_s} << 0;
        QTest::newRow("skip: a file that appears meanwhile is kept")
            << QByteArray("appear->URL/appear.bin\n") << QStringList{u"--same-name"_s, u"skip"_s} << QStringList()
            << QStringList{u"appear.bin=theirs"_s} << 0;
        QTest::newRow("rename: a file that appears meanwhile gets the next name")
            << QByteArray("appear->URL/appear.bin\n") << QStringList() << QStringList()
            << QStringList{u"appear.bin=theirs"_s, u"appear[1].bin="_s + QString(3000, u'A')} << 0;
        QTest::newRow("a missing save folder is made; a killed run's leftovers go")
            << QByteArray("b->URL/b.bin\n") << QStringList{u"--dir"_s, u"DIR/new/sub"_s}
            << QStringList{u".quillmoor-1.part=old"_s, u"new/sub/.quillmoor-2.part=old"_s}
            << QStringList{u".quillmoor-1.part=old"_s, u"new/sub/b.bin=B"_s} << 0;
        QTest::newRow("a save folder that cannot be made refuses the run")
            << QByteArray("b->URL/b.bin\n") << QStringList{u"--dir"_s, u"DIR/plain/sub"_s}
            << QStringList{u"plain=x"_s} << QStringList{u"plain=x"_s} << 2;
    }

    void filesOnDisk()
    {
        QFETCH(QByteArray, list);
        QFETCH(QStringList, options);
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(int, exitCode);
        BatchRun run;
        m_appearIn = run.out.path();
        const QString address = server.urlText(QString());
        TestFiles::write(QDir(run.home.path()).filePath(u"outside.txt"_s), "outside");
        for (const QString &entry : std::as_const(before)) {
            const qsizetype link = entry.indexOf(u'@');
            const QString name = entry.section(u'=', 0, 0).section(u'@', 0, 0);
            QDir().mkpath(QFileInfo(run.outPath(name)).path());
            if (link > 0) {
                QVERIFY(QFile::link(QDir(run.home.path()).filePath(entry.mid(link + 1)), run.outPath(name)));
                continue;
            }
            TestFiles::write(run.outPath(name), entry.section(u'=', 1).toUtf8());
            if (name.contains(u".quillmoor-"_s)) {
                QFile file(run.outPath(name));
                QVERIFY(file.open(QIODevice::ReadWrite));
                QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
            }
        }
        run.writeList(list.replace("URL", address.toUtf8()));
        run.start(options.replaceInStrings(u"DIR"_s, run.out.path()));
        QVERIFY(run.finish());
        const QString out = QString::fromUtf8(run.process.readAllStandardOutput());
        QCOMPARE(run.process.exitCode(), exitCode);

        QStringList found;
        QDirIterator files(run.out.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            found.append(path.mid(run.out.path().size() + 1) + u'=' + QString::fromUtf8(TestFiles::read(path)));
        }
        found.sort();
        QCOMPARE(found, after.replaceInStrings(u"URL"_s, address));
        QCOMPARE(TestFiles::read(QDir(run.home.path()).filePath(u"outside.txt"_s)), "outside");
        // Five clean columns a row: nothing from a name reaches the terminal raw.
        for (const QString &row : out.split(u'\n', Qt::SkipEmptyParts)) {
            QCOMPARE(row.count(u'\t'), 4);
            QVERIFY(std::none_of(row.begin(), row.end(),
                                 [](QChar c) { return c != u'\t' && c.category() == QChar::Other_Control; }));
        }
    }

    // LIST stands for a list file holding the row's bytes.
    void badInvocations_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("message");
        const QByteArray none;
        QTest::newRow("unknown option") << QStringList{u"--batch"_s, u"x"_s, u"--bogus"_s} << none << u"unknown option: --bogus"_s;
        QTest::newRow("threads out of range") << QStringList{u"--batch"_s, u"x"_s, u"--threads"_s, u"11"_s} << none << u"--threads"_s;
        for (const QString &rate : {u"fast"_s, u"-1"_s, u"1.5k"_s, u"1025m"_s, u"2g"_s})
            QTest::newRow(qPrintable(u"limit "_s + rate)) << QStringList{u"--batch"_s, u"x"_s, u"--limit-rate"_s, rate} << none << u"--limit-rate needs"_s;
        QTest::newRow("list missing") << QStringList{u"--batch"_s, u"/nonexistent/list.txt"_s} << none << u"cannot read the list file"_s;
        QTest::newRow("list is a folder") << QStringList{u"--batch"_s, u"/tmp"_s} << none << u"cannot read the list file"_s;
        QTest::newRow("no list named") << QStringList{u"--batch"_s} << none << u"--batch needs a list file"_s;
        QTest::newRow("empty list") << QStringList{u"--batch"_s, u"LIST"_s} << none << u"the list file LIST holds no row"_s;
        QTest::newRow("list without rows: refused lines reported")
            << QStringList{u"--batch"_s, u"LIST"_s} << QByteArray("junk\r\n\r\nn->ftp://h/x\r\n")
            << u"quillmoor: 2 lines of LIST are not rows: line 1 (no separator), line 3 (not an http address)\n"
               u"quillmoor: the list file LIST holds no row"_s;
#ifdef QUILLMOOR_WITH_BROWSER
        QTest::newRow("harvest of a missing file") << QStringList{u"--harvest"_s, u"/nonexistent/page.htm"_s} << none
                                                   << u"quillmoor: 该文件不存在！ /nonexistent/page.htm"_s;
        QTest::newRow("harvest with a bad --match") << QStringList{u"--harvest"_s, u"http://127.0.0.1:9/"_s, u"--match"_s, u"(x"_s}
                                                    << none << u"quillmoor: --match: 正则表达式有误："_s;
#endif
    }

    void badInvocations()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, list);
        QFETCH(QString, message);
        BatchRun run;
        run.writeList(list);
        run.start(args.replaceInStrings(u"LIST"_s, run.listPath), false);
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitCode(), 2);
        const QString err = QString::fromUtf8(run.process.readAllStandardError());
        QVERIFY2(err.contains(message.replace(u"LIST"_s, run.listPath)), qPrintable(err));
    }

#ifdef QUILLMOOR_WITH_BROWSER
    // Each page in its own charset with one base element, frames or not; a page over the size limit
    // as the browser holds it, without one; a frame that fails fails no row, a missing page does.
    void pageMode()
    {
        BatchRun run;
        run.writeList(line(u"u"_s, u"/p/utf8.htm"_s) + line(u"g"_s, u"/p/gb.htm"_s) + line(u"gone"_s, u"/missing.bin"_s)
                      + line(u"frames"_s, u"/p/frames.htm"_s) + line(u"huge"_s, u"/p/huge.htm"_s));
        run.start({u"--mode"_s, u"page"_s, u"--threads"_s, u"2"_s});
        QVERIFY(run.finish(120000));
        QCOMPARE(run.process.exitCode(), 1);
        QCOMPARE(run.stdoutLines().size(), 5); // each row ends once, frames or not
        QVERIFY(QString::fromUtf8(run.process.readAllStandardError()).contains(u"quillmoor: 4 finished, 1 failed, 0 skipped"_s));
        const auto based = [this](const char *path, const QByteArray &page) {
            return "<html><head> <Base href='" + server.urlText(QString::fromLatin1(path)).toUtf8() + "' target='_blank'> "
                   + page.mid(12);
        };
        QCOMPARE(TestFiles::read(run.outPath(u"u.htm"_s)), based("/p/utf8.htm", m_utf8Page));
        QCOMPARE(TestFiles::read(run.outPath(u"g.htm"_s)), based("/p/gb.htm", m_gbPage));
        QVERIFY(!QFile::exists(run.outPath(u"gone.htm"_s)));
        const QByteArray framePage = TestFiles::read(run.outPath(u"frames.htm"_s));
        QVERIFY(framePage.startsWith(based("/p/frames.htm", "<html><head><title>")));
        QCOMPARE(framePage.count("<Base href="), 1);
        QVERIFY(framePage.contains("<iframe src=\"/p/utf8.htm\"></iframe>"));
        const QByteArray hugePage = TestFiles::read(run.outPath(u"huge.htm"_s));
        QVERIFY(hugePage.size() > 20 * 1000 * 1000 && hugePage.startsWith("<html><head><title>big</title></head>"));
        QVERIFY(!hugePage.contains("<Base href="));
    }

    void harvestPrintsListLines()
    {
        BatchRun run;
        run.start({u"--harvest"_s, server.urlText(u"/p/links.htm"_s)}, false);
        QVERIFY(run.finish(120000));
        QCOMPARE(run.process.exitCode(), 0);
        QCOMPARE(run.process.readAllStandardOutput(), line(u"x"_s, u"/gen/x.bin"_s) + line(u"y"_s, u"/gen/y.bin"_s));
    }
#endif

    void interruptLeavesNoPartialFile()
    {
        BatchRun run;
        run.writeList(line(u"slow"_s, u"/slow.bin"_s));
        run.start({});
        QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor("/slow.bin").isEmpty(), 20000);
        QTest::qWait(1500);
        ::kill(static_cast<pid_t>(run.process.processId()), SIGTERM);
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.process.exitCode(), 1);
        QVERIFY(QDir(run.out.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).isEmpty());
    }

    // --session: a run again over the same list fetches only the rows not yet finished and counts
    // the finished ones; a list of other rows starts over.
    void sessionGoesOnWhereTheLastRunStopped()
    {
        BatchRun run;
        TestHttpServer::Route later;
        later.body = "L";
        const QStringList session{u"--session"_s, QDir(run.home.path()).filePath(u"s.sqlite"_s)};
        run.writeList(line(u"a"_s, u"/gen/session.bin"_s) + line(u"later"_s, u"/later.bin"_s));
        for (const int status : {404, 200, 200}) {
            later.status = status;
            server.setRoute("/later.bin", later);
            run.start(session);
            QVERIFY(run.finish());
            QCOMPARE(run.process.exitCode(), status == 404 ? 1 : 0);
        }
        QCOMPARE(server.requestsFor("/gen/session.bin").size(), 1);
        QCOMPARE(server.requestsFor("/later.bin").size(), 2);
        run.writeList(line(u"later"_s, u"/later.bin"_s));
        run.start(session);
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitCode(), 0);
        QCOMPARE(server.requestsFor("/later.bin").size(), 3);
        QVERIFY(QString::fromUtf8(run.process.readAllStandardError()).contains(u"holds other rows than the list file"_s));
    }
};

QTEST_GUILESS_MAIN(TestBatch)
#include "tst_batch.moc"
