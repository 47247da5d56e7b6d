#include "engine/DownloadSettings.h"
#include "platform/MemorySettingsStore.h"
#include "platform/QSettingsStore.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// The field that belongs to a store key, as text.
QString fieldFor(const DownloadSettings &settings, const QString &key)
{
    if (key == DownloadSettings::keyInterval())
        return QString::number(settings.intervalMinutes());
    if (key == DownloadSettings::keyNameMethod())
        return settings.nameMethod();
    if (key == DownloadSettings::keyCollisionMethod())
        return settings.collisionMethod();
    if (key == DownloadSettings::keySeparator())
        return settings.separator();
    if (key == DownloadSettings::keyThreadCount())
        return QString::number(settings.threadCount());
    if (key == DownloadSettings::keySaveFolder())
        return settings.saveFolder();
    if (key == DownloadSettings::keyDownloadMode())
        return settings.downloadMode();
    return settings.loginUrl();
}

const QString NotWritten = u"<not written>"_s;

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void emptyStoreGivesDefaultsAndWritesNothing()
    {
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.load();
        QCOMPARE(settings.intervalMinutes(), 60);
        QCOMPARE(settings.nameMethod(), u"链接名称"_s);
        QCOMPARE(settings.collisionMethod(), u"自动重命名"_s);
        QCOMPARE(settings.separator(), u"->"_s);
        QCOMPARE(settings.threadCount(), 5);
        QCOMPARE(settings.saveFolder(), DownloadSettings::defaultSaveFolder());
        QVERIFY(settings.fastMode());
        QCOMPARE(settings.loginUrl(), u"http://localhost/"_s);
        QVERIFY(startsWithHttp(settings.loginUrl()));
        QCOMPARE(store.saveCount(), 0);
        const QString folder = DownloadSettings::defaultSaveFolder();
        QVERIFY(!folder.isEmpty());
        QVERIFY(folder == u"/"_s || !folder.endsWith(u'/'));
    }

    // One stored value, what load makes of it in memory, and what the store holds afterwards.
    void loadStoredValue_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("inMemory");
        QTest::addColumn<QString>("storedAfter"); // NotWritten when load must not write the key

        const QString name = DownloadSettings::keyNameMethod();
        const QString same = DownloadSettings::keyCollisionMethod();
        const QString mode = DownloadSettings::keyDownloadMode();
        const QString interval = DownloadSettings::keyInterval();
        const QString threads = DownloadSettings::keyThreadCount();
        const QString page = DownloadSettings::modePage();

        QTest::newRow("name: link name kept, not rewritten") << name << u"链接名称"_s << u"链接名称"_s << NotWritten;
        QTest::newRow("name: own file name written back") << name << u"原文件名"_s << u"原文件名"_s << u"原文件名"_s;
        QTest::newRow("name: junk becomes own file name") << name << u"xyz"_s << u"原文件名"_s << u"原文件名"_s;
        QTest::newRow("name: trailing blank is not the caption") << name << u"链接名称 "_s << u"原文件名"_s << u"原文件名"_s;
        QTest::newRow("same name: skip written back") << same << u"跳过"_s << u"跳过"_s << u"跳过"_s;
        QTest::newRow("same name: overwrite written back") << same << u"覆盖"_s << u"覆盖"_s << u"覆盖"_s;
        QTest::newRow("same name: rename kept, not rewritten") << same << u"自动重命名"_s << u"自动重命名"_s << NotWritten;
        QTest::newRow("same name: junk becomes rename") << same << u"skip"_s << u"自动重命名"_s << u"自动重命名"_s;
        QTest::newRow("same name: empty becomes rename") << same << QString() << u"自动重命名"_s << u"自动重命名"_s;
        QTest::newRow("mode: fast kept, not rewritten") << mode << u"快速下载"_s << u"快速下载"_s << NotWritten;
        QTest::newRow("mode: page written back") << mode << page << page << page;
        QTest::newRow("mode: junk becomes page") << mode << u"slow"_s << page << page;
        QTest::newRow("mode: empty becomes page") << mode << QString() << page << page;
        QTest::newRow("interval: in range") << interval << u"1440"_s << u"1440"_s << NotWritten;
        QTest::newRow("interval: not a number gives 60") << interval << u"abc"_s << u"60"_s << NotWritten;
        QTest::newRow("interval: empty gives 60") << interval << QString() << u"60"_s << NotWritten;
        QTest::newRow("interval: 0 clamped to 1") << interval << u"0"_s << u"1"_s << NotWritten;
        QTest::newRow("interval: negative clamped to 1") << interval << u"-7"_s << u"1"_s << NotWritten;
        QTest::newRow("interval: 1441 clamped") << interval << u"1441"_s << u"1440"_s << NotWritten;
        QTest::newRow("interval: too long for a double clamped") << interval << QString(400, u'9') << u"1440"_s
                                                                  << NotWritten;
        QTest::newRow("interval: blanks and fraction") << interval << u" 2.5 "_s << u"2"_s << NotWritten;
        QTest::newRow("threads: not a number gives 5") << threads << u"many"_s << u"5"_s << NotWritten;
        QTest::newRow("threads: exponent is not a number") << threads << u"1e1"_s << u"5"_s << NotWritten;
        QTest::newRow("threads: 0 clamped to 1") << threads << u"0"_s << u"1"_s << NotWritten;
        QTest::newRow("threads: 0.4 clamped to 1") << threads << u"0.4"_s << u"1"_s << NotWritten;
        QTest::newRow("threads: 11 clamped to 10") << threads << u"11"_s << u"10"_s << NotWritten;
        QTest::newRow("threads: 32768 clamped to 10") << threads << u"32768"_s << u"10"_s << NotWritten;
        QTest::newRow("threads: 3.5 rounds to even") << threads << u"3.5"_s << u"4"_s << NotWritten;
        QTest::newRow("separator: one blank kept") << DownloadSettings::keySeparator() << u" "_s << u" "_s << NotWritten;
        QTest::newRow("folder: kept as stored") << DownloadSettings::keySaveFolder() << u"/srv/下载"_s << u"/srv/下载"_s
                                                << NotWritten;
        QTest::newRow("folder: empty gives the download folder") << DownloadSettings::keySaveFolder() << u""_s
                                                                 << DownloadSettings::defaultSaveFolder() << NotWritten;
        QTest::newRow("login: kept as stored") << DownloadSettings::keyLoginUrl() << u"https://x/登陆"_s
                                               << u"https://x/登陆"_s << NotWritten;
    }

    void loadStoredValue()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, inMemory);
        QFETCH(QString, storedAfter);

        MemorySettingsStore store;
        store.SaveSetting(key, stored);
        DownloadSettings settings(store);
        settings.load();

        QCOMPARE(fieldFor(settings, key), inMemory);
        if (storedAfter == NotWritten) {
            QCOMPARE(store.saveCount(), 1);
            QCOMPARE(store.values().value(key), stored);
        } else {
            QCOMPARE(store.saveCount(), 2);
            QCOMPARE(store.values().value(key), storedAfter);
        }
        // No other key is created by loading.
        QCOMPARE(store.values().size(), 1);
    }

    // Both number boxes: 0 in "expected" means refused with the box's message.
    void numberCheck_data()
    {
        QTest::addColumn<bool>("threads");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");

        const auto interval = [](const char *name, const QString &text, int expected) {
            QTest::newRow(name) << false << text << expected;
        };
        const auto threads = [](const char *name, const QString &text, int expected) {
            QTest::newRow(name) << true << text << expected;
        };
        interval("interval 1 accepted", u"1"_s, 1);
        interval("interval 1440 accepted", u"1440"_s, 1440);
        interval("interval 0 refused", u"0"_s, 0);
        interval("interval 1441 refused", u"1441"_s, 0);
        interval("interval abc refused", u"abc"_s, 0);
        interval("interval empty refused", QString(), 0);
        interval("interval blanks only refused", u"   "_s, 0);
        interval("interval minus zero refused", u"-0"_s, 0);
        interval("interval plus sign and zeros", u"+0060"_s, 60);
        interval("interval tab and full-width blank around", u"\t60\u3000"_s, 60);
        interval("interval half rounds to even (down)", u"2.5"_s, 2);
        interval("interval half rounds to even (up)", u"3.5"_s, 4);
        interval("interval trailing point", u"7."_s, 7);
        interval("interval 1440.4 above the range", u"1440.4"_s, 0);
        interval("interval .6 rounds to 1", u".6"_s, 1);
        interval("interval point alone refused", u"."_s, 0);
        interval("interval two points refused", u"1.2.3"_s, 0);
        interval("interval thousands separator refused", u"1,000"_s, 0);
        interval("interval exponent refused", u"1e2"_s, 0);
        interval("interval blank inside refused", u"1 0"_s, 0);
        interval("interval full-width digit refused", u"\uFF15"_s, 0);
        interval("interval 100000 digits refused", QString(100000, u'9'), 0);
        interval("interval 100000 zeros then 5", QString(100000, u'0') + u"5"_s, 5);
        interval("interval tiny fraction refused", u"0."_s + QString(100000, u'0') + u"1"_s, 0);
        threads("threads 1 accepted", u"1"_s, 1);
        threads("threads 10 accepted", u"10"_s, 10);
        threads("threads 0 refused", u"0"_s, 0);
        threads("threads 11 refused", u"11"_s, 0);
        threads("threads -1 refused", u"-1"_s, 0);
        threads("threads 1440 refused", u"1440"_s, 0);
        threads("threads blank 5 blank", u" 5 "_s, 5);
        threads("threads .5 rounds to 0, refused", u".5"_s, 0);
        threads("threads 9.5 rounds to even 10", u"9.5"_s, 10);
        threads("threads 10.5 above the range", u"10.5"_s, 0);
        threads("threads junk refused", u"5a"_s, 0);
    }

    void numberCheck()
    {
        QFETCH(bool, threads);
        QFETCH(QString, text);
        QFETCH(int, expected);
        const SettingCheck<int> check = threads ? checkThreadCount(text) : checkIntervalMinutes(text);
        if (expected == 0) {
            QVERIFY(!check.accepted());
            QCOMPARE(check.message, threads ? u"必须填入大于0,小于11的数字！"_s : u"必须填入大于1,小于1440的数字！"_s);
        } else {
            QVERIFY(check.accepted());
            QVERIFY(check.message.isEmpty());
            QCOMPARE(*check.value, expected);
        }
    }

    // What an accepted entry leaves in the store: plain decimal digits.
    void acceptedNumbersAreStoredAsDigits_data()
    {
        QTest::addColumn<bool>("threads");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored");

        QTest::newRow("threads: blank 5 blank") << true << u" 5 "_s << u"5"_s;
        QTest::newRow("threads: plus sign and zeros") << true << u"+007"_s << u"7"_s;
        QTest::newRow("threads: fraction") << true << u"9.5"_s << u"10"_s;
        QTest::newRow("interval: 1") << false << u"1"_s << u"1"_s;
        QTest::newRow("interval: 1440") << false << u"1440"_s << u"1440"_s;
        QTest::newRow("interval: leading zeros") << false << u"0120"_s << u"120"_s;
    }

    void acceptedNumbersAreStoredAsDigits()
    {
        QFETCH(bool, threads);
        QFETCH(QString, text);
        QFETCH(QString, stored);
        MemorySettingsStore store;
        DownloadSettings settings(store);
        if (threads) {
            settings.setThreadCount(*checkThreadCount(text).value);
            QCOMPARE(store.values().value(DownloadSettings::keyThreadCount()), stored);
        } else {
            settings.setIntervalMinutes(*checkIntervalMinutes(text).value);
            QCOMPARE(store.values().value(DownloadSettings::keyInterval()), stored);
        }
        QCOMPARE(store.saveCount(), 1);
    }

    void settersNeverStoreOutOfRange()
    {
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.setThreadCount(0);
        QCOMPARE(settings.threadCount(), 1);
        QCOMPARE(store.values().value(DownloadSettings::keyThreadCount()), u"1"_s);
        settings.setIntervalMinutes(5000);
        QCOMPARE(store.values().value(DownloadSettings::keyInterval()), u"1440"_s);
        settings.overrideThreadCount(99);
        QCOMPARE(settings.threadCount(), 10);
    }

    void separatorCheck_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("one blank accepted as is") << u" "_s << true;
        QTest::newRow("blanks around kept") << u" -> "_s << true;
        QTest::newRow("default") << u"->"_s << true;
        QTest::newRow("Chinese") << u"——"_s << true;
        QTest::newRow("empty refused") << QString() << false;
    }

    void separatorCheck()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const SettingCheck<QString> check = checkSeparator(text);
        QCOMPARE(check.accepted(), accepted);
        if (!accepted) {
            QCOMPARE(check.message, u"不能为空!"_s);
            return;
        }
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.setSeparator(*check.value);
        QCOMPARE(store.values().value(DownloadSettings::keySeparator()), text);
        QCOMPARE(settings.separator(), text);
    }

    void loginCheck_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("HTTP:// accepted") << u"HTTP://EXAMPLE/"_s << true;
        QTest::newRow("https:// accepted") << u"https://example/login"_s << true;
        QTest::newRow("mixed case") << u"hTtP://x"_s << true;
        QTest::newRow("merely starts with http") << u"httpfoo"_s << true;
        QTest::newRow("ftp:// refused") << u"ftp://example/"_s << false;
        QTest::newRow("htt refused") << u"htt"_s << false;
        QTest::newRow("leading blank refused") << u" http://x"_s << false;
        QTest::newRow("empty refused") << QString() << false;
        QTest::newRow("full-width letters refused") << u"\uFF48\uFF54\uFF54\uFF50://x"_s << false;
    }

    void loginCheck()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const SettingCheck<QString> check = checkLoginUrl(text);
        QCOMPARE(check.accepted(), accepted);
        QCOMPARE(startsWithHttp(text), accepted);
        if (accepted)
            QCOMPARE(*check.value, text); // stored as typed
        else
            QCOMPARE(check.message, u"登陆网址格式错误!"_s);
    }

    void addBackslash_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");

        QTest::newRow("root stays") << u"/"_s << u"/"_s;
        QTest::newRow("folder gets one") << u"/home/u/abc"_s << u"/home/u/abc/"_s;
        QTest::newRow("already ends with one") << u"/home/u/abc/"_s << u"/home/u/abc/"_s;
        QTest::newRow("Chinese folder") << u"/home/u/下载"_s << u"/home/u/下载/"_s;
        QTest::newRow("empty") << QString() << u"/"_s;
    }

    void addBackslash()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(AddBackslash(path), expected);
    }

    void memoryOnlyChangesDoNotTouchTheStore()
    {
        MemorySettingsStore store;
        store.SaveSetting(DownloadSettings::keySaveFolder(), u"/data/files"_s);
        DownloadSettings settings(store);
        settings.load();
        settings.appendSeparatorToSaveFolderInMemory();
        QCOMPARE(settings.saveFolder(), u"/data/files/"_s);
        settings.overrideDownloadMode(DownloadSettings::modePage());
        settings.overrideSeparator(u"|"_s);
        QCOMPARE(store.saveCount(), 1);
        QCOMPARE(store.values().value(DownloadSettings::keySaveFolder()), u"/data/files"_s);
    }

    void hugeAndOddInputsDoNotCrash()
    {
        const QList<QString> inputs{QString(100000, u'x'), QString(100000, u'中'), QString(100000, u' '),
                                    QString(100000, u'.'), QString(3, QChar(0)),
                                    QString(1, QChar(0xD800)) + u"http"_s};
        for (const QString &text : inputs) {
            QVERIFY(!checkIntervalMinutes(text).accepted());
            QVERIFY(!checkThreadCount(text).accepted());
            QVERIFY(checkSeparator(text).accepted());
            QVERIFY(!checkLoginUrl(text).accepted());
            QVERIFY(!lenientNumber(text).has_value());
        }
        QVERIFY(checkLoginUrl(u"http"_s + QString(100000, u'中')).accepted());
    }

    // Every setter through a real settings file, read back by a fresh store and record.
    void settingsSurviveARestart()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(u"Quillmoor.conf"_s);
        {
            QSettingsStore store(file);
            DownloadSettings settings(store);
            settings.load();
            settings.setIntervalMinutes(*checkIntervalMinutes(u" 1440 "_s).value);
            settings.setNameMethod(DownloadSettings::nameByUrl());
            settings.setCollisionMethod(DownloadSettings::collisionOverwrite());
            settings.setSeparator(u" "_s);
            settings.setThreadCount(*checkThreadCount(u"10"_s).value);
            settings.setSaveFolder(u"/home/用户/下 载/"_s);
            settings.setDownloadMode(DownloadSettings::modePage());
            settings.setLoginUrl(u"HTTPS://例子.test/登陆?a=1,b=2"_s);
        }
        QSettingsStore store(file);
        DownloadSettings settings(store);
        settings.load();
        QCOMPARE(settings.intervalMinutes(), 1440);
        QCOMPARE(settings.nameMethod(), DownloadSettings::nameByUrl());
        QCOMPARE(settings.collisionMethod(), DownloadSettings::collisionOverwrite());
        QCOMPARE(settings.separator(), u" "_s);
        QCOMPARE(settings.threadCount(), 10);
        QCOMPARE(settings.saveFolder(), u"/home/用户/下 载/"_s);
        QCOMPARE(settings.downloadMode(), DownloadSettings::modePage());
        QVERIFY(!settings.fastMode());
        QCOMPARE(settings.loginUrl(), u"HTTPS://例子.test/登陆?a=1,b=2"_s);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
