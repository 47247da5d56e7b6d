#include "platform/QSettingsStore.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // The per-user file is named after the program, in the (test-mode) configuration folder.
    void perUserStoreLocation()
    {
        const QSettingsStore store;
        QCOMPARE(QSettingsStore::applicationName(), u"Quillmoor"_s);
        QCOMPARE(QSettingsStore::sectionName(), u"下载设置"_s);
        const QString configDir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        QCOMPARE(store.fileName(), configDir + u"/Quillmoor/Quillmoor.conf"_s);
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");

        QTest::newRow("same-name key with trailing blank") << u"相同文件名处理方法 "_s << u"跳过"_s;
        QTest::newRow("separator of one blank") << u"连接符"_s << u" "_s;
        QTest::newRow("separator with blanks around") << u"连接符"_s << u"  ->  "_s;
        QTest::newRow("separator of file-format specials") << u"连接符"_s << u"@a,b;c=d\"\\\t#"_s;
        QTest::newRow("login with query") << u"登陆网址"_s << u"https://h/a?x=1,y=2;z#f"_s;
        QTest::newRow("folder key with trailing blank") << u"保存路径 "_s << u"/home/用户/下 载/"_s;
        QTest::newRow("page mode caption") << u"下载方式"_s << u"模拟网页下载(仅用于网页格式的文件！)"_s;
        QTest::newRow("percent escape look-alike") << u"登陆网址"_s << u"http://h/%U4E0B%20"_s;
    }

    void roundTrip()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(u"Quillmoor.conf"_s);

        QSettingsStore writer(file);
        writer.setValue(key, value);
        // Written through at once, read by a second object while the first is alive.
        QVERIFY(QFileInfo(file).size() > 0);
        const QSettingsStore reader(file);
        QCOMPARE(reader.value(key, u"<absent>"_s), value);
        QCOMPARE(writer.value(key, u"<absent>"_s), value);
    }

    void trailingBlankMakesADifferentKey()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"s.conf"_s);
        {
            QSettingsStore store(file);
            store.setValue(u"保存路径 "_s, u"with blank"_s);
            store.setValue(u"保存路径"_s, u"without"_s);
        }
        const QSettingsStore store(file);
        QCOMPARE(store.value(u"保存路径 "_s, {}), u"with blank"_s);
        QCOMPARE(store.value(u"保存路径"_s, {}), u"without"_s);
        QCOMPARE(store.value(u"相同文件名处理方法"_s, u"default"_s), u"default"_s);
    }

    void valuesLiveInTheSection()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"s.conf"_s);
        QSettingsStore(file).setValue(u"下载线程数"_s, u"7"_s);
        QSettings raw(file, QSettings::IniFormat);
        QCOMPARE(raw.childGroups(), QStringList{u"下载设置"_s});
        QCOMPARE(raw.value(u"下载设置/下载线程数"_s).toString(), u"7"_s);
    }

    void replacingAndAbsentKeys()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"s.conf"_s);
        QSettingsStore store(file);
        QCOMPARE(store.value(u"下载方式"_s, u"快速下载"_s), u"快速下载"_s);
        store.setValue(u"下载方式"_s, u"a"_s);
        store.setValue(u"下载方式"_s, u"b"_s);
        QCOMPARE(QSettingsStore(file).value(u"下载方式"_s, {}), u"b"_s);
        // An empty stored text is a value, not an absent key.
        store.setValue(u"连接符"_s, QString());
        QCOMPARE(QSettingsStore(file).value(u"连接符"_s, u"->"_s), QString());
    }

    void handEditedListValueReadsAsText()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"s.conf"_s);
        QSettings raw(file, QSettings::IniFormat);
        raw.setValue(u"下载设置/x"_s, QStringList{u"a"_s, u"b"_s});
        raw.sync();
        QCOMPARE(QSettingsStore(file).value(u"x"_s, {}), u"a, b"_s);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
