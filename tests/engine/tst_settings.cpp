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
        store.setValue(key, stored);
        DownloadSettings settings(store);
        settings.load();

        QCOMPARE(fieldFor(settings, key), inMemory);
        const bool written = storedAfter != NotWritten;
        QCOMPARE(store.saveCount(), written ? 2 : 1);
        QCOMPARE(store.values().value(key), written ? storedAfter : stored);
        QCOMPARE(store.values().size(), 1);
    }

    // A null "accepted" means refused with the box's message.
    void boxCheck_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("accepted");

        const auto row = [](const char *name, const QString &box, const QString &text, const QString &accepted) {
            QTest::newRow(name) << box << text << accepted;
        };
        const QString interval = u"interval"_s, threads = u"threads"_s, separator = u"separator"_s, login = u"login"_s;
        const QString refused;
        row("interval 1 accepted", interval, u"1"_s, u"1"_s);
        row("interval 1440 accepted", interval, u"1440"_s, u"1440"_s);
        row("interval 0 refused", interval, u"0"_s, refused);
        row("interval 1441 refused", interval, u"1441"_s, refused);
        row("interval 1440.4 above the range", interval, u"1440.4"_s, refused);
        row("interval abc refused", interval, u"abc"_s, refused);
        row("interval plus sign and zeros", interval, u"+0060"_s, u"60"_s);
        row("interval tab and full-width blank trimmed", interval, u"\t60\u3000"_s, u"60"_s);
        row("interval blank inside refused", interval, u"1 0"_s, refused);
        row("interval half rounds to even", interval, u"2.5"_s, u"2"_s);
        row("interval exponent refused", interval, u"1e2"_s, refused);
        row("interval full-width digit refused", interval, u"\uFF15"_s, refused);
        row("interval 100000 digits refused", interval, QString(100000, u'9'), refused);
        row("interval 100000 zeros then 5", interval, QString(100000, u'0') + u"5"_s, u"5"_s);
        row("interval tiny fraction refused", interval, u"0."_s + QString(100000, u'0') + u"1"_s, refused);
        row("threads 1 accepted", threads, u"1"_s, u"1"_s);
        row("threads 10 accepted", threads, u"10"_s, u"10"_s);
        row("threads 0 refused", threads, u"0"_s, refused);
        row("threads 11 refused", threads, u"11"_s, refused);
        row("threads blanks trimmed", threads, u" 5 "_s, u"5"_s);
        row("threads 9.5 rounds to even 10", threads, u"9.5"_s, u"10"_s);
        row("threads 10.5 above the range", threads, u"10.5"_s, refused);
        row("separator of one blank kept as is", separator, u" "_s, u" "_s);
        row("separator empty refused", separator, QString(), refused);
        row("login upper-case HTTP", login, u"HTTP://EXAMPLE/"_s, u"HTTP://EXAMPLE/"_s);
        row("login merely starts with http", login, u"httpfoo"_s, u"httpfoo"_s);
        row("login ftp refused", login, u"ftp://example/"_s, refused);
        row("login leading blank refused", login, u" http://x"_s, refused);
        row("login full-width letters refused", login, u"\uFF48\uFF54\uFF54\uFF50://x"_s, refused);
    }

    void boxCheck()
    {
        QFETCH(QString, box);
        QFETCH(QString, text);
        QFETCH(QString, accepted);
        QString value;
        QString message;
        const auto take = [&](const auto &check, const QString &refusal) {
            if (check.accepted()) {
                QVERIFY(check.message.isEmpty());
                value = QVariant(*check.value).toString();
            } else {
                QCOMPARE(check.message, refusal);
            }
        };
        if (box == u"interval"_s)
            take(checkIntervalMinutes(text), u"必须填入大于1,小于1440的数字！"_s);
        else if (box == u"threads"_s)
            take(checkThreadCount(text), u"必须填入大于0,小于11的数字！"_s);
        else if (box == u"separator"_s)
            take(checkSeparator(text), u"不能为空!"_s);
        else
            take(checkLoginUrl(text), u"登陆网址格式错误!"_s);
        QCOMPARE(value, accepted);
        if (box == u"login"_s)
            QCOMPARE(startsWithHttp(text), !accepted.isNull());
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

    void addBackslashAddsOneAtMost()
    {
        QCOMPARE(withTrailingSeparator(u"/"_s), u"/"_s);
        QCOMPARE(withTrailingSeparator(u"/home/u/下载"_s), u"/home/u/下载/"_s);
        QCOMPARE(withTrailingSeparator(u"/home/u/abc/"_s), u"/home/u/abc/"_s);
        QCOMPARE(withTrailingSeparator(QString()), u"/"_s);
    }

    void memoryOnlyChangesDoNotTouchTheStore()
    {
        MemorySettingsStore store;
        store.setValue(DownloadSettings::keySaveFolder(), u"/data/files"_s);
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
