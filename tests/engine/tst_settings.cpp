#include "engine/DownloadSettings.h"
#include "platform/MemorySettingsStore.h"
#include "platform/QSettingsStore.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

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
        QCOMPARE(store.saveCount(), 0);
        const QString folder = DownloadSettings::defaultSaveFolder();
        QVERIFY(folder == u"/"_s || !folder.endsWith(u'/'));
    }

    void loadStoredValue_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("inMemory");
        QTest::addColumn<QString>("storedAfter");

        const QString name = DownloadSettings::keyNameMethod();
        const QString same = DownloadSettings::keyCollisionMethod();
        const QString mode = DownloadSettings::keyDownloadMode();
        const QString interval = DownloadSettings::keyInterval();
        const QString threads = DownloadSettings::keyThreadCount();
        const QString page = DownloadSettings::modePage();

        QTest::newRow("name: link name kept, not rewritten") << name << u"链接名称"_s << u"链接名称"_s << NotWritten;
        QTest::newRow("name: own file name written back") << name << u"原文件名"_s << u"原文件名"_s << u"原文件名"_s;
        QTest::newRow("name: trailing blank is junk, own file name") << name << u"链接名称 "_s << u"原文件名"_s
                                                                     << u"原文件名"_s;
        QTest::newRow("same name: overwrite written back") << same << u"覆盖"_s << u"覆盖"_s << u"覆盖"_s;
        QTest::newRow("same name: rename kept, not rewritten") << same << u"自动重命名"_s << u"自动重命名"_s << NotWritten;
        QTest::newRow("same name: junk becomes rename") << same << u"skip"_s << u"自动重命名"_s << u"自动重命名"_s;
        QTest::newRow("mode: page written back") << mode << page << page << page;
        QTest::newRow("mode: junk becomes page") << mode << u"slow"_s << page << page;
        QTest::newRow("interval: not a number gives 60") << interval << u"abc"_s << u"60"_s << NotWritten;
        QTest::newRow("interval: 0 clamped to 1") << interval << u"0"_s << u"1"_s << NotWritten;
        QTest::newRow("interval: 1441 clamped to 1440") << interval << u"1441"_s << u"1440"_s << NotWritten;
        QTest::newRow("interval: too long for a double clamped") << interval << QString(400, u'9') << u"1440"_s
                                                                  << NotWritten;
        QTest::newRow("interval: blanks and fraction") << interval << u" 2.5 "_s << u"2"_s << NotWritten;
        QTest::newRow("threads: not a number gives 5") << threads << u"many"_s << u"5"_s << NotWritten;
        QTest::newRow("threads: exponent is not a number") << threads << u"1e1"_s << u"5"_s << NotWritten;
        QTest::newRow("threads: 11 clamped to 10") << threads << u"11"_s << u"10"_s << NotWritten;
        QTest::newRow("threads: 3.5 rounds to even") << threads << u"3.5"_s << u"4"_s << NotWritten;
        QTest::newRow("separator: one blank kept") << DownloadSettings::keySeparator() << u" "_s << u" "_s << NotWritten;
        QTest::newRow("folder: empty gives the download folder") << DownloadSettings::keySaveFolder() << u""_s
                                                                 << DownloadSettings::defaultSaveFolder() << NotWritten;
        QTest::newRow("login: not checked on load") << DownloadSettings::keyLoginUrl() << u"ftp://x/登陆"_s
                                                    << u"ftp://x/登陆"_s << NotWritten;
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
        const bool written = storedAfter != NotWritten;
        QCOMPARE(store.saveCount(), written ? 2 : 1);
        QCOMPARE(store.values().value(key), written ? storedAfter : stored);
        QCOMPARE(store.values().size(), 1);
    }

    // 0 in "expected" means refused with the box's message.
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
        interval("interval 1440.4 above the range", u"1440.4"_s, 0);
        interval("interval abc refused", u"abc"_s, 0);
        interval("interval plus sign and zeros", u"+0060"_s, 60);
        interval("interval tab and full-width blank trimmed", u"\t60\u3000"_s, 60);
        interval("interval blank inside refused", u"1 0"_s, 0);
        interval("interval half rounds to even", u"2.5"_s, 2);
        interval("interval exponent refused", u"1e2"_s, 0);
        interval("interval full-width digit refused", u"\uFF15"_s, 0);
        interval("interval 100000 digits refused", QString(100000, u'9'), 0);
        interval("interval 100000 zeros then 5", QString(100000, u'0') + u"5"_s, 5);
        interval("interval tiny fraction refused", u"0."_s + QString(100000, u'0') + u"1"_s, 0);
        threads("threads 1 accepted", u"1"_s, 1);
        threads("threads 10 accepted", u"10"_s, 10);
        threads("threads 0 refused", u"0"_s, 0);
        threads("threads 11 refused", u"11"_s, 0);
        threads("threads blanks trimmed", u" 5 "_s, 5);
        threads("threads 9.5 rounds to even 10", u"9.5"_s, 10);
        threads("threads 10.5 above the range", u"10.5"_s, 0);
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

    void settersNeverStoreOutOfRange()
    {
        MemorySettingsStore store;
        DownloadSettings settings(store);
        settings.setThreadCount(0);
        QCOMPARE(store.values().value(DownloadSettings::keyThreadCount()), u"1"_s);
        settings.setIntervalMinutes(5000);
        QCOMPARE(store.values().value(DownloadSettings::keyInterval()), u"1440"_s);
        settings.overrideThreadCount(99);
        QCOMPARE(settings.threadCount(), 10);
    }

    void textCheck_data()
    {
        QTest::addColumn<bool>("login");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("separator: one blank kept as is") << false << u" "_s << true;
        QTest::newRow("separator: empty refused") << false << QString() << false;
        QTest::newRow("login: upper-case HTTP") << true << u"HTTP://EXAMPLE/"_s << true;
        QTest::newRow("login: merely starts with http") << true << u"httpfoo"_s << true;
        QTest::newRow("login: ftp refused") << true << u"ftp://example/"_s << false;
        QTest::newRow("login: leading blank refused") << true << u" http://x"_s << false;
        QTest::newRow("login: full-width letters refused") << true << u"\uFF48\uFF54\uFF54\uFF50://x"_s << false;
    }

    void textCheck()
    {
        QFETCH(bool, login);
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const SettingCheck<QString> check = login ? checkLoginUrl(text) : checkSeparator(text);
        QCOMPARE(check.accepted(), accepted);
        if (accepted)
            QCOMPARE(*check.value, text);
        else
            QCOMPARE(check.message, login ? u"登陆网址格式错误!"_s : u"不能为空!"_s);
        if (login)
            QCOMPARE(startsWithHttp(text), accepted);
    }

    void addBackslashAddsOneAtMost()
    {
        QCOMPARE(AddBackslash(u"/"_s), u"/"_s);
        QCOMPARE(AddBackslash(u"/home/u/下载"_s), u"/home/u/下载/"_s);
        QCOMPARE(AddBackslash(u"/home/u/abc/"_s), u"/home/u/abc/"_s);
        QCOMPARE(AddBackslash(QString()), u"/"_s);
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
        const QList<QString> inputs{QString(100000, u'中'), QString(100000, u'.'), QString(3, QChar(0)),
                                    QString(1, QChar(0xD800)) + u"http"_s};
        for (const QString &text : inputs) {
            QVERIFY(!checkIntervalMinutes(text).accepted());
            QVERIFY(!checkThreadCount(text).accepted());
            QVERIFY(checkSeparator(text).accepted());
            QVERIFY(!checkLoginUrl(text).accepted());
        }
        QVERIFY(checkLoginUrl(u"http"_s + QString(100000, u'中')).accepted());
    }

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
        QVERIFY(!settings.fastMode());
        QCOMPARE(settings.loginUrl(), u"HTTPS://例子.test/登陆?a=1,b=2"_s);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
