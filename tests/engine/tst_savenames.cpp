#include "engine/DownloadSettings.h"
#include "engine/SaveNames.h"
#include "platform/MemorySettingsStore.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

using Outcome = SaveName::Outcome;

const QString byLink = u"链接名称"_s;
const QString byUrl = u"原文件名"_s;
const QString sameSkip = u"跳过"_s;
const QString sameOverwrite = u"覆盖"_s;
const QString sameRename = u"自动重命名"_s;

bool touch(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

struct Rig
{
    MemorySettingsStore store;
    DownloadSettings settings{store};
    Rig(const QString &folder, const QString &nameMethod, const QString &collisionMethod = sameRename)
    {
        settings.overrideSaveFolder(folder);
        settings.overrideNameMethod(nameMethod);
        settings.overrideCollisionMethod(collisionMethod);
    }
};

} // namespace

class TestSaveNames : public QObject
{
    Q_OBJECT

    QTemporaryDir m_fixture;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_fixture.isValid());
        const QDir dir(m_fixture.path());
        QVERIFY(touch(dir.filePath(u"plain.txt"_s)));
        QVERIFY(touch(dir.filePath(u"a%20b"_s)));
        QVERIFY(dir.mkdir(u"sub.htm"_s));
        QVERIFY(QFile::link(dir.filePath(u"nowhere"_s), dir.filePath(u"dangling"_s)));
        QVERIFY(QFile::link(dir.filePath(u"sub.htm"_s), dir.filePath(u"dirlink"_s)));
        QVERIFY(QFile::link(dir.filePath(u"plain.txt"_s), dir.filePath(u"filelink"_s)));
    }

    // A blank (" ") extension means "none".
    void nameParts_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("extension");
        QTest::newRow("query left out") << u"http://h/page.asp?id=5"_s << u"page"_s << u"asp"_s;
        QTest::newRow("query with a token left out") << u"http://h/file.zip?token=abc"_s << u"file"_s << u"zip"_s;
        QTest::newRow("dot inside the query is no extension") << u"http://h/show?id=1.2"_s << u"show"_s << u" "_s;
        QTest::newRow("slash inside the query is no folder") << u"http://h/a.php?u=http://x/y.png"_s << u"a"_s << u"php"_s;
        QTest::newRow("six characters accepted") << u"http://h/a.abcdef"_s << u"a"_s << u"abcdef"_s;
        QTest::newRow("seven characters refused") << u"http://h/a.abcdefg"_s << u"a"_s << u" "_s;
        QTest::newRow("host only") << u"http://www.example.com"_s << u"www.example"_s << u"com"_s;
        QTest::newRow("fragment left out") << u"http://h/stdtypes.html#str.join"_s << u"stdtypes"_s << u"html"_s;
        QTest::newRow("no slash: the whole trimmed text") << u" abc.txt "_s << u"abc.txt"_s << u"txt"_s;
        QTest::newRow("ending in slash") << u"http://h/dir/"_s << QString() << u" "_s;
        QTest::newRow("dot only in the host") << u"http://h.com/dir/file"_s << u"file"_s << u" "_s;
        QTest::newRow("backslash separates too") << u"http://h\\a.b\\c.pdf"_s << u"c"_s << u"pdf"_s;
        QTest::newRow("dot at the end") << u"http://h/a."_s << u"a"_s << u" "_s;
        QTest::newRow("blanks around are trimmed") << u"http://h/ name . txt "_s << u"name"_s << u"txt"_s;
        QTest::newRow("escapes kept, last of several dots") << u"http://h/a%20b.tar.gz"_s << u"a%20b.tar"_s << u"gz"_s;
        QTest::newRow("100,000 characters then an extension")
            << (u"http://h/"_s + QString(100000, u'y') + u".pdf"_s) << QString(100000, u'y') << u"pdf"_s;
    }

    void nameParts()
    {
        QFETCH(QString, address);
        QFETCH(QString, base);
        QFETCH(QString, extension);
        QCOMPARE(::urlBaseName(address), base);
        QCOMPARE(::urlExtension(address), extension);
    }

    void cleanFileName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("every illegal character removed")
            << u"a\\b/c:d*e?f\"g<h>i|j\nk\rl\tm"_s << u"abcdefghijkl m"_s;
        QTest::newRow("control characters and NUL removed") << QStringLiteral("a\0b\x1b[31mc\u0085") << u"ab[31mc"_s;
        QTest::newRow("%20 decoded, other escapes kept") << u"my%20file%2Fb%2"_s << u"my file%2Fb%2"_s;
        QTest::newRow("decoded blanks at the ends stay") << u" %20x%20 "_s << u" x "_s;
        QTest::newRow("blank revealed by a removal stays") << u" a /"_s << u"a "_s;
        QTest::newRow("full-width blanks are not trimmed") << u"\u3000x\u3000"_s << u"\u3000x\u3000"_s;
        QTest::newRow("traversal loses its separators") << u"../../etc/passwd"_s << u"....etcpasswd"_s;
        QTest::newRow("100,000 illegal characters") << QString(100000, u'?') << QString();
    }

    void cleanFileName()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(::cleanFileName(name), expected);
    }

    void localFileExists_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("expected");
        const QString dir = m_fixture.path();
        QTest::newRow("existing file") << dir + u"/plain.txt"_s << true;
        QTest::newRow("missing file") << dir + u"/missing.txt"_s << false;
        QTest::newRow("a folder is not a file") << dir + u"/sub.htm"_s << false;
        QTest::newRow("link to a folder is not a file") << dir + u"/dirlink"_s << false;
        QTest::newRow("link to a file") << dir + u"/filelink"_s << true;
        QTest::newRow("dangling link is an entry of that name") << dir + u"/dangling"_s << true;
        QTest::newRow("file address in upper case") << u"FILE://"_s + dir + u"/plain.txt"_s << true;
        QTest::newRow("file address escapes taken literally") << u"file://"_s + dir + u"/a%20b"_s << true;
        QTest::newRow("file address with nothing after it") << u"file:///"_s << false;
        QTest::newRow("empty path") << QString() << false;
        QTest::newRow("NUL inside the path") << dir + u"/plain.txt\0x"_s << false;
        QTest::newRow("100,000-character path") << dir + u"/"_s + QString(100000, u'p') << false;
    }

    void localFileExists()
    {
        QFETCH(QString, path);
        QFETCH(bool, expected);
        QCOMPARE(::localFileExists(path), expected);
    }

    void decideSaveName_data()
    {
        QTest::addColumn<QString>("nameMethod");
        QTest::addColumn<QString>("collisionMethod");
        QTest::addColumn<QString>("linkName");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("extension");

        const QString page = u"http://h/x.htm"_s;
        const int start = int(Outcome::Start);
        const auto byUrlRow = [start](const char *name, const QString &url, const QString &file, const QString &ext) {
            QTest::newRow(name) << byUrl << sameRename << u"n"_s << url << QStringList() << QStringList() << start
                                << file << ext;
        };
        const auto onDisk = [&](const char *name, const QString &same, const QStringList &existing,
                                const QStringList &taken, Outcome outcome, const QString &file) {
            QTest::newRow(name) << byLink << same << u"report"_s << page << existing << taken << int(outcome) << file
                                << u"htm"_s;
        };
        byUrlRow("no extension gives htm", u"http://h/page?id=5.2"_s, u"page.htm"_s, u"htm"_s);
        byUrlRow("address without slash keeps its extension twice", u"abc.txt"_s, u"abc.txt.txt"_s, u"txt"_s);
        byUrlRow("address ending in slash", u"http://h/dir/"_s, u"临时文件名.htm"_s, u"htm"_s);
        byUrlRow("address segment of one dot and a name", u"http://h/..pdf"_s, u"临时文件名.pdf"_s, u"pdf"_s);
        QTest::newRow("name rule compared exactly")
            << (byLink + u" "_s) << sameRename << u"名字"_s << u"http://h/other.pdf"_s << QStringList()
            << QStringList() << start << u"other.pdf"_s << u"pdf"_s;
        QTest::newRow("link name with the address's extension")
            << byLink << sameRename << u"名字"_s << u"http://h/other.pdf"_s << QStringList() << QStringList()
            << start << u"名字.pdf"_s << u"pdf"_s;
        QTest::newRow("link name cleaned")
            << byLink << sameRename << u"a/b:c*d%20e"_s << page << QStringList() << QStringList() << start
            << u"abcd e.htm"_s << u"htm"_s;
        QTest::newRow("link name of a slash only") << byLink << sameRename << u"/"_s << page << QStringList()
                                                   << QStringList() << start << u"临时文件名.htm"_s << u"htm"_s;
        QTest::newRow("link name of two dots") << byLink << sameRename << u".."_s << page << QStringList()
                                               << QStringList() << start << u"临时文件名.htm"_s << u"htm"_s;
        QTest::newRow("a counter in the name itself stays")
            << byLink << sameRename << u"a[1]"_s << page << QStringList{u"a[1].htm"_s, u"a[1][1].htm"_s}
            << QStringList() << start << u"a[1][2].htm"_s << u"htm"_s;
        QTest::newRow("renamed, the query left out") << byUrl << sameRename << u"n"_s << u"http://h/a.js?v=1"_s
                                                     << QStringList{u"a.js"_s} << QStringList() << start
                                                     << u"a[1].js"_s << u"js"_s;
        QTest::newRow("long name shortened on a character boundary, counter and extension kept")
            << byLink << sameRename << QString(300, u'中') << page << QStringList{QString(83, u'中') + u".htm"_s}
            << QStringList() << start << QString(82, u'中') + u"[1].htm"_s << u"htm"_s;
        onDisk("rename sequence takes the first free", sameRename,
               {u"report.htm"_s, u"report[1].htm"_s, u"report[2].htm"_s}, {}, Outcome::Start, u"report[3].htm"_s);
        onDisk("path taken by another slot counts as existing", sameRename, {}, {u"report.htm"_s}, Outcome::Start,
               u"report[1].htm"_s);
        onDisk("overwrite an existing file", sameOverwrite, {u"report.htm"_s}, {}, Outcome::Start, u"report.htm"_s);
        onDisk("overwrite waits for another slot writing the file", sameOverwrite, {}, {u"report.htm"_s},
               Outcome::Wait, u"report.htm"_s);
        onDisk("skip an existing file", sameSkip, {u"report.htm"_s}, {}, Outcome::Skip, u"report.htm"_s);
        onDisk("skip a path taken by another slot", sameSkip, {}, {u"report.htm"_s}, Outcome::Skip, u"report.htm"_s);
        onDisk("skip rule with a free name starts", sameSkip, {}, {}, Outcome::Start, u"report.htm"_s);
        onDisk("unknown same-name rule renames", u"其他"_s, {u"report.htm"_s}, {}, Outcome::Start, u"report[1].htm"_s);
    }

    void decideSaveName()
    {
        QFETCH(QString, nameMethod);
        QFETCH(QString, collisionMethod);
        QFETCH(QString, linkName);
        QFETCH(QString, url);
        QFETCH(QStringList, existing);
        QFETCH(QStringList, taken);
        QFETCH(int, outcome);
        QFETCH(QString, fileName);
        QFETCH(QString, extension);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const QString &name : existing)
            QVERIFY(touch(dir.filePath(name)));
        Rig rig(dir.path() + u"/"_s, nameMethod, collisionMethod);
        const SaveName name = ::decideSaveName(rig.settings, linkName, url, [&](const QString &path) {
            return taken.contains(path.mid(dir.path().size() + 1));
        });
        QCOMPARE(int(name.outcome), outcome);
        QCOMPARE(name.savePath, dir.path() + u"/"_s + fileName);
        QCOMPARE(name.extension, extension);
        QCOMPARE(name.url, url);
        // Deciding creates nothing.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot).size(),
                 existing.size());
    }

    void folderSeparatorAppendedOnceInMemory()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), byLink);
        QCOMPARE(::decideSaveName(rig.settings, u"a"_s, u"http://h/a.htm"_s).savePath, dir.path() + u"/a.htm"_s);
        QCOMPARE(::decideSaveName(rig.settings, u"b"_s, u"http://h/b.htm"_s).savePath, dir.path() + u"/b.htm"_s);
        QCOMPARE(rig.settings.saveFolder(), dir.path() + u"/"_s);
        QVERIFY(!rig.store.values().contains(DownloadSettings::keySaveFolder()));
    }

    void renameGivesUpPastTheCounterLimit()
    {
        Rig rig(u"/nonexistent-folder/"_s, byLink);
        int asked = 0;
        QString lastAsked;
        const SaveName name = ::decideSaveName(rig.settings, u"r"_s, u"http://h/r.htm"_s, [&](const QString &path) {
            ++asked;
            lastAsked = path;
            return true;
        });
        QCOMPARE(name.outcome, Outcome::Skip);
        QCOMPARE(asked, 32768);
        QCOMPARE(lastAsked, u"/nonexistent-folder/r[32767].htm"_s);
    }

    // Whatever the link name or address, the file lands directly in the save folder.
    void savePathStaysInTheFolder_data()
    {
        QTest::addColumn<QString>("nameMethod");
        QTest::addColumn<QString>("linkName");
        QTest::addColumn<QString>("url");
        QTest::newRow("link name climbing with backslashes") << byLink << u"..\\..\\x"_s << u"http://h/x"_s;
        QTest::newRow("link name of dots and blanks") << byLink << u" .. "_s << u"http://h/x"_s;
        QTest::newRow("address ending in dot-dot") << byUrl << u"n"_s << u"http://h/a/.."_s;
        QTest::newRow("address of dots only") << byUrl << u"n"_s << u"..."_s;
        QTest::newRow("escaped slashes in the address") << byUrl << u"n"_s << u"http://h/..%2F..%2Fx.htm"_s;
        QTest::newRow("100,000-character address") << byUrl << u"n"_s << (u"http://h/"_s + QString(100000, u'.'));
        QTest::newRow("NUL in the link name") << byLink << u"a\0b"_s << u"http://h/x"_s;
    }

    void savePathStaysInTheFolder()
    {
        QFETCH(QString, nameMethod);
        QFETCH(QString, linkName);
        QFETCH(QString, url);
        QTemporaryDir dir;
        Rig rig(dir.path(), nameMethod);
        const SaveName name = ::decideSaveName(rig.settings, linkName, url);
        QCOMPARE(name.outcome, Outcome::Start);
        QVERIFY(name.savePath.startsWith(dir.path() + u"/"_s));
        const QString fileName = name.savePath.mid(dir.path().size() + 1);
        QVERIFY(!fileName.contains(u'/'));
        QVERIFY(fileName != u"."_s && fileName != u".."_s);
        QVERIFY(!name.extension.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSaveNames)
#include "tst_savenames.moc"
