#include "WindowRig.h"

#include "engine/HttpDownloader.h"
#include "shell/AddUrlDialog.h"
#include "shell/ListTab.h"
#include "shell/SettingsTab.h"
#include "shell/ToolStrip.h"
#include "shell/TrayIcon.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

struct CloseCase { bool tray, runOn; QString outcome; };
// Where the focus goes when the box is left: the next box, another page or another window.
struct BoxCase { QString box, text, leaveFor, stored, refusal; };
// The command, the rows ("name=address", "*" marks a selected one), the rows left, and what was asked then said.
struct ListCase { QString command; QStringList rows, left, said; };

// The window, its tabs and the add-address dialog over fakes: the ways out of the program, the
// run commands, the settings and the list commands; and one run from the buttons against a server
// on 127.0.0.1.
class TestMainWindow : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_server.listen());
        TestHttpServer::Route small, slow;
        small.body = QByteArray(1000, 'a');
        slow.generatedSize = 600000; // about a minute: still coming in when the test quits
        slow.chunkBytes = 1000;
        slow.intervalMs = 100;
        m_server.setRoute("/a.bin", small);
        m_server.setRoute("/slow.bin", slow);
    }

    // The close box hides the window where the tray can bring it back; without a tray it acts as
    // the exit button, which asks while a run is on (the answer here is No: the window stays).
    void closeBox_data()
    {
        QTest::addColumn<CloseCase>("c");
        QTest::newRow("run on: hides") << CloseCase{true, true, u"hides"_s};
        QTest::newRow("without tray, no run: quits") << CloseCase{false, false, u"quits"_s};
        QTest::newRow("without tray, run on: asks, No") << CloseCase{false, true, u"stays"_s};
    }

    void closeBox()
    {
        QFETCH(CloseCase, c);
        const bool quits = c.outcome == u"quits"_s, stays = c.outcome == u"stays"_s;
        WindowRig rig({}, c.tray);
        rig.addRows({u"http://h/1"_s});
        rig.window->show();
        if (c.runOn)
            rig.driver.start();
        QSignalSpy quit(rig.window.get(), &MainWindow::quitRequested);
        QVERIFY(!rig.window->close());
        QCOMPARE(rig.dialogs.questions, stays ? QStringList{u"目前正在下载中，一定要退出吗？"_s} : QStringList());
        if (!quits)
            QTest::qWait(250); // longer than the exit takes
        QTRY_COMPARE(quit.count(), quits ? 1 : 0);
        QCOMPARE(rig.driver.isRunning(), c.runOn);
        QCOMPARE(rig.window->isVisible(), stays);
        QCOMPARE(rig.window->trayIcon()->isVisible(), !quits);
        if (!quits && !stays) { // a left click on the tray icon brings it back
            rig.window->trayIcon()->onActivated(QSystemTrayIcon::Trigger);
            QVERIFY(rig.window->isVisible());
        }
    }

    // Ticked, the timed download starts a run each time the interval has passed (a tick is a
    // minute) if no run is on. The tick is not a setting: nothing is stored.
    void timedDownload()
    {
        WindowRig rig;
        rig.settings.setIntervalMinutes(2);
        rig.addRows({u"http://h/1"_s, u"http://h/2"_s});
        QCheckBox *box = rig.window->settingsTab()->timedDownloadBox();
        box->setChecked(true);
        QVERIFY(rig.find<QTimer>(u"Timer3"_s)->isActive());
        QSignalSpy started(&rig.driver, &DownloadDriver::runStarted);
        rig.window->timedDownloadTick();
        QCOMPARE(started.count(), 0);
        rig.window->timedDownloadTick();
        QCOMPARE(started.count(), 1);
        rig.list.endRow(1, RowState::Skipped, QTime(1, 2, 3)); // a restart would make it ready
        rig.window->timedDownloadTick();
        rig.window->timedDownloadTick(); // the interval again, with the run still on
        QCOMPARE(started.count(), 1);
        QCOMPARE(rig.list.state(1), RowState::Skipped);
        box->setChecked(false);
        QVERIFY(!rig.find<QTimer>(u"Timer3"_s)->isActive());
        QCOMPARE(rig.store.values().keys(), QStringList{DownloadSettings::keyInterval()});
    }

    // Pressing a tool button takes the focus, so the settings box being edited is checked and
    // stored before the button's command runs. A busy slot's light is red, a free one's green;
    // lights above the thread count keep their colour.
    void startLightsAndStop()
    {
        WindowRig rig;
        QVERIFY(rig.showActive());
        auto *start = rig.find<QPushButton>(u"Command4"_s);
        rig.addRows({u"http://h/1"_s, u"http://h/2"_s, u"http://h/3"_s});
        rig.find<QTabWidget>(u"SSTab1"_s)->setCurrentIndex(MainWindow::SettingsTabIndex);
        auto *threads = rig.find<QLineEdit>(u"Text4"_s);
        threads->setFocus();
        threads->setText(u"2"_s);
        auto *strip = rig.window->findChild<ToolStrip *>();
        strip->light(3)->setFillColour(12345);
        const auto lights = [strip] {
            return QList<int>{strip->light(1)->fillColour(), strip->light(2)->fillColour(), strip->light(3)->fillColour()};
        };
        const int red = StatusLight::Red, green = StatusLight::Green;

        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(rig.settings.threadCount(), 2);
        rig.window->lightsTick();
        QCOMPARE(lights(), (QList<int>{red, red, 12345}));
        QCOMPARE(rig.find<QLabel>(u"Panel3"_s)->text(), u"链接数：3"_s);
        rig.downloaders[0]->succeed(); // slot 1 takes row 3 at once
        rig.downloaders[1]->succeed();
        rig.window->lightsTick();
        QCOMPARE(lights(), (QList<int>{red, green, 12345}));
        rig.find<QPushButton>(u"Command5"_s)->click();
        QVERIFY(!rig.driver.isRunning());

        // A save folder that cannot be made refuses the run and says why.
        QVERIFY(TestFiles::write(rig.saveFolder.filePath(u"file"_s), {}));
        rig.settings.overrideSaveFolder(rig.saveFolder.filePath(u"file/sub"_s));
        start->click();
        QVERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.dialogs.messages, QStringList{u"无法创建保存文件夹："_s + rig.saveFolder.filePath(u"file/sub"_s)});
    }

    // Leaving a settings box checks that box only: a refused text stays, with its message, and the
    // focus comes back to it (on its page) until it is corrected. Leaving the window checks nothing.
    void settingsBoxes_data()
    {
        QTest::addColumn<BoxCase>("c");
        const QString box = u"box"_s;
        QTest::newRow("interval cut to 4 digits") << BoxCase{u"Text2"_s, u"14401"_s, box, u"1440"_s, {}};
        QTest::newRow("interval 0, window left") << BoxCase{u"Text2"_s, u"0"_s, u"window"_s, {}, {}};
        QTest::newRow("threads 11, page left") << BoxCase{u"Text4"_s, u"11"_s, u"page"_s, {}, u"必须填入大于0,小于11的数字！"_s};
        QTest::newRow("separator blank") << BoxCase{u"Text1"_s, u" "_s, box, u" "_s, {}};
        QTest::newRow("login HTTP") << BoxCase{u"Text5"_s, u"HTTP://E.org/"_s, box, u"HTTP://E.org/"_s, {}};
        QTest::newRow("login ftp") << BoxCase{u"Text5"_s, u"ftp://a.b/"_s, box, {}, u"登陆网址格式错误!"_s};
    }

    void settingsBoxes()
    {
        QFETCH(BoxCase, c);
        const auto &[box, text, leaveFor, stored, refusal] = c;
        WindowRig rig;
        QVERIFY(rig.showActive());
        auto *tabs = rig.find<QTabWidget>(u"SSTab1"_s);
        tabs->setCurrentIndex(MainWindow::SettingsTabIndex);
        for (const QString &other : {u"Text1"_s, u"Text2"_s, u"Text4"_s, u"Text5"_s}) // wrong, but never left
            rig.find<QLineEdit>(other)->setText(other == u"Text1"_s ? QString() : u"0"_s);
        auto *edited = rig.find<QLineEdit>(box);
        edited->setFocus(Qt::MouseFocusReason);
        edited->setText(text);
        QWidget other;
        const auto leave = [&] {
            if (leaveFor == u"page"_s) {
                tabs->tabBar()->setFocus(Qt::MouseFocusReason);
                tabs->setCurrentIndex(MainWindow::ListTabIndex);
            } else if (leaveFor == u"window"_s) {
                other.show();
                other.activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(&other));
            } else {
                QTest::keyClick(edited, Qt::Key_Tab);
            }
            QCoreApplication::processEvents(); // a refusal is shown once the focus has moved
        };
        leave();
        if (!refusal.isEmpty())
            leave(); // refused again
        QCOMPARE(rig.dialogs.messages, refusal.isEmpty() ? QStringList() : QStringList(2, refusal));
        QCOMPARE(rig.store.values().values(), stored.isNull() ? QStringList() : QStringList{stored});
        if (!refusal.isEmpty()) {
            QCOMPARE(edited->text(), text);
            QVERIFY(edited->hasFocus());
            QCOMPARE(tabs->currentIndex(), int(MainWindow::SettingsTabIndex));
        }
    }

    // The view sorts (0: not; n: by column n - 1, ascending; -n: descending) and filters the list (a text, a
    // state choice); a command on the view's current row acts on the list row shown there, and the list
    // keeps its order. Rows "c", "a", "b"; "b" has failed.
    void viewRowsMapToListRows()
    {
        struct Case { QString text; int state, sort, viewRow; QString address; };
        const QList<Case> cases{{{}, 0, 0, 1, u"http://h/2"_s}, {{}, 0, 1, 0, u"http://h/2"_s}, {{}, 0, -1, 0, u"http://h/1"_s},
                                {u"H/3"_s, 0, 0, 0, u"http://h/3"_s}, {{}, 4, 0, 0, u"http://h/3"_s}, {{}, 1, -1, 1, u"http://h/2"_s}};
        for (const Case &view : cases) {
            WindowRig rig;
            rig.list.appendRows({UrlRow(u"c"_s, u"http://h/1"_s), UrlRow(u"a"_s, u"http://h/2"_s), UrlRow(u"b"_s, u"http://h/3"_s)});
            rig.list.endRow(3, RowState::Failed, QTime(1, 0));
            const QStringList listed = TestFiles::rows(rig.list);
            rig.find<QLineEdit>(u"FilterText"_s)->setText(view.text);
            rig.find<QComboBox>(u"FilterState"_s)->setCurrentIndex(view.state);
            QTableView *table = rig.window->listTab()->view();
            table->sortByColumn(std::abs(view.sort) - 1, view.sort >= 0 ? Qt::AscendingOrder : Qt::DescendingOrder);
            table->setCurrentIndex(table->model()->index(view.viewRow, 0));
            rig.action(u"menu复制网址"_s)->trigger();
            QCOMPARE(rig.dialogs.clipboard, view.address);
            QCOMPARE(TestFiles::rows(rig.list), listed);
            rig.action(u"menu删除"_s)->trigger();
            QVERIFY(rig.list.count() == 2 && !TestFiles::rows(rig.list).join(u' ').contains(view.address));
        }
    }

    // The list tab's commands that change the list: on an empty list they do and say nothing. Rows
    // are "name=address", "*" marks a selected one; asked, the answer is Yes where the list ends empty.
    void listCommands_data()
    {
        QTest::addColumn<ListCase>("c");
        const QStringList ab{u"a=http://h/a"_s, u"b=http://h/b"_s}, none, sure{u"确实要清空图片链接表吗?"_s};
        const QStringList twice{u"a=http://h/y"_s, u"b=http://h/x"_s, u"c=http://h/y"_s};
        const QString remove = u"menu删除"_s, duplicates = u"menu删除重复网址"_s, clear = u"menu清空列表"_s;
        const QStringList selected{u"*a=http://h/a"_s, ab[1], u"*c=http://h/c"_s, u"*d=http://h/d"_s};
        QTest::newRow("delete rows 1, 3, 4") << ListCase{remove, selected, {ab[1]}, {u"所有选中项删除完毕！"_s}};
        QTest::newRow("delete duplicates") << ListCase{duplicates, twice, {twice[1], twice[0]}, {u"删除重复链接完毕！"_s}};
        QTest::newRow("clear, No") << ListCase{clear, ab, ab, sure};
        QTest::newRow("clear, Yes") << ListCase{clear, ab, none, sure};
    }

    void listCommands()
    {
        QFETCH(ListCase, c);
        const auto &[command, rows, left, said] = c;
        WindowRig rig;
        rig.action(command)->trigger();
        QCOMPARE(rig.dialogs.questions + rig.dialogs.messages, QStringList());
        for (const QString &row : rows) {
            rig.list.append(row.section(u'=', 0, 0).remove(u'*'), row.section(u'=', 1));
            if (row.startsWith(u'*'))
                rig.window->listTab()->view()->selectionModel()->select(
                    rig.window->listTab()->view()->model()->index(rig.list.count() - 1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        rig.dialogs.yesNoAnswers.enqueue(left.isEmpty());
        rig.action(command)->trigger();
        QCOMPARE(TestFiles::rows(rig.list), left);
        QCOMPARE(rig.dialogs.questions + rig.dialogs.messages, said);
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
    }

    // The failed rows alone: written to a list file, and run again while the others keep their ends.
    void failedRowsCommands()
    {
        WindowRig rig;
        const QString path = rig.saveFolder.filePath(u"failed.txt"_s);
        rig.action(u"menu重试失败的网址"_s)->trigger();
        rig.addRows({u"http://h/a"_s, u"http://h/b"_s, u"http://h/c"_s});
        rig.settings.overrideThreadCount(3);
        rig.driver.start();
        rig.downloaders[0]->fail();
        rig.downloaders[1]->succeed();
        rig.downloaders[2]->fail();
        rig.dialogs.saveFileAnswers << path;
        rig.action(u"menu导出失败的网址"_s)->trigger();
        QCOMPARE(TestFiles::read(path), "name1->http://h/a\r\nname3->http://h/c\r\n");
        rig.action(u"menu重试失败的网址"_s)->trigger();
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{true, true, false}));
        QCOMPARE(rig.list.state(2), RowState::Saved);
        QCOMPARE(rig.dialogs.messages.first(), u"没有下载失败的网址。"_s);
    }

    // Export through the save dialog, import back through the open dialog: the rows come back,
    // appended, split at the separator box's text as it stands, before the box was left.
    void exportThenImport()
    {
        WindowRig rig;
        const QString path = rig.saveFolder.filePath(u"list.txt"_s);
        // Not asked for an empty list; then written, cancelled, and a folder that does not exist.
        rig.dialogs.saveFileAnswers << path << QString() << rig.saveFolder.filePath(u"missing/list.txt"_s);
        rig.action(u"menu导出到文件"_s)->trigger();
        rig.addRows({u"http://h/a?x=1"_s, u"https://h/b"_s});
        for (int i = 0; i < 3; ++i)
            rig.action(u"menu导出到文件"_s)->trigger();
        QCOMPARE(rig.dialogs.messages, QStringList{u"网址列表已经导出到文件："_s + path});

        const QStringList exported = TestFiles::rows(rig.list);
        QVERIFY(TestFiles::write(path, TestFiles::read(path).replace("->", "|") + "no separator\r\n"));
        rig.find<QLineEdit>(u"Text1"_s)->setText(u"|"_s);
        rig.dialogs.openFileAnswers.enqueue(path);
        QTimer ticker;
        QSignalSpy turns(&ticker, &QTimer::timeout);
        ticker.start(0);
        rig.find<QPushButton>(u"Command1"_s)->click();
        QCOMPARE(TestFiles::rows(rig.list), exported + exported);
        QCOMPARE(rig.find<QLabel>(u"Panel1"_s)->text(), u"已忽略 1 行：不是“名称|网址”格式"_s);
        QVERIFY2(turns.count() > 3, "the window goes on while a file is imported");
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
    }

    // The dialog stays open for the next entry: an accepted one is appended and the boxes are
    // emptied, a refused one (a name of blanks only, an address not http) stays in the boxes.
    void addUrl()
    {
        UrlList list;
        AddUrlDialog dialog(list);
        dialog.show();
        auto *nameBox = dialog.findChild<QLineEdit *>(u"Text1"_s), *addressBox = dialog.findChild<QLineEdit *>(u"Text2"_s);
        QStringList left;
        for (const auto &[name, address] : {std::pair{u" 名 "_s, u"http://a/b "_s}, {u"   "_s, u"http://a/"_s},
                                            {u"\t"_s, u"http://a/"_s}, {u"n"_s, u"ftp://a/"_s}}) {
            nameBox->setText(name);
            addressBox->setText(address);
            dialog.findChild<QPushButton *>(u"Command1"_s)->click();
            left << nameBox->text() + addressBox->text();
        }
        QVERIFY(dialog.isVisible());
        QCOMPARE(TestFiles::rows(list), (QStringList{u" 名 =http://a/b "_s, u"\t=http://a/"_s}));
        QCOMPARE(left, (QStringList{QString(), u"   http://a/"_s, QString(), u"nftp://a/"_s}));
    }

    // Exit while a slow row is still coming in: the program quits, the run stops at once and
    // hands the row back, and no staging file of it is left (unnamed ones are tested with the
    // batch mode's interrupt).
    void exitDuringARunLeavesNoNamedStagingFile()
    {
        QTemporaryDir folder;
        const DownloaderFactory http = HttpDownloader::factory(nullptr);
        auto rig = std::make_unique<WindowRig>([http](int slot) {
            std::unique_ptr<Downloader> downloader = http(slot);
            static_cast<HttpDownloader *>(downloader.get())->setUnnamedTempFiles(false);
            return downloader;
        });
        rig->settings.setSaveFolder(folder.path());
        rig->settings.setThreadCount(2);
        for (const QString &name : {u"a"_s, u"slow"_s})
            rig->list.append(name, m_server.urlText(u"/%1.bin"_s.arg(name)));
        QSignalSpy quit(rig->window.get(), &MainWindow::quitRequested);
        rig->find<QPushButton>(u"Command4"_s)->click();
        QTRY_COMPARE_WITH_TIMEOUT(rig->list.state(1), RowState::Saved, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!rig->list.progressText(2).isEmpty(), 5000);
        rig->dialogs.yesNoAnswers.enqueue(true);
        rig->find<QPushButton>(u"Command7"_s)->click();
        QTRY_COMPARE(quit.count(), 1);
        QCOMPARE(rig->list.state(2), RowState::Ready);
        rig.reset();
        QCOMPARE(TestFiles::entries(folder.path()), QStringList{u"a.bin"_s});
        QCOMPARE(TestFiles::read(folder.filePath(u"a.bin"_s)), QByteArray(1000, 'a'));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
