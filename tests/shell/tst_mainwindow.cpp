#include "WindowRig.h"

#include "engine/RowTexts.h"
#include "shell/BrowserTab.h"
#include "shell/Resources.h"
#include "shell/SettingsTab.h"
#include "shell/ToolStrip.h"
#include "shell/TrayIcon.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    static int fill(const WindowRig &rig, int slot)
    {
        return rig.find(u"Shape1_%1"_s.arg(slot))->property("fillColour").toInt();
    }
    static QString panel(const WindowRig &rig, int n) { return rig.find<QLabel>(u"Panel%1"_s.arg(n))->text(); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void startsCentredOnTheListTab()
    {
        WindowRig rig;
        rig.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));

        QCOMPARE(rig.window->windowTitle(), u"Quillmoor"_s);
        QVERIFY(!rig.window->windowIcon().isNull());
        auto *tabs = rig.find<QTabWidget>(u"SSTab1"_s);
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 4);
        const QStringList captions{u"登陆和主网页"_s, u"网址列表"_s, u"下载设置"_s, u"网页下载"_s};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(tabs->tabText(i), captions[i]);
        QCOMPARE(tabs->currentIndex(), 1);
        QVERIFY(!tabs->isTabVisible(3));
        QVERIFY(tabs->isTabVisible(0) && tabs->isTabVisible(1) && tabs->isTabVisible(2));
        QVERIFY(rig.find<QTabWidget>(u"SSTab2"_s));
        QCOMPARE(rig.find<QTabWidget>(u"SSTab2"_s)->tabText(9), u"线程10"_s);

        // 10740 x 6630 twips, or as much more height as the tabs' content needs.
        QCOMPARE(rig.window->width(), 716);
        QCOMPARE(rig.window->height(), std::max(442, rig.window->minimumSizeHint().height()));
        const QPoint centre = rig.window->screen()->availableGeometry().center();
        QVERIFY2((rig.window->geometry().center() - centre).manhattanLength() <= 40,
                 qPrintable(u"window centre %1,%2 screen centre %3,%4"_s.arg(rig.window->geometry().center().x())
                                .arg(rig.window->geometry().center().y())
                                .arg(centre.x())
                                .arg(centre.y())));

        QVERIFY(rig.window->trayIcon()->isVisible());
        QCOMPARE(rig.window->trayIcon()->toolTip(), u"Quillmoor"_s);
        QVERIFY(!rig.window->exitRequested());

        QVERIFY(rig.find<QTimer>(u"Timer4"_s)->isActive());
        QCOMPARE(rig.find<QTimer>(u"Timer4"_s)->interval(), 300);
        QVERIFY(!rig.find<QTimer>(u"Timer2"_s)->isActive());
        QVERIFY(!rig.find<QTimer>(u"Timer3"_s)->isActive());
        QVERIFY(!rig.window->settingsTab()->timedDownloadBox()->isChecked());
        QCOMPARE(panel(rig, 3), u"链接数：0"_s);
    }

    void captions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        const QList<QPair<QString, QString>> rows{
            {u"Command2"_s, u"登陆"_s},
            {u"Command3"_s, u"导入网页"_s},
            {u"Command1"_s, u"导入文件"_s},
            {u"Command4"_s, u"开始下载"_s},
            {u"Command5"_s, u"停止下载"_s},
            {u"Command7"_s, u"退出"_s},
            {u"menu导入"_s, u"导入(&I)"_s},
            {u"menu导入网页"_s, u"导入网页文件(&W)"_s},
            {u"menu导入文件"_s, u"导入文本文件(&F)"_s},
            {u"menu导入网址"_s, u"导入网址(&L)"_s},
            {u"menu添加网址"_s, u"添加网址(&A)"_s},
            {u"menu浏览网址"_s, u"浏览网址(&L)"_s},
            {u"menu导入主网页所有链接"_s, u"导入主网页所有链接(&B)"_s},
            {u"menu托盘"_s, u"托盘"_s},
            {u"menu显示界面"_s, u"显示界面"_s},
            {u"menu网址列表"_s, u"网址列表(&L)"_s},
            {u"menu打开链接"_s, u"打开链接(&O)"_s},
            {u"menu复制网址"_s, u"复制网址(&C)"_s},
            {u"menu删除"_s, u"删除(&D)"_s},
            {u"menu删除重复网址"_s, u"删除重复网址(&E)"_s},
            {u"menu清空列表"_s, u"清空列表(&R)"_s},
            {u"menu导出到文件"_s, u"导出到文件(&P)"_s},
            {u"menu操作"_s, u"操作(&O)"_s},
            {u"menu设置Internet选项"_s, u"设置Internet选项(&I)"_s},
            {u"menu开始下载"_s, u"开始下载(&D)"_s},
            {u"menu停止下载"_s, u"停止下载(&S)"_s},
            {u"menu帮助"_s, u"帮助(&H)"_s},
            {u"menu关于"_s, u"关于(&A)"_s},
            {u"menu软件升级"_s, u"软件升级(&D)"_s},
            {u"menu作者主页"_s, u"作者主页(&W)"_s},
            {u"menu作者的其他软件"_s, u"作者的其他软件(&O)"_s},
        };
        for (const auto &[name, caption] : rows)
            QTest::newRow(name.toUtf8().constData()) << name << caption;
    }

    void captions()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        WindowRig rig;
        if (auto *button = rig.find<QPushButton>(name))
            QCOMPARE(button->text(), caption);
        else if (auto *menu = rig.find<QMenu>(name))
            QCOMPARE(menu->title(), caption);
        else if (QAction *action = rig.action(name))
            QCOMPARE(action->text(), caption);
        else
            QFAIL("no control of that name");
    }

    void menuBarOrderAndSeparators()
    {
        WindowRig rig;
        QStringList top;
        for (QAction *action : rig.window->menuBar()->actions()) {
            if (action->isVisible())
                top.append(action->menu() ? action->menu()->objectName() : action->objectName());
        }
        // The tray menu never shows in the menu bar.
        QCOMPARE(top, (QStringList{u"menu导入"_s, u"menu网址列表"_s, u"menu操作"_s, u"menu帮助"_s}));

        QStringList listItems;
        for (QAction *action : rig.find<QMenu>(u"menu网址列表"_s)->actions())
            listItems.append(action->isSeparator() ? u"-"_s + action->objectName() : action->objectName());
        QCOMPARE(listItems, (QStringList{u"menu打开链接"_s, u"menu复制网址"_s, u"-fgh676"_s, u"menu删除"_s,
                                         u"menu删除重复网址"_s, u"menu清空列表"_s, u"-yu567"_s,
                                         u"menu导出到文件"_s}));

        QMenu *tray = rig.window->trayIcon()->contextMenu();
        QCOMPARE(tray, rig.find<QMenu>(u"menu托盘"_s));
        QCOMPARE(tray->actions().size(), 1);
        QCOMPARE(tray->actions().constFirst()->text(), u"显示界面"_s);
    }

    void toolStripLightsAndStatusBar()
    {
        WindowRig rig;
        for (int n = 1; n <= 10; ++n) {
            QWidget *light = rig.find(u"Shape1_%1"_s.arg(n));
            QVERIFY(light);
            QCOMPARE(light->parentWidget()->objectName(), u"Picture2"_s);
        }
        QVERIFY(rig.find<QProgressBar>(u"ProgressBar1"_s));
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
        QVERIFY(rig.find<QStatusBar>(u"StatusBar1"_s));
        rig.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        const int first = rig.find(u"Panel1"_s)->width();
        QVERIFY2(first > 2 * rig.find(u"Panel2"_s)->width() && first > 2 * rig.find(u"Panel3"_s)->width(),
                 "panel 1 is much wider than the other two");
    }

    // The busy test decides: a slot under transfer is red, a free one green, and lights above the
    // thread count keep whatever colour they had.
    void lightsFollowTheBusyTest()
    {
        WindowRig rig;
        rig.settings.setThreadCount(2);
        QTemporaryDir folder;
        rig.settings.setSaveFolder(folder.path());
        rig.addRows({u"http://127.0.0.1:9/a"_s, u"http://127.0.0.1:9/b"_s, u"http://127.0.0.1:9/c"_s});
        rig.find<ToolStrip>(u"Picture1"_s)->light(5)->setFillColour(12345);

        rig.window->lightsTick();
        QCOMPARE(fill(rig, 1), StatusLight::Green);
        QCOMPARE(fill(rig, 2), StatusLight::Green);

        QTest::mouseClick(rig.find<QPushButton>(u"Command4"_s), Qt::LeftButton);
        QTRY_VERIFY(rig.downloaders[0]->busy && rig.downloaders[1]->busy);
        rig.window->lightsTick();
        QCOMPARE(fill(rig, 1), StatusLight::Red);
        QCOMPARE(fill(rig, 2), StatusLight::Red);
        QCOMPARE(fill(rig, 3), StatusLight::Green);
        QCOMPARE(fill(rig, 5), 12345);

        rig.downloaders[0]->succeed(); // slot 1 takes row 3 at once
        rig.downloaders[1]->succeed();
        rig.window->lightsTick();
        QCOMPARE(fill(rig, 1), StatusLight::Red);
        QCOMPARE(fill(rig, 2), StatusLight::Green);
        QCOMPARE(fill(rig, 5), 12345);

        // The real timer paints too.
        rig.downloaders[0]->succeed();
        QTRY_COMPARE(fill(rig, 1), StatusLight::Green);
    }

    void panels()
    {
        WindowRig rig;
        rig.addRows({u"http://h/1"_s, u"http://h/2"_s, u"http://h/3"_s});
        QTRY_COMPARE(panel(rig, 3), u"链接数：3"_s);
        rig.list.removeAt(1);
        rig.window->lightsTick();
        QCOMPARE(panel(rig, 3), u"链接数：2"_s);

        rig.driver.start();
        rig.driver.tick();
        QCOMPARE(panel(rig, 2), RowTexts::elapsed(1));
        QCOMPARE(panel(rig, 2), u"下载耗时：00:01"_s);
        rig.driver.stop();

        emit rig.driver.statusTextChanged(u"线程3:页面"_s);
        QCOMPARE(panel(rig, 1), u"线程3:页面"_s);
        emit rig.window->browserTab()->statusTextChanged(u"完成"_s);
        QCOMPARE(panel(rig, 1), u"完成"_s);
    }

    void startAndStopCommands_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("stop");
        QTest::newRow("buttons") << u"Command4"_s << u"Command5"_s;
        QTest::newRow("menu entries") << u"menu开始下载"_s << u"menu停止下载"_s;
    }

    void startAndStopCommands()
    {
        QFETCH(QString, start);
        QFETCH(QString, stop);
        WindowRig rig;
        auto trigger = [&rig](const QString &name) {
            if (auto *button = rig.find<QPushButton>(name))
                button->click();
            else
                rig.action(name)->trigger();
        };
        trigger(start);
        QVERIFY2(!rig.driver.isRunning(), "an empty list starts nothing");
        rig.addRows({u"http://h/1"_s});
        trigger(start);
        QVERIFY(rig.driver.isRunning());
        QCOMPARE(rig.list.statusText(1), RowTexts::downloading(1));
        trigger(stop);
        QVERIFY(!rig.driver.isRunning());

        // A save folder that cannot be made refuses the run and says so.
        QTemporaryDir dir;
        QFile plain(dir.filePath(u"plain"_s));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        rig.settings.overrideSaveFolder(dir.filePath(u"plain/sub"_s));
        trigger(start);
        QVERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.dialogs.messages.size(), 1);
        QCOMPARE(rig.dialogs.messages.first().text, u"无法创建保存文件夹："_s + dir.filePath(u"plain/sub"_s));
    }

    // A click on a tool button takes the focus, so the settings box being edited is checked and
    // stored before the command runs.
    void toolButtonClickCommitsTheSettingsBox()
    {
        WindowRig rig;
        rig.window->show();
        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        rig.find<QTabWidget>(u"SSTab1"_s)->setCurrentIndex(2);
        auto *threads = rig.find<QLineEdit>(u"Text4"_s);
        threads->setFocus();
        QTRY_VERIFY(threads->hasFocus());
        threads->setText(u"7"_s);
        QTest::mouseClick(rig.find<QPushButton>(u"Command5"_s), Qt::LeftButton);
        QCOMPARE(rig.settings.threadCount(), 7);
    }

    void closeHidesAndTheRunGoesOn()
    {
        WindowRig rig;
        rig.addRows({u"http://h/1"_s});
        QSignalSpy quit(rig.window.get(), &MainWindow::quitRequested);
        rig.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        rig.driver.start();

        QVERIFY(!rig.window->close());
        QVERIFY(rig.window->isHidden());
        QVERIFY(rig.driver.isRunning());
        QVERIFY(rig.window->trayIcon()->isVisible());
        QVERIFY(rig.dialogs.questions.isEmpty());
        QTest::qWait(250);
        QCOMPARE(quit.count(), 0);
        QVERIFY(!rig.window->exitRequested());

        // Double clicks do nothing of their own; a left click brings the window back.
        rig.window->trayIcon()->onActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(rig.window->isHidden());
        rig.window->trayIcon()->onActivated(QSystemTrayIcon::Trigger);
        QVERIFY(rig.window->isVisible());
        QCOMPARE(rig.find<QTabWidget>(u"SSTab1"_s)->currentIndex(), 1);
        QCOMPARE(rig.list.count(), 1);

        rig.window->hide();
        rig.action(u"menu显示界面"_s)->trigger();
        QVERIFY(rig.window->isVisible());
    }

    // The exit button, and the close box where no notification area could bring a hidden window
    // back (there it acts as the exit command).
    void exit_data()
    {
        QTest::addColumn<bool>("trayAvailable");
        QTest::addColumn<bool>("runOn");
        QTest::addColumn<bool>("answerYes");
        QTest::addColumn<bool>("quits");
        QTest::newRow("exit button, no run: no question") << true << false << false << true;
        QTest::newRow("exit button, run on, Yes: stops and quits") << true << true << true << true;
        QTest::newRow("exit button, run on, No: keeps running") << true << true << false << false;
        QTest::newRow("close box without tray, no run: quits without a question") << false << false << false << true;
        QTest::newRow("close box without tray, run on, Yes: quits") << false << true << true << true;
        QTest::newRow("close box without tray, run on, No: stays open and running") << false << true << false << false;
    }

    void exit()
    {
        QFETCH(bool, trayAvailable);
        QFETCH(bool, runOn);
        QFETCH(bool, answerYes);
        QFETCH(bool, quits);
        WindowRig rig({}, trayAvailable);
        rig.addRows({u"http://h/1"_s});
        rig.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        if (runOn)
            rig.driver.start();
        rig.dialogs.yesNoAnswers.enqueue(answerYes);
        QSignalSpy quit(rig.window.get(), &MainWindow::quitRequested);

        if (trayAvailable)
            QTest::mouseClick(rig.find<QPushButton>(u"Command7"_s), Qt::LeftButton);
        else
            rig.window->close();

        QCOMPARE(rig.dialogs.questions,
                 runOn ? QStringList{u"目前正在下载中，一定要退出吗？"_s} : QStringList{});
        if (quits) {
            QVERIFY(!rig.driver.isRunning());
            QVERIFY(rig.find<QTimer>(u"Timer2"_s)->isActive());
            if (trayAvailable)
                QVERIFY2(rig.window->trayIcon()->isVisible(), "the exit waits for Timer2");
            QTRY_COMPARE(quit.count(), 1);
            QVERIFY(rig.window->exitRequested());
            QVERIFY(!rig.window->trayIcon()->isVisible());
            QVERIFY(rig.window->isHidden());
        } else {
            QTest::qWait(250);
            QCOMPARE(quit.count(), 0);
            QVERIFY(rig.driver.isRunning());
            QVERIFY(rig.window->isVisible());
            QVERIFY(!rig.window->exitRequested());
            if (trayAvailable)
                QVERIFY(rig.window->trayIcon()->isVisible());
        }
    }

    void timedDownload_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("runAlreadyOn");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<bool>("startsRun");
        QTest::newRow("interval reached, rows, no run: starts") << 2 << 2 << false << 2 << true;
        QTest::newRow("interval not reached: waits") << 3 << 2 << false << 2 << false;
        QTest::newRow("empty list: nothing") << 1 << 0 << false << 1 << false;
        QTest::newRow("run already on: left alone") << 1 << 2 << true << 1 << false;
    }

    void timedDownload()
    {
        QFETCH(int, interval);
        QFETCH(int, rows);
        QFETCH(bool, runAlreadyOn);
        QFETCH(int, ticks);
        QFETCH(bool, startsRun);
        WindowRig rig;
        rig.settings.setIntervalMinutes(interval);
        for (int i = 1; i <= rows; ++i)
            rig.list.append(u"n%1"_s.arg(i), u"http://h/%1"_s.arg(i));
        QTimer *timer = rig.find<QTimer>(u"Timer3"_s);
        QCheckBox *box = rig.window->settingsTab()->timedDownloadBox();
        box->setChecked(true);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 60000);
        if (runAlreadyOn) {
            rig.driver.start();
            rig.list.endRow(1, RowState::Skipped, QTime(1, 2, 3)); // a restart would make it ready
        }
        QSignalSpy started(&rig.driver, &DownloadDriver::runStarted);
        for (int i = 0; i < ticks; ++i)
            rig.window->timedDownloadTick();
        QCOMPARE(started.count(), startsRun ? 1 : 0);
        if (startsRun)
            QVERIFY(rig.driver.isRunning());
        if (runAlreadyOn)
            QCOMPARE(rig.list.state(1), RowState::Skipped);

        box->setChecked(false);
        QVERIFY(!timer->isActive());
    }

    void makerPages_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("anchor");
        QTest::newRow("software update") << u"menu软件升级"_s << Resources::updateAnchor();
        QTest::newRow("author's home page") << u"menu作者主页"_s << Resources::authorAnchor();
        QTest::newRow("author's other software") << u"menu作者的其他软件"_s << Resources::otherSoftwareAnchor();
    }

    void makerPages()
    {
        QFETCH(QString, action);
        QFETCH(QString, anchor);
        WindowRig rig;
        rig.window->show();
        rig.action(action)->trigger();
        QCOMPARE(rig.find<QTabWidget>(u"SSTab1"_s)->currentIndex(), 0);
        QTRY_VERIFY(rig.window->windowState() & Qt::WindowMaximized);
        const QUrl shown(rig.window->browserTab()->address());
        QVERIFY(shown.isLocalFile());
        QCOMPARE(shown.fragment(), anchor);
        QFile page(shown.toLocalFile());
        QVERIFY2(page.open(QIODevice::ReadOnly), qPrintable(shown.toLocalFile()));
        const QString html = QString::fromUtf8(page.readAll());
        QVERIFY(html.contains(u"id=\"%1\""_s.arg(anchor)));
    }

    void dialogsOfTheMenus_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("dialog");
        QTest::newRow("about") << u"menu关于"_s << u"frmAbout"_s;
        QTest::newRow("internet options") << u"menu设置Internet选项"_s << u"InternetOptionsDialog"_s;
        QTest::newRow("add address") << u"menu添加网址"_s << u"AddURL"_s;
    }

    void dialogsOfTheMenus()
    {
        QFETCH(QString, action);
        QFETCH(QString, dialog);
        WindowRig rig;
        rig.window->show();
        QString seen;
        closeNextModal(&seen);
        rig.action(action)->trigger();
        QCOMPARE(seen, dialog);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
