#include "engine/BaseHref.h"
#include "engine/DownloadSettings.h"
#include "engine/PageSourceReplacements.h"
#include "engine/SaveNames.h"
#include "platform/MemorySettingsStore.h"
#include "platform/QSettingsStore.h"
#include "support/TestFiles.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using Pairs = std::vector<PageSourceReplacements::Pair>;
using Settings = QMap<QString, QString>;

// A setting's text as stored (what load() makes of it) and as typed in its box ("=value", or the message shown).
struct TextCase { QString key, text, loaded, typed; bool rewritten; };
// The rules, the row, the files already in the folder, and the name the row starts with.
struct SaveCase { QString nameRule, sameRule, linkName, url; QStringList existing; QString fileName; };
Q_DECLARE_METATYPE(TextCase)
Q_DECLARE_METATYPE(SaveCase)

const QString byLink = u"链接名称"_s, byUrl = u"原文件名"_s, autoRename = u"自动重命名"_s;
const QString pageMode = u"模拟网页下载(仅用于网页格式的文件！)"_s;
const QString interval = u"定时下载时间间隔"_s, threads = u"下载线程数"_s, separator = u"连接符"_s, login = u"登陆网址"_s;
// It would end a quoted attribute and open an element if it were not escaped.
const QString pageAddress = u"http://h/网页.htm?a='><b&c"_s;

// The eight settings by their store keys, two of which end in a blank.
static Settings fields(const DownloadSettings &s)
{
    return {{interval, QString::number(s.intervalMinutes())}, {u"保存文件名称方法"_s, s.nameMethod()},
            {u"相同文件名处理方法 "_s, s.collisionMethod()}, {separator, s.separator()},
            {threads, QString::number(s.threadCount())}, {u"保存路径 "_s, s.saveFolder()},
            {u"下载方式"_s, s.downloadMode()}, {login, s.loginUrl()}};
}

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    void settingText_data()
    {
        QTest::addColumn<TextCase>("c");
        const auto row = [](const char *name, const QString &key, const QString &text, const QString &loaded,
                            const QString &typed = {}, bool rewritten = false) {
            QTest::newRow(name) << TextCase{key, text, loaded, typed, rewritten};
        };
        const QString name = u"保存文件名称方法"_s, same = u"相同文件名处理方法 "_s;
        const QString badInterval = u"必须填入大于1,小于1440的数字！"_s, badThreads = u"必须填入大于0,小于11的数字！"_s;
        row("name: link name kept", name, byLink, byLink);
        row("name: anything else is the file name", name, byLink + u' ', byUrl, {}, true);
        row("same name: overwrite", same, u"覆盖"_s, u"覆盖"_s, {}, true);
        row("same name: rename kept", same, autoRename, autoRename);
        row("same name: anything else renames", same, u"skip"_s, autoRename, {}, true);
        row("mode: anything but fast is the page mode", u"下载方式"_s, u"slow"_s, pageMode, {}, true);
        row("folder: blanks give the download folder, no separator at its end", u"保存路径 "_s, u"  "_s,
            QDir::cleanPath(DownloadSettings::defaultSaveFolder()));
        row("interval 1", interval, u"1"_s, u"1"_s, u"=1"_s);
        row("interval 1440.4: above the range", interval, u"1440.4"_s, u"1440"_s, badInterval);
        row("interval 0.4: rounds to 0", interval, u"0.4"_s, u"1"_s, badInterval);
        row("interval tab and full-width blank, half to even", interval, u"\t2.5\u3000"_s, u"2"_s, u"=2"_s);
        row("interval plus sign and zeros", interval, u"+0060"_s, u"60"_s, u"=60"_s);
        row("interval exponent: not a number", interval, u"1e2"_s, u"60"_s, badInterval);
        row("interval 0.000...1: underflow is 0", interval, u"0."_s + QString(400, u'0') + u'1', u"1"_s, badInterval);
        row("interval of 400 digits: overflow", interval, QString(400, u'9'), u"1440"_s, badInterval);
        row("threads 10", threads, u"10"_s, u"10"_s, u"=10"_s);
        row("threads 11: above the range", threads, u"11"_s, u"10"_s, badThreads);
        row("threads not a number", threads, u"many"_s, u"5"_s, badThreads);
        row("separator of one blank", separator, u" "_s, u" "_s, u"= "_s);
        row("separator empty", separator, QString(), QString(), u"不能为空!"_s);
        row("login in upper case", login, u"HTTP://EXAMPLE/"_s, u"HTTP://EXAMPLE/"_s, u"=HTTP://EXAMPLE/"_s);
        row("login merely starting with http", login, u"httpfoo"_s, u"httpfoo"_s, u"=httpfoo"_s);
        row("login with a leading blank", login, u" http://x"_s, u" http://x"_s, u"登陆网址格式错误!"_s);
    }
    void settingText()
    {
        QFETCH(TextCase, c);
        MemorySettingsStore store;
        store.setValue(c.key, c.text);
        DownloadSettings settings(store);
        settings.load();
        QCOMPARE(fields(settings).value(c.key), c.loaded);
        QCOMPARE(store.saveCount(), c.rewritten ? 2 : 1);
        QCOMPARE(store.values(), (Settings{{c.key, c.rewritten ? c.loaded : c.text}}));
        const auto shown = [](const auto &check) {
            return check.accepted() ? u"="_s + QVariant(*check.value).toString() + check.message : check.message;
        };
        QCOMPARE(c.key == interval ? shown(checkIntervalMinutes(c.text)) : c.key == threads ? shown(checkThreadCount(c.text))
                 : c.key == separator ? shown(checkSeparator(c.text)) : c.key == login ? shown(checkLoginUrl(c.text)) : QString(),
                 c.typed);
    }

    // Accepted changes, numbers clamped, are in the file at once under their exact keys and come back
    // after a restart; a run's overrides and the save-name step's separator stay in memory. The file
    // keeps a key with and without a trailing blank apart, blanks and specials in values and an empty
    // text as a value; a hand-edited list reads as one text. The user's own file is named after the program.
    void settingsSurviveARestart()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"Quillmoor.conf"_s), specials = u"  @a,b;c=d\"\\\t#  "_s;
        QSettingsStore written(file);
        DownloadSettings settings(written);
        settings.setIntervalMinutes(5000);
        settings.setNameMethod(byUrl);
        settings.setCollisionMethod(u"覆盖"_s);
        settings.setSeparator(u" "_s);
        settings.setThreadCount(0);
        settings.setSaveFolder(u"/home/用户/下 载"_s);
        settings.setDownloadMode(pageMode);
        settings.setLoginUrl(u"HTTPS://例子.test/登陆?a=1,b=2"_s);
        written.setValue(u"保存路径"_s, specials);
        written.setValue(u"empty"_s, QString());
        QSettings(file, QSettings::IniFormat).setValue(u"下载设置/edited"_s, QStringList{u"a"_s, u"b"_s});
        const Settings accepted = fields(settings);
        settings.overrideThreadCount(99);
        settings.overrideSeparator(u"|"_s);
        settings.overrideDownloadMode(u"快速下载"_s);
        settings.appendSeparatorToSaveFolderInMemory();
        settings.appendSeparatorToSaveFolderInMemory();
        QCOMPARE(settings.threadCount(), 10);
        QCOMPARE(settings.saveFolder(), u"/home/用户/下 载/"_s);
        QSettingsStore store(file);
        for (auto it = accepted.cbegin(); it != accepted.cend(); ++it)
            QCOMPARE(store.value(it.key(), u"<absent>"_s), it.value());
        QCOMPARE(QStringList({store.value(u"保存路径"_s, {}), store.value(u"empty"_s, u"<absent>"_s), store.value(u"edited"_s, {}),
                              store.value(u"absent"_s, u"5"_s)}), QStringList({specials, QString(), u"a, b"_s, u"5"_s}));
        DownloadSettings restarted(store);
        restarted.load();
        QCOMPARE(fields(restarted), accepted);
        QStandardPaths::setTestModeEnabled(true);
        QCOMPARE(QSettingsStore().fileName(),
                 QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/Quillmoor/Quillmoor.conf"_s);
    }

    // The folder is given without its separator: the step adds it, in memory only.
    void saveName_data()
    {
        QTest::addColumn<SaveCase>("c");
        const QString page = u"http://h/x.htm"_s;
        const auto row = [](const char *name, const QString &rule, const QString &link, const QString &url,
                            const QString &file, const QString &same = autoRename, const QStringList &existing = {}) {
            QTest::newRow(name) << SaveCase{rule, same, link, url, existing, file};
        };
        row("address: six characters are an extension", byUrl, {}, u"http://h/a.abcdef"_s, u"a.abcdef"_s);
        row("address: seven are none", byUrl, {}, u"http://h/a.abcdefg"_s, u"a.htm"_s);
        row("address without a slash: all of it, extension twice", byUrl, {}, u" abc.txt "_s, u"abc.txt.txt"_s);
        row("address ending in a slash", byUrl, {}, u"http://h/dir/"_s, u"临时文件名.htm"_s);
        row("address with a dot in the host only", byUrl, {}, u"http://h.com/dir/file"_s, u"file.htm"_s);
        row("address: backslashes, last dot, %20", byUrl, {}, u"http://h\\a.b\\c%20d.tar.gz"_s, u"c d.tar.gz"_s);
        row("name rule compared exactly", byLink + u' ', u"名字"_s, u"http://h/other.pdf"_s, u"other.pdf"_s);
        row("link name cleaned, the address's extension", byLink, u"a\\b/c:d*e?f\"g<h>i|j%20k%2F"_s, u"http://h/x.pdf"_s,
            u"abcdefghij k%2F.pdf"_s);
        row("link name: only blanks trimmed, first; tab and %20 become blanks", byLink, u"\tx%20"_s, page, u" x .htm"_s);
        row("link name of dots only", byLink, u".."_s, page, u"临时文件名.htm"_s);
        row("unknown rule renames to the first free counter", byLink, u"r"_s, page, u"r[2].htm"_s, u"其他"_s,
            {u"r.htm"_s, u"r[1].htm"_s});
        row("255 bytes on a character boundary, counter and extension kept", byLink, QString(300, u'中'), page,
            QString(82, u'中') + u"[1].htm"_s, autoRename, {QString(83, u'中') + u".htm"_s});
    }
    void saveName()
    {
        QFETCH(SaveCase, c);
        QTemporaryDir dir;
        for (const QString &name : std::as_const(c.existing))
            QVERIFY(TestFiles::write(dir.filePath(name), "x"));
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(dir.path());
        settings.overrideNameMethod(c.nameRule);
        settings.overrideCollisionMethod(c.sameRule);
        const SaveName name = decideSaveName(settings, c.linkName, c.url);
        QCOMPARE(name.outcome, SaveName::Outcome::Start);
        QCOMPARE(name.savePath, dir.path() + u'/' + c.fileName);
        // Deciding creates and stores nothing.
        QCOMPARE(TestFiles::entries(dir.path()).size(), c.existing.size());
        QCOMPARE(store.saveCount(), 0);
    }

    // Under the URL-name rule the server's file name wins; an address without extension takes the
    // server's (from the file name, else a common type). The link-name rule keeps its name.
    void namesFromTheServer_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("disposition");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QString>("file");
        const QString php = u"http://h/download.php?id=7"_s, bare = u"http://h/get/7"_s;
        QTest::newRow("url rule: the server's name") << byUrl << php << "attachment; filename=\"report.pdf\""_ba
                                                    << "application/pdf"_ba << u"report.pdf"_s;
        QTest::newRow("url rule: filename* first, its path dropped, cleaned")
            << byUrl << php << "attachment; filename=\"a.txt\"; filename*=UTF-8''..%2F%E6%8A%A5%E5%91%8A%3F.pdf"_ba
            << QByteArray() << u"报告.pdf"_s;
        QTest::newRow("url rule: no disposition keeps the address's name") << byUrl << php << QByteArray()
                                                                           << "application/pdf"_ba << u"download.php"_s;
        QTest::newRow("link rule: the name stays, the extension the server's") << byLink << bare
            << "inline; filename=r.zip"_ba << "application/pdf"_ba << u"名字.zip"_s;
        QTest::newRow("no extension: from the type") << byLink << bare << QByteArray() << "image/jpeg; q=1"_ba
                                                     << u"名字.jpg"_s;
        QTest::newRow("no extension, unknown type: htm") << byUrl << bare << QByteArray() << "application/x-what"_ba
                                                         << u"7.htm"_s;
        QTest::newRow("an extension in the address stays") << byLink << u"http://h/a.pdf"_s << "attachment; filename=b.zip"_ba
                                                           << "image/png"_ba << u"名字.pdf"_s;
    }
    void namesFromTheServer()
    {
        QFETCH(QString, rule);
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(u"/d"_s);
        settings.overrideNameMethod(rule);
        QFETCH(QString, url);
        QFETCH(QByteArray, disposition);
        QFETCH(QByteArray, type);
        const SaveName named = serverSaveName(decideSaveName(settings, u"名字"_s, url), contentDispositionFileName(disposition), type);
        QTEST(named.savePath.mid(3), "file");
    }

    // A dangling link is an entry a write replaces; a folder or a link to one is no file. A file
    // address is read in any case, its escapes as written.
    void localFileExists()
    {
        QTemporaryDir dir;
        const QString at = dir.path() + u'/';
        QVERIFY(TestFiles::write(at + u"a%20b"_s, "x") && QDir(at).mkdir(u"folder"_s));
        QVERIFY(QFile::link(at + u"folder"_s, at + u"link"_s) && QFile::link(at + u"nowhere"_s, at + u"dangling"_s));
        QList<bool> found;
        for (const QString &path : {at + u"folder"_s, at + u"link"_s, at + u"dangling"_s, u"FILE://"_s + at + u"a%20b"_s})
            found.append(::localFileExists(path));
        QCOMPARE(found, (QList<bool>{false, false, true, true}));
    }

    // A path another slot is writing counts as a file. Renaming takes the next free counter, the next row
    // of the name counting on from there, and gives up past [32767]; overwriting waits for that slot.
    void pathsOtherSlotsAreWriting()
    {
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.overrideSaveFolder(u"/nonexistent-folder/"_s);
        RenameCounters counters;
        int asked = 0;
        QString free = u"/nonexistent-folder/r[2].htm"_s, last;
        const auto taken = [&](const QString &path) { ++asked; last = path; return path != free; };
        QCOMPARE(decideSaveName(settings, u"r"_s, u"http://h/r.htm"_s, taken, &counters).savePath, free);
        asked = 0;
        free.clear();
        QCOMPARE(decideSaveName(settings, u"r"_s, u"http://h/r.htm"_s, taken, &counters).outcome, SaveName::Outcome::Skip);
        QCOMPARE(asked, 1 + 32767 - 2); // r.htm, then r[3] to r[32767]
        QCOMPARE(last, u"/nonexistent-folder/r[32767].htm"_s);
        settings.overrideCollisionMethod(u"覆盖"_s);
        QCOMPARE(decideSaveName(settings, u"r"_s, u"http://h/r.htm"_s, taken).outcome, SaveName::Outcome::Wait);
    }

    // Bytes and text alike unless "text" says how the text differs; the bytes tell whether they got one.
    void baseElement_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, const QByteArray &source, const QByteArray &expected,
                            const QString &text = {}) { QTest::newRow(name) << source << expected << text; };
        const QByteArray e = u" <Base href='http://h/网页.htm?a=&#39;&gt;&lt;b&amp;c' target='_blank'> "_s.toUtf8();
        const QByteArray p = e.trimmed();
        row("head with attributes is none: before body", "<head lang=zh></head><body class=a>x",
            "<head lang=zh></head>" + e + "<body class=a>x");
        row("the first head, even after a body", "<body>a<head>b<head>", "<body>a<head>" + e + "b<head>");
        row("html alone: after it", "<Html>t", "<Html>" + e + "t");
        row("html with attributes only: in front", "<html lang=en>t", p + "<html lang=en>t");
        row("a base reference in any case: unchanged", "<HEAD><BaSe HrEf='/'>", "<HEAD><BaSe HrEf='/'>");
        row("a base element without href is none", "<head><base target=_self>", "<head>" + e + "<base target=_self>");
        row("other bytes kept", QByteArray("\xff\0\xd6\xd0\r\n<BODY>", 12), QByteArray("\xff\0\xd6\xd0\r\n", 6) + e + "<BODY>");
        row("blanks: the text gives the address", "  ", p + "  ", pageAddress);
        row("a tab is no blank", "\t", p + "\t");
        const QByteArray big(1000000 - 6, 'x');
        row("text at its size limit", "<head>" + big, "<head>" + e + big);
        row("text over it: unchanged", "<head>x" + big, "<head>" + e + 'x' + big, QString::fromUtf8("<head>x" + big));
    }
    void baseElement()
    {
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, expected);
        QFETCH(QString, text);
        QCOMPARE(insertBaseElement(QString::fromUtf8(source), pageAddress), text.isNull() ? QString::fromUtf8(expected) : text);
        bool inserted = expected == source;
        QCOMPARE(insertBaseElementIntoBytes(source, pageAddress, &inserted), expected);
        QCOMPARE(inserted, expected != source);
    }

    // Stored: a line a pair, TAB between the texts, \ TAB LF CR escaped inside them; hand-edited lines
    // without a TAB or with nothing to find are skipped, a stray or last backslash stands for itself.
    // Each change is stored at once; switched on, the pairs apply in list order, each on the result of
    // the one before, case-sensitive.
    void pageSourceReplacements()
    {
        const Pairs pairs{{u" a\tb"_s, u"c\nd\\"_s}, {u"\\t"_s, u"\r"_s}, {u"中"_s, QString()}};
        const QString stored = u" a\\tb\tc\\nd\\\\\n\\\\t\t\\r\n中\t"_s;
        QCOMPARE(PageSourceReplacements::encode(pairs), stored);
        QCOMPARE(PageSourceReplacements::decode(stored), pairs);
        QCOMPARE(PageSourceReplacements::decode(u"no tab\n\tempty find\n\n x \t y \\q\nend\\\t1"_s),
                 (Pairs{{u" x "_s, u" y q"_s}, {u"end\\"_s, u"1"_s}}));
        MemorySettingsStore store;
        PageSourceReplacements replacements(store);
        QVERIFY(!replacements.add(QString(), u"x"_s));
        QVERIFY(replacements.add(u"a"_s, u"b"_s) && replacements.add(u"b"_s, u"c"_s) && replacements.add(u"d"_s, u"e"_s));
        QVERIFY(replacements.removeAt(2) && !replacements.removeAt(2));
        QCOMPARE(replacements.apply(u"aAb"_s), u"aAb"_s);
        replacements.setEnabled(true);
        QCOMPARE(store.values(), (Settings{{u"替换源代码"_s, u"1"_s}, {u"替换内容"_s, u"a\tb\nb\tc"_s}}));
        PageSourceReplacements again(store);
        QCOMPARE(again.apply(u"aAb"_s), u"cAc"_s);
        again.setEnabled(false);
        QCOMPARE(PageSourceReplacements(store).apply(u"aAb"_s), u"aAb"_s);
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
