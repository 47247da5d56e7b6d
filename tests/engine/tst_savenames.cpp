#include "engine/DownloadSettings.h"
#include "engine/SaveNames.h"
#include "platform/MemorySettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

    void urlExtension_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected");
        QTest::newRow("query of eight characters gives none") << u"http://h/page.asp?id=5"_s << u" "_s;
        QTest::newRow("query within six characters stays") << u"http://h/a.js?v=1"_s << u"js?v=1"_s;
        QTest::newRow("host only gives its last label") << u"http://www.example.com"_s << u"com"_s;
        QTest::newRow("fragment is cut") << u"http://h/index.html#top"_s << u"html"_s;
        QTest::newRow("no slash at all") << u"abc.txt"_s << u"txt"_s;
        QTest::newRow("ending in slash gives none") << u"http://h/dir/"_s << u" "_s;
        QTest::newRow("dot only in the host") << u"http://h.com/dir/file"_s << u" "_s;
        QTest::newRow("backslash separates too") << u"http://h\\a.b\\c.pdf"_s << u"pdf"_s;
        QTest::newRow("backslash then no dot") << u"C:\\dir.x\\file"_s << u" "_s;
        QTest::newRow("dot at the end gives none") << u"http://h/a."_s << u" "_s;
        QTest::newRow("blanks around are trimmed") << u"http://h/a. txt "_s << u"txt"_s;
        QTest::newRow("fragment right after the dot gives empty") << u"http://h/a.#x"_s << QString();
        QTest::newRow("six characters accepted") << u"http://h/a.abcdef"_s << u"abcdef"_s;
        QTest::newRow("seven characters refused") << u"http://h/a.abcdefg"_s << u" "_s;
        QTest::newRow("last of several dots") << u"http://h/a.tar.gz"_s << u"gz"_s;
        QTest::newRow("blank last segment") << u"http://h/   "_s << u" "_s;
        QTest::newRow("non-ASCII extension") << u"http://h/文件.网页"_s << u"网页"_s;
        QTest::newRow("empty address") << QString() << u" "_s;
        QTest::newRow("100,000 characters without a dot") << QString(100000, u'x') << u" "_s;
        QTest::newRow("100,000 characters then an extension")
            << (u"http://h/"_s + QString(100000, u'y') + u".pdf"_s) << u"pdf"_s;
    }

    void urlExtension()
    {
        QFETCH(QString, address);
        QFETCH(QString, expected);
        QCOMPARE(::urlExtension(address), expected);
    }

    void urlBaseName_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected");
        QTest::newRow("query after the extension") << u"http://h/page.asp?id=5"_s << u"page"_s;
        QTest::newRow("dot inside the query is the last dot") << u"http://h/show?id=1.2"_s << u"show?id=1"_s;
        QTest::newRow("no slash keeps the whole text") << u" abc.txt "_s << u"abc.txt"_s;
        QTest::newRow("ending in slash gives empty") << u"http://h/dir/"_s << QString();
        QTest::newRow("host only") << u"http://www.example.com"_s << u"www.example"_s;
        QTest::newRow("fragment") << u"http://h/index.html#top"_s << u"index"_s;
        QTest::newRow("backslash separates too") << u"C:\\dir\\report.pdf"_s << u"report"_s;
        QTest::newRow("escapes kept") << u"http://h/a%20b.pdf"_s << u"a%20b"_s;
        QTest::newRow("several dots") << u"http://h/a.tar.gz"_s << u"a.tar"_s;
        QTest::newRow("no dot in last segment") << u"http://h/readme"_s << u"readme"_s;
        QTest::newRow("blanks around are trimmed") << u"http://h/ name .txt"_s << u"name"_s;
        QTest::newRow("100,000-character segment")
            << (u"http://h/"_s + QString(100000, u'z') + u".htm"_s) << QString(100000, u'z');
    }

    void urlBaseName()
    {
        QFETCH(QString, address);
        QFETCH(QString, expected);
        QCOMPARE(::urlBaseName(address), expected);
    }

    void cleanFileName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("every illegal character removed")
            << u"a\\b/c:d*e?f\"g<h>i|j\nk\rl\tm"_s << u"abcdefghijklm"_s;
        QTest::newRow("%20 decoded") << u"my%20file"_s << u"my file"_s;
        QTest::newRow("other escapes kept") << u"a%2Fb%41%2"_s << u"a%2Fb%41%2"_s;
        QTest::newRow("decoded blanks at the ends stay") << u" %20x%20 "_s << u" x "_s;
        QTest::newRow("blank revealed by a removal stays") << u" a /"_s << u"a "_s;
        QTest::newRow("only blanks are trimmed") << u"\u3000x\u3000"_s << u"\u3000x\u3000"_s;
        QTest::newRow("a slash alone gives empty") << u"/"_s << QString();
        QTest::newRow("brackets, dots and hash kept") << u"a[1].b#c"_s << u"a[1].b#c"_s;
        QTest::newRow("Chinese kept") << u"年度 报告"_s << u"年度 报告"_s;
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
        QTest::newRow("a folder with a trailing slash") << dir + u"/sub.htm/"_s << false;
        QTest::newRow("link to a folder is not a file") << dir + u"/dirlink"_s << false;
        QTest::newRow("link to a file") << dir + u"/filelink"_s << true;
        QTest::newRow("dangling link is an entry of that name") << dir + u"/dangling"_s << true;
        QTest::newRow("file address") << u"file://"_s + dir + u"/plain.txt"_s << true;
        QTest::newRow("file address in upper case") << u"FILE://"_s + dir + u"/plain.txt"_s << true;
        QTest::newRow("file address escapes taken literally") << u"file://"_s + dir + u"/a%20b"_s << true;
        QTest::newRow("file address of a folder") << u"file://"_s + dir << false;
        QTest::newRow("empty path") << QString() << false;
        QTest::newRow("file address with nothing after it") << u"file:///"_s << false;
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

        const int start = int(Outcome::Start);
        const int skipped = int(Outcome::Skip);
        const QString page = u"http://h/x.htm"_s;
        QTest::newRow("query too long gives htm")
            << byUrl << sameRename << u"n"_s << u"http://h/page.asp?id=5"_s << QStringList() << QStringList()
            << start << u"page.htm"_s << u"htm"_s;
        QTest::newRow("short query stays in the extension")
            << byUrl << sameRename << u"n"_s << u"http://h/a.js?v=1"_s << QStringList() << QStringList()
            << start << u"a.js?v=1"_s << u"js?v=1"_s;
        QTest::newRow("host only gives com")
            << byUrl << sameRename << u"n"_s << u"http://www.example.com"_s << QStringList() << QStringList()
            << start << u"www.example.com"_s << u"com"_s;
        QTest::newRow("fragment is cut from the extension")
            << byUrl << sameRename << u"n"_s << u"http://h/index.html#top"_s << QStringList() << QStringList()
            << start << u"index.html"_s << u"html"_s;
        QTest::newRow("address without slash keeps its extension twice")
            << byUrl << sameRename << u"n"_s << u"abc.txt"_s << QStringList() << QStringList()
            << start << u"abc.txt.txt"_s << u"txt"_s;
        QTest::newRow("address ending in slash")
            << byUrl << sameRename << u"n"_s << u"http://h/dir/"_s << QStringList() << QStringList()
            << start << u"临时文件名.htm"_s << u"htm"_s;
        QTest::newRow("name rule compared exactly")
            << (byLink + u" "_s) << sameRename << u"名字"_s << u"http://h/other.pdf"_s << QStringList() << QStringList()
            << start << u"other.pdf"_s << u"pdf"_s;
        QTest::newRow("link name with the address's extension")
            << byLink << sameRename << u"名字"_s << u"http://h/other.pdf"_s << QStringList() << QStringList()
            << start << u"名字.pdf"_s << u"pdf"_s;
        QTest::newRow("rename sequence takes the first free")
            << byLink << sameRename << u"report"_s << page
            << QStringList{u"report.htm"_s, u"report[1].htm"_s, u"report[2].htm"_s} << QStringList()
            << start << u"report[3].htm"_s << u"htm"_s;
        QTest::newRow("every [1] of the base is counted up")
            << byLink << sameRename << u"a[1]"_s << page << QStringList{u"a[1].htm"_s, u"a[1][1].htm"_s}
            << QStringList() << start << u"a[2][2].htm"_s << u"htm"_s;
        QTest::newRow("illegal characters removed")
            << byLink << sameRename << u"a/b:c*d?e\"f<g>h|i\\j"_s << page << QStringList() << QStringList()
            << start << u"abcdefghij.htm"_s << u"htm"_s;
        QTest::newRow("%20 decoded, other escapes kept")
            << byLink << sameRename << u"my%20report%2Fv1"_s << page << QStringList() << QStringList()
            << start << u"my report%2Fv1.htm"_s << u"htm"_s;
        QTest::newRow("link name of a slash only")
            << byLink << sameRename << u"/"_s << page << QStringList() << QStringList()
            << start << u"临时文件名.htm"_s << u"htm"_s;
        QTest::newRow("link name of two dots")
            << byLink << sameRename << u".."_s << page << QStringList() << QStringList()
            << start << u"临时文件名.htm"_s << u"htm"_s;
        QTest::newRow("address segment of one dot and a name")
            << byUrl << sameRename << u"n"_s << u"http://h/..pdf"_s << QStringList() << QStringList()
            << start << u"临时文件名.pdf"_s << u"pdf"_s;
        QTest::newRow("path taken by another slot counts as existing")
            << byLink << sameRename << u"report"_s << page << QStringList() << QStringList{u"report.htm"_s}
            << start << u"report[1].htm"_s << u"htm"_s;
        QTest::newRow("taken and existing names both passed over")
            << byLink << sameRename << u"report"_s << page << QStringList{u"report.htm"_s}
            << QStringList{u"report[1].htm"_s} << start << u"report[2].htm"_s << u"htm"_s;
        QTest::newRow("overwrite an existing file")
            << byLink << sameOverwrite << u"report"_s << page << QStringList{u"report.htm"_s} << QStringList()
            << start << u"report.htm"_s << u"htm"_s;
        QTest::newRow("overwrite never shares a file with another slot")
            << byLink << sameOverwrite << u"report"_s << page << QStringList() << QStringList{u"report.htm"_s}
            << skipped << u"report.htm"_s << u"htm"_s;
        QTest::newRow("skip an existing file")
            << byLink << sameSkip << u"report"_s << page << QStringList{u"report.htm"_s} << QStringList()
            << skipped << u"report.htm"_s << u"htm"_s;
        QTest::newRow("skip a path taken by another slot")
            << byLink << sameSkip << u"report"_s << page << QStringList() << QStringList{u"report.htm"_s}
            << skipped << u"report.htm"_s << u"htm"_s;
        QTest::newRow("skip rule with a free name starts")
            << byLink << sameSkip << u"report"_s << page << QStringList() << QStringList()
            << start << u"report.htm"_s << u"htm"_s;
        QTest::newRow("unknown same-name rule renames")
            << byLink << u"其他"_s << u"report"_s << page << QStringList{u"report.htm"_s} << QStringList()
            << start << u"report[1].htm"_s << u"htm"_s;
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
        QStringList takenPaths;
        for (const QString &name : taken)
            takenPaths.append(dir.path() + u"/"_s + name);

        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(dir.path() + u"/"_s);
        settings.overrideNameMethod(nameMethod);
        settings.overrideCollisionMethod(collisionMethod);

        const SaveName name = ::decideSaveName(settings, linkName, url, [&](const QString &path) {
            return takenPaths.contains(path);
        });
        QCOMPARE(int(name.outcome), outcome);
        QCOMPARE(name.savePath, dir.path() + u"/"_s + fileName);
        QCOMPARE(name.extension, extension);
        QCOMPARE(name.url, url);
        // The step decides only: nothing is created, and existing files stay as they were.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot).size(),
                 existing.size());
    }

    void folderSeparatorAppendedOnceInMemory()
    {
        QTemporaryDir dir;
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(dir.path());
        settings.overrideNameMethod(byLink);
        settings.overrideCollisionMethod(sameRename);

        const SaveName first = ::decideSaveName(settings, u"a"_s, u"http://h/a.htm"_s);
        QCOMPARE(first.savePath, dir.path() + u"/a.htm"_s);
        QCOMPARE(settings.saveFolder(), dir.path() + u"/"_s);
        const SaveName second = ::decideSaveName(settings, u"b"_s, u"http://h/b.htm"_s);
        QCOMPARE(second.savePath, dir.path() + u"/b.htm"_s);
        QCOMPARE(settings.saveFolder(), dir.path() + u"/"_s);
        QVERIFY(!store.values().contains(DownloadSettings::keySaveFolder()));
    }

    void renameGivesUpPastTheCounterLimit()
    {
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(u"/nonexistent-folder/"_s);
        settings.overrideNameMethod(byLink);
        settings.overrideCollisionMethod(sameRename);
        int asked = 0;
        QString lastAsked;
        const SaveName name = ::decideSaveName(settings, u"r"_s, u"http://h/r.htm"_s, [&](const QString &path) {
            ++asked;
            lastAsked = path;
            return true;
        });
        QCOMPARE(int(name.outcome), int(Outcome::Skip));
        QCOMPARE(asked, 32768);
        QCOMPARE(lastAsked, u"/nonexistent-folder/r[32767].htm"_s);
    }

    // Whatever the link name or address, the file lands directly in the save folder under a
    // name that is neither "." nor "..".
    void savePathStaysInTheFolder_data()
    {
        QTest::addColumn<QString>("nameMethod");
        QTest::addColumn<QString>("linkName");
        QTest::addColumn<QString>("url");
        QTest::newRow("link name climbing with slashes") << byLink << u"../../etc/passwd"_s << u"http://h/x"_s;
        QTest::newRow("link name climbing with backslashes") << byLink << u"..\\..\\x"_s << u"http://h/x"_s;
        QTest::newRow("link name of one dot") << byLink << u"."_s << u"http://h/x"_s;
        QTest::newRow("link name of dots and blanks") << byLink << u" .. "_s << u"http://h/x"_s;
        QTest::newRow("address ending in dot-dot") << byUrl << u"n"_s << u"http://h/a/.."_s;
        QTest::newRow("address of dots only") << byUrl << u"n"_s << u"..."_s;
        QTest::newRow("escaped slashes in the address") << byUrl << u"n"_s << u"http://h/..%2F..%2Fx.htm"_s;
        QTest::newRow("extension after a backslash") << byUrl << u"n"_s << u"http://h/a\\..\\b.c\\..htm"_s;
        QTest::newRow("100,000-character link name") << byLink << QString(100000, u'L') << u"http://h/x"_s;
        QTest::newRow("100,000-character address") << byUrl << u"n"_s << (u"http://h/"_s + QString(100000, u'.'));
        QTest::newRow("NUL in the link name") << byLink << u"a\0b"_s << u"http://h/x"_s;
    }

    void savePathStaysInTheFolder()
    {
        QFETCH(QString, nameMethod);
        QFETCH(QString, linkName);
        QFETCH(QString, url);
        QTemporaryDir dir;
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(dir.path());
        settings.overrideNameMethod(nameMethod);
        settings.overrideCollisionMethod(sameRename);

        const SaveName name = ::decideSaveName(settings, linkName, url);
        QCOMPARE(int(name.outcome), int(Outcome::Start));
        QVERIFY(name.savePath.startsWith(dir.path() + u"/"_s));
        const QString fileName = name.savePath.mid(dir.path().size() + 1);
        QVERIFY(!fileName.contains(u'/'));
        QVERIFY(fileName != u"."_s && fileName != u".."_s);
        QVERIFY(!name.extension.isEmpty());
    }

    void queryExtensionIsAWritableNameHere()
    {
        QTemporaryDir dir;
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(dir.path());
        settings.overrideNameMethod(byUrl);
        settings.overrideCollisionMethod(sameRename);
        const SaveName name = ::decideSaveName(settings, QString(), u"http://h/a.js?v=1"_s);
        QVERIFY(touch(name.savePath));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"a.js?v=1"_s});
        // A second row of the same address now finds the file and is renamed.
        QCOMPARE(::decideSaveName(settings, QString(), u"http://h/a.js?v=1"_s).savePath,
                 dir.path() + u"/a[1].js?v=1"_s);
    }
};

QTEST_GUILESS_MAIN(TestSaveNames)
#include "tst_savenames.moc"
