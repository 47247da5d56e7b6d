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
#include <unistd.h>

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

QStringList names(const UrlList &list)
{
    QStringList result;
    for (int p = 1; p <= list.count(); ++p)
        result << list.linkName(p);
    return result;
}

QStringList urls(const UrlList &list)
{
    QStringList result;
    for (int p = 1; p <= list.count(); ++p)
        result << list.url(p);
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

// The progress contract of the reader: starts and ends at 0, one maximum throughout, values
// never go back and the last line is reported.
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

private:
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
        QTest::addColumn<QStringList>("expectedNames");
        QTest::addColumn<QStringList>("expectedUrls");

        const QString arrow = u"->"_s;
        QTest::newRow("name and address") << arrow << u"名称->http://h/a"_s
                                          << QStringList{u"名称"_s} << QStringList{u"http://h/a"_s};
        QTest::newRow("blanks around both sides trimmed")
            << arrow << u"   a b  ->   http://h/x y   "_s << QStringList{u"a b"_s} << QStringList{u"http://h/x y"_s};
        QTest::newRow("HTTP in capitals kept as written")
            << arrow << u"n->HTTP://H/A"_s << QStringList{u"n"_s} << QStringList{u"HTTP://H/A"_s};
        QTest::newRow("https accepted") << arrow << u"n->https://h/"_s << QStringList{u"n"_s}
                                        << QStringList{u"https://h/"_s};
        QTest::newRow("address containing the separator again")
            << arrow << u"q->http://h/?a->b->c"_s << QStringList{u"q"_s} << QStringList{u"http://h/?a->b->c"_s};
        QTest::newRow("nothing before separator") << arrow << u"->http://h/a"_s << QStringList{} << QStringList{};
        QTest::newRow("only blanks before separator") << arrow << u"   ->http://h/a"_s << QStringList{} << QStringList{};
        QTest::newRow("nothing after separator") << arrow << u"n->"_s << QStringList{} << QStringList{};
        QTest::newRow("only blanks after separator") << arrow << u"n->   "_s << QStringList{} << QStringList{};
        QTest::newRow("ftp address skipped") << arrow << u"n->ftp://h/a"_s << QStringList{} << QStringList{};
        QTest::newRow("bare host skipped") << arrow << u"n->www.h.com/a"_s << QStringList{} << QStringList{};
        QTest::newRow("address shorter than http skipped") << arrow << u"n->htt"_s << QStringList{} << QStringList{};
        QTest::newRow("no separator skipped") << arrow << u"n http://h/a"_s << QStringList{} << QStringList{};
        QTest::newRow("letters separator matches small letters")
            << u"AT"_s << u"link at http://h/x"_s << QStringList{u"link"_s} << QStringList{u"http://h/x"_s};
        QTest::newRow("letters separator splits at first match, inside a word")
            << u"AT"_s << u"cat AT http://h/x"_s << QStringList{} << QStringList{};
        QTest::newRow("empty separator accepts nothing")
            << QString() << u"n->http://h/a\r\nhttp://h/b"_s << QStringList{} << QStringList{};
        QTest::newRow("tab kept in the name") << arrow << u"\tn\t->http://h/a"_s
                                              << QStringList{u"\tn\t"_s} << QStringList{u"http://h/a"_s};
        QTest::newRow("tab before the address is not trimmed, so refused")
            << arrow << u"n->\thttp://h/a"_s << QStringList{} << QStringList{};
        QTest::newRow("full-width separator") << u"："_s << u"名称：http://h/a"_s
                                              << QStringList{u"名称"_s} << QStringList{u"http://h/a"_s};
        QTest::newRow("blank and junk lines between entries skipped, order kept")
            << arrow << u"b->http://h/2\r\n\r\njunk\r\na->http://h/1\r\n"_s
            << QStringList{u"b"_s, u"a"_s} << QStringList{u"http://h/2"_s, u"http://h/1"_s};
        QTest::newRow("duplicates within the file kept")
            << arrow << u"a->http://h/1\r\na->http://h/1\r\n"_s
            << QStringList{u"a"_s, u"a"_s} << QStringList{u"http://h/1"_s, u"http://h/1"_s};
    }

    void readerLines()
    {
        QFETCH(QString, separator);
        QFETCH(QString, content);
        QFETCH(QStringList, expectedNames);
        QFETCH(QStringList, expectedUrls);

        UrlList list;
        QVERIFY(导入ListView列表(fileWith(content.toUtf8()), list, separator));
        QCOMPARE(names(list), expectedNames);
        QCOMPARE(urls(list), expectedUrls);
        for (int p = 1; p <= list.count(); ++p) {
            QVERIFY(list.status(p).isEmpty());
            QVERIFY(list.progress(p).isEmpty());
            QVERIFY(list.remark(p).isEmpty());
        }
    }

    void encodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expectedNames");
        QTest::addColumn<QStringList>("expectedUrls");
        QTest::addColumn<qint64>("lines");

        // 链接 and 中文 in code page 936: not valid UTF-8.
        QTest::newRow("GBK file with Chinese names")
            << QByteArray("\xc1\xb4\xbd\xd3->http://h/1\r\n\xd6\xd0\xce\xc4->http://h/2\r\n")
            << QStringList{u"链接"_s, u"中文"_s} << QStringList{u"http://h/1"_s, u"http://h/2"_s} << qint64(2);
        QTest::newRow("UTF-8 without byte-order mark")
            << u"链接->http://h/1\r\n中文->http://h/2\r\n"_s.toUtf8()
            << QStringList{u"链接"_s, u"中文"_s} << QStringList{u"http://h/1"_s, u"http://h/2"_s} << qint64(2);
        QTest::newRow("UTF-8 with byte-order mark, mark not part of the first name")
            << QByteArray("\xEF\xBB\xBF") + u"a->http://h/1\r\n链接->http://h/2\r\n"_s.toUtf8()
            << QStringList{u"a"_s, u"链接"_s} << QStringList{u"http://h/1"_s, u"http://h/2"_s} << qint64(2);
        QTest::newRow("mixed CR LF, lone CR and lone LF")
            << QByteArray("a->http://h/1\r\nb->http://h/2\rc->http://h/3\nd->http://h/4\r\n")
            << QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s}
            << QStringList{u"http://h/1"_s, u"http://h/2"_s, u"http://h/3"_s, u"http://h/4"_s} << qint64(4);
        QTest::newRow("CR CR LF is an empty line between")
            << QByteArray("a->http://h/1\r\r\nb->http://h/2\r\n") << QStringList{u"a"_s, u"b"_s}
            << QStringList{u"http://h/1"_s, u"http://h/2"_s} << qint64(3);
        QTest::newRow("no final line end")
            << QByteArray("a->http://h/1\r\nb->http://h/2") << QStringList{u"a"_s, u"b"_s}
            << QStringList{u"http://h/1"_s, u"http://h/2"_s} << qint64(2);
        QTest::newRow("blank lines are counted")
            << QByteArray("\r\n\r\na->http://h/1\r\n") << QStringList{u"a"_s} << QStringList{u"http://h/1"_s}
            << qint64(3);
        QTest::newRow("empty file") << QByteArray() << QStringList{} << QStringList{} << qint64(0);
        QTest::newRow("only a line end") << QByteArray("\r\n") << QStringList{} << QStringList{} << qint64(1);
    }

    void encodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expectedNames);
        QFETCH(QStringList, expectedUrls);
        QFETCH(qint64, lines);

        UrlList list;
        ProgressLog log;
        QVERIFY(导入ListView列表(fileWith(bytes), list, u"->"_s, log.callback()));
        QCOMPARE(names(list), expectedNames);
        QCOMPARE(urls(list), expectedUrls);
        if (lines == 0) {
            // Nothing to read: the bar gets maximum 1 and stays at 0.
            for (const auto &call : std::as_const(log.calls))
                QCOMPARE(call, qMakePair(qint64(0), qint64(1)));
            QVERIFY(!log.calls.isEmpty());
        } else {
            checkReaderProgress(log, lines);
        }
    }

    void unreadableFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing file") << m_dir.filePath(u"no such file.txt"_s);
        QTest::newRow("a folder") << m_dir.path();
        QTest::newRow("empty path") << QString();
    }

    void unreadableFile()
    {
        QFETCH(QString, path);
        UrlList list;
        list.append(u"old"_s, u"http://h/old"_s);
        ProgressLog log;
        QVERIFY(!导入ListView列表(path, list, u"->"_s, log.callback()));
        QCOMPARE(list.count(), 1);
        QCOMPARE(list.linkName(1), u"old"_s);
    }

    void binaryJunkDoesNotCrash()
    {
        QRandomGenerator random(20240601);
        QByteArray junk(1 << 20, '\0');
        for (char &byte : junk)
            byte = static_cast<char>(random.bounded(256));
        const QByteArray bytes = junk + "\r\n\r\nfound->http://h/found\r\n\r\n" + junk;

        UrlList list;
        QVERIFY(导入ListView列表(fileWith(bytes), list, u"->"_s));
        QVERIFY(urls(list).contains(u"http://h/found"_s));
        for (int p = 1; p <= list.count(); ++p) {
            QVERIFY(!list.linkName(p).isEmpty());
            QVERIFY(list.url(p).left(4).toLower() == u"http"_s);
        }
    }

    void megabyteLines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("accepted");
        const QString huge(1 << 20, u'名');
        QTest::newRow("1 MB name accepted") << huge + u"->http://h/a"_s << true;
        QTest::newRow("1 MB address accepted") << u"n->http://h/"_s + huge << true;
        QTest::newRow("1 MB line without separator skipped") << huge << false;
    }

    void megabyteLines()
    {
        QFETCH(QString, line);
        QFETCH(bool, accepted);
        UrlList list;
        QVERIFY(导入ListView列表(fileWith((line + u"\r\nn->http://h/next\r\n"_s).toUtf8()), list, u"->"_s));
        QCOMPARE(list.count(), accepted ? 2 : 1);
        QCOMPARE(list.url(list.count()), u"http://h/next"_s);
        if (accepted)
            QCOMPARE(list.linkName(1) + u"->"_s + list.url(1), line);
    }

    void importingTwiceDoublesTheRows()
    {
        const QString path = fileWith("a->http://h/1\r\nb->http://h/2\r\n");
        UrlList list;
        QVERIFY(导入ListView列表(path, list, u"->"_s));
        QVERIFY(导入ListView列表(path, list, u"->"_s));
        QCOMPARE(urls(list), (QStringList{u"http://h/1"_s, u"http://h/2"_s, u"http://h/1"_s, u"http://h/2"_s}));
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
        QVERIFY(导入ListView列表(fileWith(bytes), list, u"->"_s, log.callback()));

        QCOMPARE(list.count(), lines - lines / 5);
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
        list.appendRows({{u"链接 "_s, u"http://h/a b"_s, u"下载完成 [1:2:3]"_s, u"50.0%  "_s, u"r"_s},
                         {u" x"_s, u"ftp://h/b"_s, {}, {}, {}}});
        const QString path = m_dir.filePath(u"export.txt"_s);
        ProgressLog log;
        QVERIFY(exportListFile(path, list, log.callback()));
        QCOMPARE(readBytes(path), u"链接 ->http://h/a b\r\n x->ftp://h/b\r\n"_s.toUtf8());
        QCOMPARE(log.calls, (QList<QPair<qint64, qint64>>{{1, 2}, {2, 2}, {0, 2}}));
    }

    void writerReplacesAnOldLongerFile()
    {
        const QString path = fileWith(QByteArray(4096, 'z'), u"old.txt"_s);
        UrlList list;
        list.append(u"a"_s, u"http://h/a"_s);
        QVERIFY(exportListFile(path, list));
        QCOMPARE(readBytes(path), QByteArray("a->http://h/a\r\n"));
    }

    void writerFailures_data()
    {
        QTest::addColumn<QString>("folderKind");
        QTest::newRow("read-only folder") << u"read-only"_s;
        QTest::newRow("folder does not exist") << u"missing"_s;
        QTest::newRow("parent is a file") << u"file"_s;
    }

    void writerFailures()
    {
        QFETCH(QString, folderKind);
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        QString folder = scratch.filePath(u"sub"_s);
        if (folderKind == u"read-only"_s) {
            if (::geteuid() == 0)
                QSKIP("root writes into read-only folders");
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        } else if (folderKind == u"file"_s) {
            QVERIFY(writeBytes(folder, "x"));
        }
        UrlList list;
        list.append(u"a"_s, u"http://h/a"_s);
        const bool written = exportListFile(folder + u"/list.txt"_s, list);
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(!written);
        QVERIFY(!QFile::exists(folder + u"/list.txt"_s));
        if (folderKind == u"read-only"_s)
            QVERIFY(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
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
            rows.push_back({u"name %1"_s.arg(i), u"http://h/some/long/address/%1"_s.arg(i), {}, {}, {}});
        list.appendRows(rows);

        // A file size limit makes the write fail part-way, even for root.
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

    void roundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("readName");
        QTest::addColumn<QString>("readUrl");

        QTest::newRow("plain row") << u"a"_s << u"http://h/a"_s << u"a"_s << u"http://h/a"_s;
        QTest::newRow("Chinese name") << u"中文名称"_s << u"https://h/中"_s << u"中文名称"_s << u"https://h/中"_s;
        QTest::newRow("address with the separator") << u"q"_s << u"http://h/?x->y"_s << u"q"_s << u"http://h/?x->y"_s;
        QTest::newRow("blanks are lost") << u" a "_s << u"http://h/a "_s << u"a"_s << u"http://h/a"_s;
        QTest::newRow("name with the separator is lost") << u"a->b"_s << u"http://h/a"_s << QString() << QString();
        QTest::newRow("blank name is lost") << u"  "_s << u"http://h/a"_s << QString() << QString();
        QTest::newRow("ftp address is lost") << u"a"_s << u"ftp://h/a"_s << QString() << QString();
    }

    void roundTrip()
    {
        QFETCH(QString, name);
        QFETCH(QString, url);
        QFETCH(QString, readName);
        QFETCH(QString, readUrl);

        UrlList written;
        written.append(u"first"_s, u"http://h/first"_s);
        written.append(name, url);
        const QString path = m_dir.filePath(u"roundtrip.txt"_s);
        QVERIFY(exportListFile(path, written));

        UrlList read;
        QVERIFY(导入ListView列表(path, read, u"->"_s));
        QStringList expectedNames{u"first"_s};
        QStringList expectedUrls{u"http://h/first"_s};
        if (!readName.isNull()) {
            expectedNames << readName;
            expectedUrls << readUrl;
        }
        QCOMPARE(names(read), expectedNames);
        QCOMPARE(urls(read), expectedUrls);
    }

    void exportedFileUnderPipeSeparatorImportsNothing()
    {
        UrlList written;
        written.append(u"a"_s, u"http://h/a"_s);
        written.append(u"b"_s, u"http://h/b"_s);
        const QString path = m_dir.filePath(u"pipe.txt"_s);
        QVERIFY(exportListFile(path, written));
        UrlList read;
        QVERIFY(导入ListView列表(path, read, u"|"_s));
        QCOMPARE(read.count(), 0);
    }

    void addUrlAcceptance_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("ordinary entry") << u"n"_s << u"http://h/a"_s << true;
        QTest::newRow("blanks around name, trailing blank in address")
            << u" n "_s << u"http://h/a "_s << true;
        QTest::newRow("https in capitals") << u"n"_s << u"HTTPS://h/a"_s << true;
        QTest::newRow("empty name") << QString() << u"http://h/a"_s << false;
        QTest::newRow("name of blanks only") << u"   "_s << u"http://h/a"_s << false;
        QTest::newRow("leading blank before http") << u"n"_s << u" http://h/a"_s << false;
        QTest::newRow("ftp address") << u"n"_s << u"ftp://h/a"_s << false;
        QTest::newRow("empty address") << u"n"_s << QString() << false;
        QTest::newRow("name of a tab is not blank") << u"\t"_s << u"http://h/a"_s << true;
    }

    void addUrlAcceptance()
    {
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(bool, accepted);
        QCOMPARE(addUrlAccepted(name, address), accepted);
    }
};

QTEST_GUILESS_MAIN(TestListFile)
#include "tst_listfile.moc"
