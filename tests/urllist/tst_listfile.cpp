#include "engine/UrlList.h"
#include "urllist/ListFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;

namespace {

struct ProgressLog
{
    QList<QPair<qint64, qint64>> calls;
    ListProgress callback()
    {
        return [this](qint64 value, qint64 maximum) { calls.append({value, maximum}); };
    }
};

// Each row as "name|address".
QStringList entries(const UrlList &list)
{
    QStringList result;
    for (int p = 1; p <= list.count(); ++p)
        result << list.linkName(p) + u'|' + list.url(p);
    return result;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "count: line fault, ..." for the dropped lines an import reports.
QString droppedReport(const ListImport &imported)
{
    static const char *const faults[] = {"separator", "name", "http"};
    QStringList lines;
    for (const DroppedLine &line : imported.firstDropped)
        lines << QString::number(line.lineNumber) + u' ' + QLatin1String(faults[int(line.fault)]);
    return QString::number(imported.droppedLines) + u": "_s + lines.join(u", "_s);
}

// Starts and ends at 0, one maximum throughout, never goes back, reports the last line.
void checkReaderProgress(const ProgressLog &log, qint64 lines)
{
    QVERIFY(log.calls.size() >= 2);
    QCOMPARE(log.calls.first(), qMakePair(qint64(0), lines + 1));
    QCOMPARE(log.calls.last(), qMakePair(qint64(0), lines + 1));
    qint64 previous = 0;
    for (qsizetype i = 1; i + 1 < log.calls.size(); ++i) {
        QCOMPARE(log.calls[i].second, lines + 1);
        QVERIFY(log.calls[i].first > previous);
        previous = log.calls[i].first;
    }
    QCOMPARE(previous, lines);
}

} // namespace

class TestListFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString fileWith(const QByteArray &bytes, const QString &name = u"list.txt"_s)
    {
        const QString path = m_dir.filePath(name);
        if (!writeBytes(path, bytes))
            qFatal("cannot write test file");
        return path;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
    }

    void readerLines_data()
    {
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("dropped");

        const QString arrow = u"->"_s;
        const QString none = u"0: "_s;
        QTest::newRow("blanks around both sides trimmed") << arrow << u"   a b  ->   http://h/x y   "_s
                                                          << QStringList{u"a b|http://h/x y"_s} << none;
        QTest::newRow("split before the first address, separators in name and address kept, HTTP as written")
            << arrow << u"a->b -> HTTP://x/?u->http://y"_s << QStringList{u"a->b|HTTP://x/?u->http://y"_s} << none;
        QTest::newRow("letters separator matches small letters") << u"AT"_s << u"link at http://h/x"_s
                                                                 << QStringList{u"link|http://h/x"_s} << none;
        QTest::newRow("letters separator inside a word does not split there")
            << u"AT"_s << u"cat AT http://h/x"_s << QStringList{u"cat|http://h/x"_s} << none;
        QTest::newRow("empty separator accepts nothing") << QString() << u"n->http://h/a\r\nhttp://h/b"_s
                                                         << QStringList{} << u"2: 1 separator, 2 separator"_s;
        QTest::newRow("tab kept in the name") << arrow << u"\tn\t->http://h/a"_s << QStringList{u"\tn\t|http://h/a"_s}
                                              << none;
        QTest::newRow("full-width separator") << u"："_s << u"名称：http://h/a"_s << QStringList{u"名称|http://h/a"_s}
                                              << none;
        QTest::newRow("junk lines skipped, order and duplicates kept")
            << arrow << u"b->http://h/2\r\n\r\njunk\r\na->http://h/1\r\na->http://h/1\r\n"_s
            << QStringList{u"b|http://h/2"_s, u"a|http://h/1"_s, u"a|http://h/1"_s} << u"1: 3 separator"_s;
        // A blank name is not rescued by a later separator; a tab before the address is no blank.
        QTest::newRow("refused lines counted, the first five listed, blank lines not counted")
            << arrow << u"n http://h/a\n   ->http://h/a->http://h/b\nn->   \nn->ftp://h/a\nn->\thttp://h/a\n"
                        u"junk\n\n \t\nn->http://h/9"_s
            << QStringList{u"n|http://h/9"_s} << u"6: 1 separator, 2 name, 3 http, 4 http, 5 http"_s;
    }

    void readerLines()
    {
        QFETCH(QString, separator);
        QFETCH(QString, content);
        QFETCH(QStringList, expected);
        QFETCH(QString, dropped);

        UrlList list;
        const ListImport imported = importListFile(fileWith(content.toUtf8()), list, separator);
        QVERIFY(imported.read);
        QCOMPARE(entries(list), expected);
        QCOMPARE(imported.rows, qint64(expected.size()));
        QCOMPARE(droppedReport(imported), dropped);
        for (int p = 1; p <= list.count(); ++p)
            QVERIFY(list.statusText(p).isEmpty() && list.progressText(p).isEmpty() && list.remarkText(p).isEmpty());
    }

    void encodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<qint64>("lines");

        const QStringList ab{u"a|http://h/1"_s, u"b|http://h/2"_s};
        QTest::newRow("UTF-8 without byte-order mark") << u"链接->http://h/1\r\n中文->http://h/2\r\n"_s.toUtf8()
            << QStringList{u"链接|http://h/1"_s, u"中文|http://h/2"_s} << qint64(2);
        QTest::newRow("each line judged alone: a GBK line between UTF-8 lines, byte-order mark dropped")
            << QByteArray("\xEF\xBB\xBF\xE9\x93\xBE\xE6\x8E\xA5->http://h/1\r\n\xd6\xd0\xce\xc4->http://h/2\r\n"
                          "\xE4\xB8\xAD\xE6\x96\x87->http://h/3\n")
            << QStringList{u"链接|http://h/1"_s, u"中文|http://h/2"_s, u"中文|http://h/3"_s} << qint64(3);
        QTest::newRow("mixed CR LF, lone CR and lone LF")
            << QByteArray("a->http://h/1\r\nb->http://h/2\rc->http://h/3\nd->http://h/4\r\n")
            << QStringList{u"a|http://h/1"_s, u"b|http://h/2"_s, u"c|http://h/3"_s, u"d|http://h/4"_s} << qint64(4);
        QTest::newRow("CR CR LF is an empty line between") << QByteArray("a->http://h/1\r\r\nb->http://h/2\r\n")
                                                           << ab << qint64(3);
        QTest::newRow("no final line end") << QByteArray("a->http://h/1\r\nb->http://h/2") << ab << qint64(2);
        QTest::newRow("blank lines are counted") << QByteArray("\r\n\r\na->http://h/1\r\n")
                                                 << QStringList{u"a|http://h/1"_s} << qint64(3);
        QTest::newRow("empty file") << QByteArray() << QStringList{} << qint64(0);
    }

    void encodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QFETCH(qint64, lines);

        UrlList list;
        ProgressLog log;
        QVERIFY(importListFile(fileWith(bytes), list, u"->"_s, log.callback()).read);
        QCOMPARE(entries(list), expected);
        if (lines > 0) {
            checkReaderProgress(log, lines);
            return;
        }
        QVERIFY(!log.calls.isEmpty());
        for (const auto &call : std::as_const(log.calls))
            QCOMPARE(call, qMakePair(qint64(0), qint64(1)));
    }

    void unreadableFileLeavesTheListAloneAndImportsAppend()
    {
        UrlList list;
        list.append(u"old"_s, u"http://h/old"_s);
        for (const QString &path : {m_dir.filePath(u"no such file.txt"_s), m_dir.path(), QString()})
            QVERIFY2(!importListFile(path, list, u"->"_s).read, qPrintable(path));
        QCOMPARE(entries(list), QStringList{u"old|http://h/old"_s});
        QVERIFY(importListFile(fileWith("new->http://h/new\r\n"), list, u"->"_s).read); // appends
        QCOMPARE(entries(list), (QStringList{u"old|http://h/old"_s, u"new|http://h/new"_s}));
    }

    void binaryJunkDoesNotCrash()
    {
        QRandomGenerator random(20240601);
        QByteArray junk(1 << 20, '\0');
        for (char &byte : junk)
            byte = static_cast<char>(random.bounded(256));
        UrlList list;
        QVERIFY(importListFile(fileWith(junk + "\r\n\r\nfound->http://h/found\r\n\r\n" + junk), list, u"->"_s).read);
        QVERIFY(entries(list).contains(u"found|http://h/found"_s));
        for (int p = 1; p <= list.count(); ++p)
            QVERIFY(!list.linkName(p).isEmpty() && list.url(p).left(4).toLower() == u"http"_s);
    }

    void megabyteLines()
    {
        const QString huge(1 << 20, u'名');
        UrlList list;
        QVERIFY(importListFile(fileWith((huge + u"\r\n"_s + huge + u"->http://h/"_s + huge).toUtf8()), list, u"->"_s).read);
        QCOMPARE(entries(list), QStringList{huge + u"|http://h/"_s + huge});
    }

    void bigFileAppendsInBatchesAndThrottlesProgress()
    {
        const int lines = 50000;
        QByteArray bytes;
        for (int i = 1; i <= lines; ++i)
            bytes += (i % 5 == 0 ? "skipped line " : "n" + QByteArray::number(i) + "->http://h/")
                     + QByteArray::number(i) + "\r\n";
        UrlList list;
        QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
        ProgressLog log;
        const ListImport imported = importListFile(fileWith(bytes), list, u"->"_s, log.callback());

        QCOMPARE(list.count(), lines - lines / 5);
        QCOMPARE(imported.droppedLines, qint64(lines / 5));
        QVERIFY(inserted.count() <= 10);
        QVERIFY(log.calls.size() <= 600);
        checkReaderProgress(log, lines);
        int expected = 1;
        for (int p = 1; p <= list.count(); ++p, ++expected) {
            if (expected % 5 == 0)
                ++expected;
            if (list.url(p) != u"http://h/"_s + QString::number(expected))
                QFAIL(qPrintable(u"row %1 out of order: %2"_s.arg(p).arg(list.url(p))));
        }
    }

    void writerWritesExactBytes()
    {
        UrlList list;
        list.appendRows({UrlRow(u"链接 "_s, u"http://h/a b"_s), UrlRow(u" x"_s, u"ftp://h/b"_s)});
        list.markAllReady(); // states are not written
        const QString path = fileWith(QByteArray(4096, 'z'), u"export.txt"_s); // an older, longer file
        ProgressLog log;
        QVERIFY(exportListFile(path, list, log.callback()));
        QCOMPARE(readBytes(path), u"链接 ->http://h/a b\r\n x->ftp://h/b\r\n"_s.toUtf8());
        QCOMPARE(log.calls, (QList<QPair<qint64, qint64>>{{1, 2}, {2, 2}, {0, 2}}));
    }

    void writerFailsWithoutAFolder()
    {
        QTemporaryDir scratch;
        QVERIFY(writeBytes(scratch.filePath(u"file"_s), "x"));
        UrlList list;
        list.append(u"a"_s, u"http://h/a"_s);
        for (const QString &folder : {scratch.filePath(u"missing"_s), scratch.filePath(u"file"_s)}) {
            QVERIFY(!exportListFile(folder + u"/list.txt"_s, list));
            QVERIFY(!QFile::exists(folder + u"/list.txt"_s));
        }
    }

    void failedWriteKeepsTheOldFile()
    {
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString path = scratch.filePath(u"list.txt"_s);
        QVERIFY(writeBytes(path, "old->http://h/old\r\n"));
        UrlList list;
        std::vector<UrlRow> rows;
        for (int i = 0; i < 40000; ++i)
            rows.push_back(UrlRow(u"name %1"_s.arg(i), u"http://h/some/long/address/%1"_s.arg(i)));
        list.appendRows(rows);

        // A file size limit makes the write fail part-way, even as root.
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = 64 * 1024;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool written = exportListFile(path, list);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!written);
        QCOMPARE(readBytes(path), QByteArray("old->http://h/old\r\n"));
        QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{u"list.txt"_s});
    }

    // Blanks, a blank name and a non-http address do not survive; a separator in the name does.
    void roundTrip()
    {
        UrlList written;
        written.appendRows({UrlRow(u"中文名称"_s, u"https://h/中"_s),
                            UrlRow(u"q"_s, u"http://h/?x->y"_s),
                            UrlRow(u" a "_s, u"http://h/a "_s),
                            UrlRow(u"a->b"_s, u"http://h/a"_s),
                            UrlRow(u"  "_s, u"http://h/a"_s),
                            UrlRow(u"a"_s, u"ftp://h/a"_s)});
        const QString path = m_dir.filePath(u"roundtrip.txt"_s);
        QVERIFY(exportListFile(path, written));
        UrlList read;
        QVERIFY(importListFile(path, read, u"->"_s).read);
        QCOMPARE(entries(read), (QStringList{u"中文名称|https://h/中"_s, u"q|http://h/?x->y"_s, u"a|http://h/a"_s,
                                             u"a->b|http://h/a"_s}));
    }
};

QTEST_GUILESS_MAIN(TestListFile)
#include "tst_listfile.moc"
