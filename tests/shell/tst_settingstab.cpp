#include "engine/DownloadSettings.h"
#include "engine/PageSourceReplacements.h"
#include "platform/MemorySettingsStore.h"
#include "shell/SettingsTab.h"
#include "support/FakeDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString intervalMessage = u"必须填入大于1,小于1440的数字！"_s;
const QString threadMessage = u"必须填入大于0,小于11的数字！"_s;
const QString separatorMessage = u"不能为空!"_s;
const QString loginMessage = u"登陆网址格式错误!"_s;

// One settings tab on an active window, over a store the test may pre-fill.
struct Fixture
{
    explicit Fixture(const QMap<QString, QString> &stored = {})
    {
        for (auto it = stored.begin(); it != stored.end(); ++it)
            store.setValue(it.key(), it.value());
        settings.load();
        tabs.addTab(new QWidget, u"网址列表"_s);
        tab = new SettingsTab(settings, replacements, dialogs);
        tabs.addTab(tab, u"下载设置"_s);
        tabs.setCurrentWidget(tab);
        tabs.show();
        tabs.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&tabs));
        tab->showSettings();
    }

    template <typename T>
    T *child(const QString &name) const
    {
        auto *w = tab->findChild<T *>(name);
        if (!w)
            qFatal("missing control %s", qPrintable(name));
        return w;
    }
    QLineEdit *box(const QString &name) const { return child<QLineEdit>(name); }
    QString stored(const QString &key) const { return store.values().value(key, u"<absent>"_s); }

    // Types the text into the box (after emptying it) and presses Tab to leave it.
    void typeAndLeave(const QString &name, const QString &text)
    {
        QLineEdit *b = box(name);
        b->setFocus(Qt::MouseFocusReason);
        b->setText(text);
        QTest::keyClick(b, Qt::Key_Tab);
        QCoreApplication::processEvents(); // a refusal is shown once the focus has moved
    }

    MemorySettingsStore store;
    DownloadSettings settings{store};
    PageSourceReplacements replacements{store};
    FakeDialogs dialogs;
    QTabWidget tabs;
    SettingsTab *tab = nullptr;
};

// Clicks an option button on its round indicator (a wide button takes clicks only on its
// indicator and caption).
void clickOption(QRadioButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

} // namespace

class TestSettingsTab : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void captions()
    {
        const QList<std::pair<QString, QString>> captions{
            {u"Command6"_s, u"浏览..."_s},       {u"Frame1"_s, u"保存文件名"_s},
            {u"Option2"_s, u"链接名称"_s},       {u"Option1"_s, u"原文件名"_s},
            {u"Frame2"_s, u"对相同文件名"_s},    {u"Option3"_s, u"跳过"_s},
            {u"Option4"_s, u"覆盖"_s},           {u"Option5"_s, u"自动重命名"_s},
            {u"Frame3"_s, u"下载方式"_s},        {u"Option6"_s, u"快速下载"_s},
            {u"Option7"_s, u"模拟网页下载(仅用于网页格式的文件！)"_s},
            {u"Check1"_s, u"定时下载"_s},        {u"Label1"_s, u"导入文件的连接符："_s},
            {u"Label2"_s, u"时间间隔："_s},      {u"Label3"_s, u"（分钟）[取值：1－1440]"_s},
            {u"Label4"_s, u"所有文件保存文件夹："_s}, {u"Label5"_s, u"登陆网址："_s},
            {u"Label6"_s, u"下载线程数："_s},    {u"Label7"_s, u"[1-10个]"_s},
            {u"Frame4"_s, u"   下载网页源代码替换"_s},
        };
        Fixture f;
        for (const auto &[name, caption] : captions) {
            QObject *control = f.tab->findChild<QObject *>(name);
            QVERIFY2(control, qPrintable(name));
            const QVariant text = control->property("text");
            QCOMPARE(text.isValid() ? text.toString() : control->property("title").toString(), caption);
        }
    }

    void startUpFromEmptyStore()
    {
        Fixture f;
        QVERIFY(f.child<QRadioButton>(u"Option2"_s)->isChecked());
        QVERIFY(f.child<QRadioButton>(u"Option5"_s)->isChecked());
        QVERIFY(f.child<QRadioButton>(u"Option6"_s)->isChecked());
        QCOMPARE(f.box(u"Text2"_s)->text(), u"60"_s);
        QCOMPARE(f.box(u"Text4"_s)->text(), u"5"_s);
        QCOMPARE(f.box(u"Text1"_s)->text(), u"->"_s);
        QCOMPARE(f.box(u"Text3"_s)->text(), DownloadSettings::defaultSaveFolder());
        QCOMPARE(f.box(u"Text5"_s)->text(), DownloadSettings::defaultLoginUrl());
        QVERIFY(!f.tab->timedDownloadBox()->isChecked());
        QVERIFY(!f.child<QGroupBox>(u"Frame4"_s)->isChecked());
        QCOMPARE(f.child<QComboBox>(u"Combo1"_s)->currentText(), u"0"_s);
        QVERIFY(f.dialogs.messages.isEmpty());
    }

    void boxLengthsAndReadOnlyFolder()
    {
        Fixture f;
        QVERIFY(f.box(u"Text3"_s)->isReadOnly());
        QTest::keyClicks(f.box(u"Text2"_s), u"12345"_s);
        QCOMPARE(f.box(u"Text2"_s)->text(), u"6012"_s);
        f.box(u"Text4"_s)->clear();
        QTest::keyClicks(f.box(u"Text4"_s), u"123"_s);
        QCOMPARE(f.box(u"Text4"_s)->text(), u"12"_s);
    }

    void startUpRules_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("storedText");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("storedAfter");
        const QString page = DownloadSettings::modePage();
        QTest::newRow("unknown name rule becomes the file's own name")
            << DownloadSettings::keyNameMethod() << u"链接"_s << u"Option1"_s << u"原文件名"_s;
        QTest::newRow("same-name rule with a trailing blank shows and stores rename")
            << DownloadSettings::keyCollisionMethod() << u"跳过 "_s << u"Option5"_s << u"自动重命名"_s;
        QTest::newRow("page mode") << DownloadSettings::keyDownloadMode() << page << u"Option7"_s << page;
    }

    void startUpRules()
    {
        QFETCH(QString, key);
        QFETCH(QString, storedText);
        QFETCH(QString, selected);
        QFETCH(QString, storedAfter);
        Fixture f({{key, storedText}});
        QVERIFY(f.child<QRadioButton>(selected)->isChecked());
        QCOMPARE(f.stored(key), storedAfter);
        QCOMPARE(f.settings.fastMode(), !f.child<QRadioButton>(u"Option7"_s)->isChecked());
    }

    void boxes_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("storedText");
        QTest::addColumn<QString>("message"); // empty: accepted

        const QString interval = DownloadSettings::keyInterval();
        const QString threads = DownloadSettings::keyThreadCount();
        const QString separator = DownloadSettings::keySeparator();
        const QString login = DownloadSettings::keyLoginUrl();
        QTest::newRow("interval 1440 accepted") << u"Text2"_s << u"1440"_s << interval << u"1440"_s << QString();
        QTest::newRow("interval 0 refused") << u"Text2"_s << u"0"_s << interval << QString() << intervalMessage;
        QTest::newRow("interval 1441 refused") << u"Text2"_s << u"1441"_s << interval << QString() << intervalMessage;
        QTest::newRow("threads trailing blank trimmed") << u"Text4"_s << u"5 "_s << threads << u"5"_s << QString();
        QTest::newRow("threads 0 refused") << u"Text4"_s << u"0"_s << threads << QString() << threadMessage;
        QTest::newRow("threads 11 refused") << u"Text4"_s << u"11"_s << threads << QString() << threadMessage;
        QTest::newRow("separator of one blank accepted") << u"Text1"_s << u" "_s << separator << u" "_s << QString();
        QTest::newRow("separator empty refused") << u"Text1"_s << QString() << separator << QString() << separatorMessage;
        QTest::newRow("login capital HTTP accepted") << u"Text5"_s << u"HTTP://Example.org/"_s << login << u"HTTP://Example.org/"_s << QString();
        QTest::newRow("login ftp refused") << u"Text5"_s << u"ftp://a.b/"_s << login << QString() << loginMessage;
        QTest::newRow("login leading blank refused") << u"Text5"_s << u" http://a"_s << login << QString() << loginMessage;
    }

    void boxes()
    {
        QFETCH(QString, box);
        QFETCH(QString, text);
        QFETCH(QString, key);
        QFETCH(QString, storedText);
        QFETCH(QString, message);

        Fixture f;
        const int savesBefore = f.store.saveCount();
        f.typeAndLeave(box, text);

        const bool refused = !message.isEmpty();
        QCOMPARE(f.dialogs.messageTexts(), refused ? QStringList{message} : QStringList{});
        QCOMPARE(f.stored(key), refused ? u"<absent>"_s : storedText);
        QCOMPARE(f.store.saveCount(), savesBefore + (refused ? 0 : 1));
        QCOMPARE(f.box(box)->hasFocus(), refused);
        if (refused) {
            QCOMPARE(f.dialogs.messages.first().icon, Dialogs::Icon::Critical);
            QCOMPARE(f.box(box)->text(), text);
        }
    }

    void acceptedBoxesReachTheRunningSettings()
    {
        Fixture f;
        f.typeAndLeave(u"Text2"_s, u"90"_s);
        f.typeAndLeave(u"Text4"_s, u"3"_s);
        f.typeAndLeave(u"Text1"_s, u"|"_s);
        QCOMPARE(f.settings.intervalMinutes(), 90);
        QCOMPARE(f.settings.threadCount(), 3);
        QCOMPARE(f.settings.separator(), u"|"_s);
    }

    void refusalRepeatsUntilCorrected()
    {
        Fixture f;
        f.typeAndLeave(u"Text2"_s, u"0"_s);
        QTest::keyClick(f.box(u"Text2"_s), Qt::Key_Tab);
        QCoreApplication::processEvents();
        QTest::mouseClick(f.box(u"Text4"_s), Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(f.dialogs.messageTexts(), QStringList(3, intervalMessage));
        QVERIFY(f.box(u"Text2"_s)->hasFocus());
        QCOMPARE(f.stored(DownloadSettings::keyInterval()), u"<absent>"_s);
        f.typeAndLeave(u"Text2"_s, u"30"_s);
        QCOMPARE(f.dialogs.messages.size(), 3);
        QCOMPARE(f.stored(DownloadSettings::keyInterval()), u"30"_s);
    }

    // Text4 follows Text2 in the tab order and is wrong too: only Text2 complains.
    void refusedBoxDoesNotCheckTheBoxItPassedThrough()
    {
        Fixture f;
        f.box(u"Text4"_s)->setText(u"0"_s);
        f.typeAndLeave(u"Text2"_s, u"0"_s);
        QCOMPARE(f.dialogs.messageTexts(), QStringList{intervalMessage});
        QVERIFY(f.box(u"Text2"_s)->hasFocus());
        QCoreApplication::processEvents();
        QCOMPARE(f.dialogs.messages.size(), 1);
    }

    void refusalBringsItsTabBack()
    {
        Fixture f;
        QLineEdit *threads = f.box(u"Text4"_s);
        threads->setFocus(Qt::MouseFocusReason);
        threads->setText(u"99"_s);
        f.tabs.tabBar()->setFocus(Qt::MouseFocusReason);
        f.tabs.setCurrentIndex(0);
        QCoreApplication::processEvents();
        QCOMPARE(f.dialogs.messageTexts(), QStringList{threadMessage});
        QCOMPARE(f.tabs.currentWidget(), f.tab);
        QVERIFY(threads->hasFocus());
    }

    void leavingTheWindowChecksNothing()
    {
        Fixture f;
        f.box(u"Text2"_s)->setFocus(Qt::MouseFocusReason);
        f.box(u"Text2"_s)->setText(u"0"_s);
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QCoreApplication::processEvents();
        QVERIFY(f.dialogs.messages.isEmpty());
    }

    void separatorTextIsTheBoxBeforeItIsLeft()
    {
        Fixture f;
        f.box(u"Text1"_s)->setFocus(Qt::MouseFocusReason);
        QTest::keyClicks(f.box(u"Text1"_s), u"|"_s);
        QCOMPARE(f.tab->separatorText(), u"->|"_s);
        QCOMPARE(f.settings.separator(), u"->"_s);
    }

    void optionClicks_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("storedText");
        const QString name = DownloadSettings::keyNameMethod();
        const QString rule = DownloadSettings::keyCollisionMethod();
        const QString mode = DownloadSettings::keyDownloadMode();
        QTest::newRow("Option1 stores own file name") << u"Option1"_s << name << u"原文件名"_s;
        QTest::newRow("Option3 stores skip") << u"Option3"_s << rule << u"跳过"_s;
        QTest::newRow("Option5 already selected is stored again") << u"Option5"_s << rule << u"自动重命名"_s;
        QTest::newRow("Option7 stores page mode") << u"Option7"_s << mode << u"模拟网页下载(仅用于网页格式的文件！)"_s;
    }

    void optionClicks()
    {
        QFETCH(QString, option);
        QFETCH(QString, key);
        QFETCH(QString, storedText);
        Fixture f;
        const int saves = f.store.saveCount();
        clickOption(f.child<QRadioButton>(option));
        QCOMPARE(f.stored(key), storedText);
        QCOMPARE(f.store.saveCount(), saves + 1);
    }

    void modeChangeRunsBeforeTheModeIsStored()
    {
        Fixture f;
        QStringList storedAtSignal;
        QList<bool> newModes;
        QObject::connect(f.tab, &SettingsTab::modeAboutToChange, f.tab, [&](bool fast) {
            newModes.append(fast);
            storedAtSignal.append(f.settings.downloadMode());
        });
        clickOption(f.child<QRadioButton>(u"Option7"_s));
        clickOption(f.child<QRadioButton>(u"Option6"_s));
        clickOption(f.child<QRadioButton>(u"Option6"_s));
        QCOMPARE(newModes, (QList<bool>{false, true, true}));
        QCOMPARE(storedAtSignal, (QStringList{u"快速下载"_s, DownloadSettings::modePage(), u"快速下载"_s}));
        QCOMPARE(f.stored(DownloadSettings::keyDownloadMode()), u"快速下载"_s);
        // A change made by program code runs the same handler.
        f.child<QRadioButton>(u"Option7"_s)->setChecked(true);
        QCOMPARE(newModes.size(), 4);
        QVERIFY(!f.settings.fastMode());
    }

    void timedDownloadSwitch()
    {
        Fixture f;
        QSignalSpy spy(f.tab, &SettingsTab::timedDownloadToggled);
        QTest::mouseClick(f.tab->timedDownloadBox(), Qt::LeftButton);
        QTest::mouseClick(f.tab->timedDownloadBox(), Qt::LeftButton);
        QCOMPARE(spy.count(), 2);
        QVERIFY(spy.at(0).first().toBool() && !spy.at(1).first().toBool());
        QVERIFY(f.store.values().keys().filter(u"定时"_s).isEmpty());
    }

    void browseFolder_data()
    {
        QTest::addColumn<QString>("shownBefore");
        QTest::addColumn<QString>("answer"); // empty: cancelled
        QTest::addColumn<QString>("shown");
        QTest::newRow("chosen folder gets its separator") << u"/srv/"_s << u"/data/dl"_s << u"/data/dl/"_s;
        QTest::newRow("cancel stores the shown folder again") << u"/kept/"_s << QString() << u"/kept/"_s;
        QTest::newRow("cancel with nothing shown complains, stores nothing") << QString() << QString() << QString();
    }

    void browseFolder()
    {
        QFETCH(QString, shownBefore);
        QFETCH(QString, answer);
        QFETCH(QString, shown);
        Fixture f({{DownloadSettings::keySaveFolder(), u"/srv/"_s}});
        f.box(u"Text3"_s)->setText(shownBefore);
        const int saves = f.store.saveCount();
        if (!answer.isEmpty())
            f.dialogs.folderAnswers.enqueue(answer);

        QTest::mouseClick(f.child<QPushButton>(u"Command6"_s), Qt::LeftButton);

        QCOMPARE(f.dialogs.folderRequests.size(), 1);
        QCOMPARE(f.dialogs.folderRequests.first().prompt, u"请选择文件夹: "_s);
        QCOMPARE(f.dialogs.folderRequests.first().startFolder, shownBefore);
        QCOMPARE(f.box(u"Text3"_s)->text(), shown);
        if (shown.isEmpty()) {
            QCOMPARE(f.dialogs.messageTexts(), QStringList{u"请选择下载文件保存路径！"_s});
            QCOMPARE(f.dialogs.messages.first().icon, Dialogs::Icon::Information);
            QCOMPARE(f.store.saveCount(), saves);
            QVERIFY(f.child<QPushButton>(u"Command6"_s)->hasFocus());
        } else {
            QVERIFY(f.dialogs.messages.isEmpty());
            QCOMPARE(f.stored(DownloadSettings::keySaveFolder()), shown);
            QCOMPARE(f.settings.saveFolder(), shown);
        }
    }

    void replacements()
    {
        Fixture f;
        auto *frame = f.child<QGroupBox>(u"Frame4"_s);
        auto *combo = f.child<QComboBox>(u"Combo1"_s);
        auto *count = f.child<QLabel>(u"replaceCount"_s);
        QLineEdit *find = f.box(u"replaceFindText"_s);
        QLineEdit *with = f.box(u"replaceWithText"_s);
        auto *add = f.child<QPushButton>(u"replaceAddButton"_s);
        auto *remove = f.child<QPushButton>(u"replaceDeleteButton"_s);

        frame->setChecked(true);
        QCOMPARE(f.stored(u"替换源代码"_s), u"1"_s);

        QTest::mouseClick(remove, Qt::LeftButton); // nothing to delete
        with->setText(u"x"_s);
        QTest::mouseClick(add, Qt::LeftButton);    // nothing to find: ignored
        QCOMPARE(f.replacements.count(), 0);
        QCOMPARE(with->text(), u"x"_s);

        const QList<std::pair<QString, QString>> pairs{{u"广告"_s, QString()}, {u"a\tb"_s, u"c"_s}, {u"c"_s, u"d"_s}};
        for (const auto &[from, to] : pairs) {
            find->setText(from);
            with->setText(to);
            QTest::mouseClick(add, Qt::LeftButton);
            QVERIFY(find->text().isEmpty() && with->text().isEmpty());
        }
        QCOMPARE(count->text(), u"3"_s);
        QCOMPARE(combo->currentIndex(), 2);
        QCOMPARE(combo->itemText(0), u"1: 广告 → "_s);
        QCOMPARE(combo->itemText(1), u"2: a␉b → c"_s);
        QCOMPARE(f.replacements.apply(u"广告a\tbcx"_s), u"ddx"_s);

        combo->setCurrentIndex(1);
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(combo->itemText(1), u"2: c → d"_s);
        QTest::mouseClick(remove, Qt::LeftButton);
        combo->setCurrentIndex(0);
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(combo->count(), 1);
        QCOMPARE(combo->itemText(0), u"0"_s);
        frame->setChecked(false);
        QCOMPARE(f.stored(u"替换源代码"_s), u"0"_s);
        QCOMPARE(PageSourceReplacements(f.store).count(), 0);
    }

    void longAndJunkEntriesDoNotCrash()
    {
        Fixture f;
        const QString longUrl = u"http://"_s + QString(10000, u'x');
        f.typeAndLeave(u"Text5"_s, longUrl);
        QCOMPARE(f.stored(DownloadSettings::keyLoginUrl()), longUrl);
        const QString junk = QString(10000, QChar(0xFFFF)) + u"\t\n\r\\"_s;
        f.typeAndLeave(u"Text1"_s, junk);
        QCOMPARE(f.settings.separator(), f.box(u"Text1"_s)->text());
        f.typeAndLeave(u"Text2"_s, QString(10000, u'9'));
        QCOMPARE(f.box(u"Text2"_s)->text(), u"9999"_s);
        QCOMPARE(f.dialogs.messageTexts(), QStringList{intervalMessage});

        f.child<QGroupBox>(u"Frame4"_s)->setChecked(true);
        f.box(u"replaceFindText"_s)->setText(QString(10000, u'<'));
        f.box(u"replaceWithText"_s)->setText(junk);
        QTest::mouseClick(f.child<QPushButton>(u"replaceAddButton"_s), Qt::LeftButton);
        QCOMPARE(f.replacements.count(), 1);
        QVERIFY(f.child<QComboBox>(u"Combo1"_s)->itemText(0).size() < 100);
    }
};

QTEST_MAIN(TestSettingsTab)
#include "tst_settingstab.moc"
