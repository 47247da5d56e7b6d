#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace {

// Runs the program's batch mode against the local server, with a settings store of its own.
struct BatchRun
{
    QTemporaryDir home;
    QTemporaryDir out;
    QProcess process;
    QString listPath;

    BatchRun() { listPath = QDir(home.path()).filePath(u"list.txt"_s); }

    void writeList(const QByteArray &bytes) { TestFiles::write(listPath, bytes); }

    void start(const QStringList &extra, bool withList = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home.path());
        env.insert(u"XDG_CONFIG_HOME"_s, QDir(home.path()).filePath(u"config"_s));
        env.insert(u"XDG_DATA_HOME"_s, QDir(home.path()).filePath(u"data"_s));
        env.insert(u"XDG_CACHE_HOME"_s, QDir(home.path()).filePath(u"cache"_s));
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        process.setProcessEnvironment(env);
        QStringList args;
        if (withList)
            args << u"--batch"_s << listPath << u"--dir"_s << out.path();
        process.start(QStringLiteral(QUILLMOOR_BINARY), args + extra);
    }

    // Waits while the test's own event loop keeps serving HTTP.
    bool finish(int timeoutMs = 60000)
    {
        QElapsedTimer timer;
        timer.start();
        while (process.state() != QProcess::NotRunning && timer.elapsed() < timeoutMs)
            QTest::qWait(20);
        return process.state() == QProcess::NotRunning;
    }

    QStringList stdoutLines() { return QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts); }
    QString outPath(const QString &name) const { return QDir(out.path()).filePath(name); }
};

const QRegularExpression finishedText(u"^下载完成 \\[\\d\\d:\\d\\d:\\d\\d\\]$"_s);

} // namespace

class TestBatch : public QObject
{
    Q_OBJECT

private:
    TestHttpServer server;
    QString m_appearIn; // where /appear.bin makes "their" file when asked for it

    QByteArray line(const QString &name, const QString &path)
    {
        return (name + u"->"_s + server.urlText(path) + u"\r\n"_s).toUtf8();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(server.listen());
        server.serveGenerated("/gen/", 10000);
        const auto typed = [this](const QByteArray &path, const QByteArray &type, const QByteArray &body) {
            TestHttpServer::Route route;
            route.contentType = type;
            route.body = body;
            server.setHandler(path, [route](const TestHttpServer::Request &) { return route; });
        };
        typed("/site/page.htm", "text/html", "<html><head><title>t</title></head></html>");
        typed("/doc/stdtypes.html", "text/html", "<html><head><title>t</title></head></html>");
        typed("/img.php", "image/png", "\xC2\x89PNG<head>");
        typed("/download", "application/zip", "PK<head>");
        typed("/pic.png", "image/png", "png<head>");
        typed("/file.zip", "", "zip<head>");
        typed("/lib.js", "text/javascript", "<head>js");
        typed("/x.c", "text/plain", "<head>c");
        typed("/a.bin", "", "A");
        typed("/b.bin", "", "B");
        TestHttpServer::Route slowA;
        slowA.body = QByteArray(3000, 'A');
        slowA.chunkBytes = 1000;
        slowA.intervalMs = 150;
        server.setRoute("/slow-a.bin", slowA);
        server.setHandler("/appear.bin", [this, slowA](const TestHttpServer::Request &) {
            QFile theirs(QDir(m_appearIn).filePath(u"appear.bin"_s));
            if (theirs.open(QIODevice::WriteOnly))
                theirs.write("theirs");
            return slowA;
        });
        TestHttpServer::Route missing;
        missing.status = 404;
        missing.body = "not here";
        server.setRoute("/missing.bin", missing);
        server.setRoute("/missing.htm", missing);
        TestHttpServer::Route stall;
        stall.generatedSize = 1000000;
        stall.dropAfter = -1;
        stall.chunkBytes = 1000;
        stall.intervalMs = 1000;
        server.setRoute("/slow.bin", stall);

        TestHttpServer::Route utf8;
        utf8.contentType = "text/html; charset=utf-8";
        utf8.body = QString(u"<html><head><title>中文</title></head><body><p>中文 ✓</p></body></html>"_s).toUtf8();
        server.setRoute("/p/utf8.htm", utf8);
        TestHttpServer::Route gbk;
        gbk.contentType = "text/html; charset=gb2312";
        gbk.body = "<html><head><title>\xD6\xD0\xCE\xC4</title></head><body><p>\xD6\xD0\xCE\xC4</p></body></html>";
        server.setRoute("/p/gb.htm", gbk);
        TestHttpServer::Route links;
        links.contentType = "text/html; charset=utf-8";
        links.body = "<html><head></head><body><a href='/gen/x.bin'>x</a> <a href='/p/utf8.htm'> 登陆 </a>"
                     "<a href='mailto:a@b'>m</a><a href='/gen/y.bin'>y</a></body></html>";
        server.setRoute("/p/links.htm", links);
        TestHttpServer::Route frames;
        frames.contentType = "text/html; charset=utf-8";
        frames.body = "<html><head><title>f</title></head><body><iframe src='/p/utf8.htm'></iframe>"
                      "<iframe src='/missing.bin'></iframe></body></html>";
        server.setRoute("/p/frames.htm", frames);
        TestHttpServer::Route huge;
        huge.contentType = "text/html; charset=utf-8";
        huge.body = "<html><head><title>big</title></head><body><p>" + QByteArray(20 * 1000 * 1000, 'x')
                    + "</p></body></html>";
        server.setRoute("/p/huge.htm", huge);
    }

    // Each ended row prints its five columns on standard output; a failure says why on standard
    // error; the summary counts the outcomes; any failure gives exit status 1.
    void rowsPrintTheirOutcome()
    {
        BatchRun run;
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
        QTest::newRow("only pages get the base element; binaries and queries stay as sent")
            << QByteArray("a->URL/site/page.htm\nb->URL/img.php\nc->URL/download?id=5\nd->URL/pic.png?v=2\n"
                          "e->URL/file.zip?token=abc\nf->URL/lib.js\ng->URL/x.c\nh->URL/doc/stdtypes.html#str.join\n")
            << url << QStringList()
            << QStringList{u"download.htm=PK<head>"_s, u"file.zip=zip<head>"_s, u"img.php=\u0089PNG<head>"_s,
                           u"lib.js=<head>js"_s, u"page.htm="_s + base.arg(u"/site/page.htm"_s),
                           u"pic.png=png<head>"_s, u"stdtypes.html="_s + base.arg(u"/doc/stdtypes.html#str.join"_s),
                           u"x.c=<head>c"_s}
            << 0;
        QTest::newRow("an address cannot break out of the base element")
            << QByteArray("q->URL/site/page.htm?a='><script>x</script>\n") << QStringList() << QStringList()
            << QStringList{u"q.htm=<html><head> <Base href='URL/site/page.htm?a=&#39;&gt;&lt;script&gt;x&lt;/"
                           u"script&gt;' target='_blank'> <title>t</title></head></html>"_s}
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
        QTest::newRow("a 300-character name is shortened to fit")
            << (QString(300, u'中') + u"->URL/b.bin\n"_s).toUtf8() << QStringList() << QStringList()
            << QStringList{QString(83, u'中') + u".bin=B"_s} << 0;
        QTest::newRow("rename: rows of one name count on from the taken ones")
            << QByteArray("f->URL/a.bin\nf->URL/b.bin\n") << QStringList{u"--threads"_s, u"1"_s}
            << QStringList{u"f.bin=old"_s} << QStringList{u"f.bin=old"_s, u"f[1].bin=A"_s, u"f[2].bin=B"_s} << 0;
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
        QTest::newRow("list missing") << QStringList{u"--batch"_s, u"/nonexistent/list.txt"_s} << none << u"cannot read the list file"_s;
        QTest::newRow("list is a folder") << QStringList{u"--batch"_s, u"/tmp"_s} << none << u"cannot read the list file"_s;
        QTest::newRow("no list named") << QStringList{u"--batch"_s} << none << u"--batch needs a list file"_s;
        QTest::newRow("empty list") << QStringList{u"--batch"_s, u"LIST"_s} << none << u"the list file LIST holds no row"_s;
        QTest::newRow("list without rows: refused lines reported")
            << QStringList{u"--batch"_s, u"LIST"_s} << QByteArray("junk\r\n\r\nn->ftp://h/x\r\n")
            << u"quillmoor: 2 lines of LIST are not rows: line 1 (no separator), line 3 (not an http address)\n"
               u"quillmoor: the list file LIST holds no row"_s;
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
    void pageModeSavesEachPageInItsOwnCharset()
    {
        BatchRun run;
        run.writeList(line(u"u"_s, u"/p/utf8.htm"_s) + line(u"g"_s, u"/p/gb.htm"_s) + line(u"gone"_s, u"/missing.bin"_s));
        run.start({u"--mode"_s, u"page"_s, u"--threads"_s, u"2"_s});
        QVERIFY(run.finish(120000));
        QCOMPARE(run.process.exitCode(), 1); // the missing page fails
        const QString out = QString::fromUtf8(run.process.readAllStandardOutput());
        QVERIFY2(out.contains(u"\t下载完成 \t"_s), qPrintable(out));
        auto base = [this](const char *path) {
            return "<html><head> <Base href='" + server.urlText(QString::fromLatin1(path)).toUtf8() + "' target='_blank'> ";
        };
        QCOMPARE(TestFiles::read(run.outPath(u"u.htm"_s)),
                 base("/p/utf8.htm") + QString(u"<title>中文</title></head><body><p>中文 ✓</p></body></html>"_s).toUtf8());
        QCOMPARE(TestFiles::read(run.outPath(u"g.htm"_s)),
                 base("/p/gb.htm") + QByteArray("<title>\xD6\xD0\xCE\xC4</title></head><body><p>\xD6\xD0\xCE\xC4</p></body></html>"));
        QVERIFY(!QFile::exists(run.outPath(u"gone.htm"_s)));
    }

    void pageModeSavesAFramePageOnceAndAHugePageWithoutBaseReference()
    {
        BatchRun run;
        run.writeList(line(u"frames"_s, u"/p/frames.htm"_s) + line(u"huge"_s, u"/p/huge.htm"_s));
        run.start({u"--mode"_s, u"page"_s, u"--threads"_s, u"2"_s});
        QVERIFY(run.finish(120000));
        QCOMPARE(run.process.exitCode(), 0);
        const QStringList lines = run.stdoutLines();
        QCOMPARE(lines.size(), 2); // each row ends once, frames or not
        const QByteArray framePage = TestFiles::read(run.outPath(u"frames.htm"_s));
        QVERIFY(framePage.startsWith("<html><head> <Base href='" + server.urlText(u"/p/frames.htm"_s).toUtf8()));
        QCOMPARE(framePage.count("<Base href="), 1);
        QVERIFY(framePage.contains("<iframe src=\"/p/utf8.htm\"></iframe>"));
        // Over the size limit: saved as the browser holds it, without a base element.
        const QByteArray hugePage = TestFiles::read(run.outPath(u"huge.htm"_s));
        QVERIFY(hugePage.size() > 20 * 1000 * 1000);
        QVERIFY(hugePage.startsWith("<html><head><title>big</title></head>"));
        QVERIFY(!hugePage.contains("<Base href="));
    }

    void harvestPrintsListLinesThatFeedTheBatch()
    {
        BatchRun run;
        run.start({u"--harvest"_s, server.urlText(u"/p/links.htm"_s)}, false);
        QVERIFY(run.finish(120000));
        QCOMPARE(run.process.exitCode(), 0);
        const QByteArray out = run.process.readAllStandardOutput();
        QCOMPARE(out, line(u"x"_s, u"/gen/x.bin"_s) + line(u"y"_s, u"/gen/y.bin"_s));

        BatchRun missing;
        missing.start({u"--harvest"_s, u"/nonexistent/page.htm"_s}, false);
        QVERIFY(missing.finish(120000));
        QCOMPARE(missing.process.exitCode(), 2);
        QVERIFY(QString::fromUtf8(missing.process.readAllStandardError()).contains(u"该文件不存在！"_s));
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
};

QTEST_GUILESS_MAIN(TestBatch)
#include "tst_batch.moc"
