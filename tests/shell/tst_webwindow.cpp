// The window with its real browsers: harvesting through WebBrowser1, page-mode runs through the
// ten page browsers, a login shared by both modes, and the Internet options. All pages come from
// a server on 127.0.0.1; every other host name fails to resolve.
#include "WindowRig.h"

#include "engine/HttpDownloader.h"
#include "engine/RowTexts.h"
#include "platform/SavedCookies.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "platform/web/WebEngineBrowser.h"
#include "shell/BrowserTab.h"
#include "shell/InternetOptionsDialog.h"
#include "shell/ListTab.h"
#include "shell/SettingsTab.h"
#include "support/BrowserTestEnvironment.h"
#include "support/TestHttpServer.h"
#include "urllist/HarvestCommands.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableView>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>
#include <QWebEnginePage>
#include <QWebEngineView>

using namespace Qt::Literals::StringLiterals;
using Route = TestHttpServer::Route;

namespace {

constexpr int loadTimeoutMs = 30000;

Route htmlRoute(const QByteArray &body, int status = 200)
{
    Route route;
    route.status = status;
    route.contentType = "text/html; charset=utf-8";
    route.body = body;
    return route;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

bool jarHolds(const BrowserProfile &profile, const QByteArray &name)
{
    const QList<QNetworkCookie> cookies = profile.cookieJar()->cookies();
    return std::any_of(cookies.begin(), cookies.end(), [&](const QNetworkCookie &c) { return c.name() == name; });
}

} // namespace

class TestWebWindow : public QObject
{
    Q_OBJECT

private:
    TestHttpServer m_server;
    QTemporaryDir m_dir;
    BrowserProfile *m_profile = nullptr;
    std::unique_ptr<WindowRig> m_rig;
    int m_runs = 0;
    QByteArray m_cookieValue;

    WindowRig &rig() { return *m_rig; }

    // A fresh save folder for each run, so that the run's files are the folder's files.
    QString newSaveFolder()
    {
        const QString folder = m_dir.filePath(u"run%1"_s.arg(++m_runs));
        QDir().mkpath(folder);
        return folder + u'/';
    }

    void chooseMode(bool page)
    {
        auto *option = rig().find<QRadioButton>(page ? u"Option7"_s : u"Option6"_s);
        QVERIFY(option);
        option->click();
        QCOMPARE(rig().settings.fastMode(), !page);
    }

    // Runs the given addresses from Command4 in the given mode until the run ends; returns the
    // save folder.
    QString run(const QStringList &urls, bool page, int threads = 3)
    {
        rig().list.clear();
        const QString folder = newSaveFolder();
        rig().settings.setSaveFolder(folder);
        rig().settings.setThreadCount(threads);
        rig().window->settingsTab()->showSettings();
        chooseMode(page);
        rig().addRows(urls);
        rig().find<QPushButton>(u"Command4"_s)->click();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(!rig().driver.isRunning(), loadTimeoutMs); }();
        return folder;
    }

    WebEngineBrowser *pageBrowser(int slot) const
    {
        return qobject_cast<WebEngineBrowser *>(m_rig->window->pageBrowsers()[static_cast<std::size_t>(slot - 1)]);
    }

    Browser *visibleBrowser() const { return m_rig->window->browserTab()->browser(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_server.listen());
        m_cookieValue = QUuid::createUuid().toByteArray(QUuid::Id128);

        m_server.setRoute("/dir/links.html", htmlRoute("<html><head><title>links</title></head><body>\n"
                                       "<a href=\"a/one.html\">第一</a>\n"
                                       "<a href=\"/two.html\"> 二 </a>\n"
                                       "<a href=\"x.html\"> 登陆 </a>\n"
                                       "<a href=\"https://secure.invalid/s.html\">安全</a>\n"
                                       "<a href=\"mailto:someone@example.invalid\">邮件</a>\n"
                                       "<a href=\"y.html\">请登陆吧</a>\n"
                                       "</body></html>"));
        m_server.setRoute("/utf8.html", htmlRoute(u"<html><head><meta charset=\"utf-8\"><title>标题一</title></head>"
                                                  u"<body>中文内容 ü</body></html>"_s.toUtf8()));
        m_server.setRoute("/p2.html", htmlRoute("<html><head><title>two</title></head><body>2</body></html>"));
        m_server.setRoute("/p3.html", htmlRoute("<html><head><title>three</title></head><body>3</body></html>"));
        m_server.setRoute("/missing.html", htmlRoute("<html><body>not here</body></html>", 404));
        m_server.setRoute("/script.html", htmlRoute("<html><head><title>script</title>\n"
                                       "<script>window.open('/popup.html'); alert('hello'); window.close();</script>\n"
                                       "</head><body>still here</body></html>"));
        m_server.setRoute("/popup.html", htmlRoute("<html><body>popup</body></html>"));
        // Announces a body that never comes.
        Route never = htmlRoute(QByteArray(200, ' '));
        never.stall = TestHttpServer::Stall::AfterHeaders;
        m_server.setRoute("/never.html", never);

        Route secret = htmlRoute("<html><head><title>secret</title></head><body>members only</body></html>");
        secret.requiredCookie = "quillmoor_login=" + m_cookieValue;
        m_server.setRoute("/secret.html", secret);
        Route login = htmlRoute("<html><head><title>login</title></head><body>welcome</body></html>");
        login.extraHeaders.append({"Set-Cookie", "quillmoor_login=" + m_cookieValue + "; Path=/"});
        m_server.setRoute("/login.html", login);

        m_profile = new BrowserProfile;
        m_rig = std::make_unique<WindowRig>(
            HttpDownloader::factory(m_profile->cookieJar(), m_profile->userAgent()),
            true, m_profile);
        rig().window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig().window.get()));
    }

    void cleanupTestCase()
    {
        // Every browser goes before the profile.
        m_rig.reset();
        delete m_profile;
    }

    void cleanup()
    {
        if (rig().driver.isRunning())
            rig().find<QPushButton>(u"Command5"_s)->click();
        rig().dialogs.clear();
    }

    void startUpPutsRealBrowsersInPlace()
    {
        auto *view = rig().find<QWebEngineView>(u"WebBrowser1"_s);
        QVERIFY(view);
        auto *visible = qobject_cast<WebEngineBrowser *>(visibleBrowser());
        QVERIFY(visible);
        QCOMPARE(view->page(), visible->page());
        QVERIFY(visible->silent());
        QVERIFY(!visible->cancelNewWindows());
        QVERIFY(visible->cancelWindowClosing());
        QVERIFY(!visible->isBusy());

        auto *inner = rig().find<QTabWidget>(u"SSTab2"_s);
        for (int n = 1; n <= 10; ++n) {
            auto *pageView = rig().find<QWebEngineView>(u"WBdown_%1"_s.arg(n));
            QVERIFY(pageView);
            QVERIFY(inner->widget(n - 1)->isAncestorOf(pageView));
            WebEngineBrowser *browser = pageBrowser(n);
            QVERIFY(browser);
            QCOMPARE(pageView->page(), browser->page());
            QVERIFY(browser->silent());
            QVERIFY(browser->cancelNewWindows());
            QVERIFY(browser->cancelWindowClosing());
            QVERIFY(!browser->isBusy());
        }
        QVERIFY(!rig().find<QTabWidget>(u"SSTab1"_s)->isTabVisible(MainWindow::PageBrowsersTabIndex));

        // The hovered link's address goes to panel 1.
        emit visible->statusTextChanged(u"http://127.0.0.1/hovered.html"_s);
        QCOMPARE(rig().find<QLabel>(u"Panel1"_s)->text(), u"http://127.0.0.1/hovered.html"_s);
    }

    void webBrowser1KeepsAPageThatOpensWindowsAlertsAndCloses()
    {
        m_server.clearRequests();
        const int windowsBefore = int(QApplication::topLevelWidgets().size());
        QSignalSpy closing(visibleBrowser(), &Browser::closeRequested);
        QSignalSpy complete(visibleBrowser(), &Browser::loaded);
        rig().window->browserTab()->navigate(m_server.urlText(u"/script.html"_s));
        QTRY_COMPARE_WITH_TIMEOUT(complete.size(), 1, loadTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(closing.size(), 1, loadTimeoutMs);
        QTest::qWait(200);
        QCOMPARE(visibleBrowser()->location(), m_server.urlText(u"/script.html"_s));
        QVERIFY(rig().find<QWebEngineView>(u"WebBrowser1"_s));
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(int(QApplication::topLevelWidgets().size()), windowsBefore);
        QVERIFY(m_server.requestsFor("/popup.html").isEmpty());
    }

    void commandsShowPagesInWebBrowser1_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("expected"); // a path on the server, or the help page's anchor
        QTest::newRow("浏览网址 shows the typed address") << u"menu浏览网址"_s << u"/p2.html"_s;
        QTest::newRow("登陆 shows the login page") << u"Command2"_s << u"/p3.html"_s;
        QTest::newRow("double-click shows the row") << u"double-click"_s << u"/p2.html"_s;
        QTest::newRow("软件升级 shows the manual's section") << u"menu软件升级"_s << u"#update"_s;
        QTest::newRow("作者的其他软件 shows the manual's section") << u"menu作者的其他软件"_s << u"#other-software"_s;
    }

    void commandsShowPagesInWebBrowser1()
    {
        QFETCH(QString, command);
        QFETCH(QString, expected);
        rig().list.clear();
        auto *tabs = rig().find<QTabWidget>(u"SSTab1"_s);
        tabs->setCurrentIndex(MainWindow::ListTabIndex);
        rig().window->showNormal();

        if (command == u"menu浏览网址"_s) {
            rig().dialogs.inputAnswers.enqueue(m_server.urlText(expected));
            rig().action(command)->trigger();
        } else if (command == u"Command2"_s) {
            rig().settings.setLoginUrl(m_server.urlText(expected));
            rig().find<QPushButton>(command)->click();
        } else if (command == u"double-click"_s) {
            rig().addRows({m_server.urlText(u"/p3.html"_s), m_server.urlText(expected)});
            auto *view = rig().find<QTableView>(u"ListView1"_s);
            const QRect cell = view->visualRect(rig().list.index(1, 1));
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
            QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell.center());
        } else {
            rig().action(command)->trigger();
            QTRY_VERIFY(rig().window->isMaximized());
        }
        QCOMPARE(tabs->currentIndex(), int(MainWindow::BrowserTabIndex));
        if (expected.startsWith(u'#')) {
            QTRY_VERIFY_WITH_TIMEOUT(visibleBrowser()->location().endsWith(u"help/index.html"_s + expected),
                                     loadTimeoutMs);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(visibleBrowser()->location(), m_server.urlText(expected), loadTimeoutMs);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!visibleBrowser()->isBusy(), loadTimeoutMs);
    }

    void harvestingThroughTheWindow_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("pageFile"); // empty: the served page /dir/links.html
        QTest::addColumn<QByteArray>("fileBody");
        QTest::addColumn<QStringList>("expected"); // name, address (PORT stands for the port)
        QTest::addColumn<int>("linkCount");

        QTest::newRow("served page by address: relative resolved, 登陆 and mailto skipped, https kept")
            << u"menu导入网址"_s << QString() << QByteArray()
            << QStringList{u"第一"_s, u"http://127.0.0.1:PORT/dir/a/one.html"_s,
                           u"二"_s,   u"http://127.0.0.1:PORT/two.html"_s,
                           u"安全"_s, u"https://secure.invalid/s.html"_s,
                           u"请登陆吧"_s, u"http://127.0.0.1:PORT/dir/y.html"_s}
            << 6;
        QTest::newRow("saved page with a base element by 导入网页")
            << u"menu导入网页"_s << u"saved.htm"_s
            << QByteArray("<html><head><base href=\"http://127.0.0.1:PORT/saved/\"></head><body>"
                          "<a href=\"p.html\">页</a><a href=\"sub/q.html\">页二</a>"
                          "<a href=\"mailto:a@b.invalid\">m</a></body></html>")
            << QStringList{u"页"_s, u"http://127.0.0.1:PORT/saved/p.html"_s,
                           u"页二"_s, u"http://127.0.0.1:PORT/saved/sub/q.html"_s}
            << 3;
        QTest::newRow("saved page without a base by Command3: file links skipped")
            << u"Command3"_s << u"relative.htm"_s
            << QByteArray("<html><body><a href=\"p.html\">页</a><a href=\"http://127.0.0.1:PORT/abs.html\">绝对</a>"
                          "</body></html>")
            << QStringList{u"绝对"_s, u"http://127.0.0.1:PORT/abs.html"_s} << 2;
    }

    void harvestingThroughTheWindow()
    {
        QFETCH(QString, command);
        QFETCH(QString, pageFile);
        QFETCH(QByteArray, fileBody);
        QFETCH(QStringList, expected);
        QFETCH(int, linkCount);
        const QString port = QString::number(m_server.port());
        rig().list.clear();
        rig().list.append(u"earlier"_s, u"http://127.0.0.1/earlier"_s);

        if (pageFile.isEmpty()) {
            rig().dialogs.inputAnswers.enqueue(m_server.urlText(u"/dir/links.html"_s));
        } else {
            const QString path = m_dir.filePath(pageFile);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(fileBody.replace("PORT", port.toLatin1()));
            file.close();
            rig().dialogs.openFileAnswers.enqueue(path);
        }
        QSignalSpy harvested(rig().window->browserTab()->commands(), &HarvestCommands::harvested);
        if (command.startsWith(u"menu"_s))
            rig().action(command)->trigger();
        else
            rig().find<QPushButton>(command)->click();
        QTRY_COMPARE_WITH_TIMEOUT(harvested.size(), 1, loadTimeoutMs);

        QStringList rows;
        for (int i = 2; i <= rig().list.count(); ++i)
            rows << rig().list.linkName(i) << rig().list.url(i);
        expected.replaceInStrings(u"PORT"_s, port);
        QCOMPARE(rows, expected);
        QCOMPARE(rig().list.linkName(1), u"earlier"_s);
        QCOMPARE(rig().find<QTabWidget>(u"SSTab1"_s)->currentIndex(), int(MainWindow::ListTabIndex));
        auto *bar = rig().find<QProgressBar>(u"ProgressBar1"_s);
        QCOMPARE(bar->maximum(), linkCount + 1);
        QCOMPARE(bar->value(), 0);
    }

    void showingAnotherPageEndsAWaitingImport()
    {
        rig().list.clear();
        HarvestCommands *commands = rig().window->browserTab()->commands();
        QSignalSpy harvested(commands, &HarvestCommands::harvested);
        rig().dialogs.inputAnswers.enqueue(m_server.urlText(u"/never.html?import"_s));
        rig().action(u"menu导入网址"_s)->trigger();
        QVERIFY(commands->waiting());
        rig().action(u"menu作者主页"_s)->trigger();
        QVERIFY(!commands->waiting());
        QTRY_VERIFY_WITH_TIMEOUT(visibleBrowser()->location().endsWith(u"#author"_s), loadTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!visibleBrowser()->isBusy(), loadTimeoutMs);
        QTest::qWait(200);
        QCOMPARE(harvested.size(), 0);
        QCOMPARE(rig().list.count(), 0);
    }

    void pageModeSavesThroughThePageBrowsers()
    {
        QList<int> blankLoads(10, 0);
        QObject listening; // the counting ends with this test
        for (int n = 1; n <= 10; ++n) {
            connect(pageBrowser(n)->page(), &QWebEnginePage::loadFinished, &listening, [this, n, &blankLoads] {
                if (pageBrowser(n)->page()->url().toString().endsWith(u"/blank.htm"_s))
                    ++blankLoads[n - 1];
            });
        }
        QSignalSpy titles(&rig().driver, &DownloadDriver::statusTextChanged);
        const QString url = m_server.urlText(u"/utf8.html"_s);
        const QString folder =
            run({url, m_server.urlText(u"/p2.html"_s), m_server.urlText(u"/p3.html"_s)}, true);

        for (int row = 1; row <= 3; ++row) {
            QVERIFY2(rig().list.statusText(row).startsWith(u"下载完成 ["_s), qPrintable(rig().list.statusText(row)));
            QCOMPARE(rig().list.remarkText(row), QString());
        }
        const QStringList files = filesIn(folder);
        QCOMPARE(files.size(), 3);
        const QString first = rig().list.linkName(1);
        QString savedFirst;
        for (const QString &name : files) {
            if (name.startsWith(first))
                savedFirst = name;
        }
        QVERIFY(!savedFirst.isEmpty());
        const QByteArray expectedBytes = u"<html><head> <Base href='%1' target='_blank'> <meta charset=\"utf-8\">"
                                         u"<title>标题一</title></head><body>中文内容 ü</body></html>"_s.arg(url)
                                             .toUtf8();
        QCOMPARE(readAll(folder + savedFirst), expectedBytes);

        bool titleShown = false;
        for (const QList<QVariant> &args : std::as_const(titles)) {
            const QString text = args.at(0).toString();
            titleShown |= text.startsWith(u"线程"_s) && text.endsWith(u":标题一"_s);
        }
        QVERIFY(titleShown);
        QCOMPARE(rig().find<QLabel>(u"Panel1"_s)->text().startsWith(u"线程"_s), true);

        // Released once: every browser shows the blank page, and nothing loads it again.
        for (int n = 1; n <= 10; ++n)
            QTRY_COMPARE_WITH_TIMEOUT(blankLoads[n - 1], 1, loadTimeoutMs);
        QTest::qWait(500);
        QCOMPARE(blankLoads, QList<int>(10, 1));
    }

    void pageModeSectionsOfOnePageInOneBrowser()
    {
        // The second address only moves within the document the browser already shows.
        const QString folder =
            run({m_server.urlText(u"/p2.html#a"_s), m_server.urlText(u"/p2.html#b"_s)}, true, 1);
        for (int row = 1; row <= 2; ++row)
            QVERIFY2(rig().list.statusText(row).startsWith(u"下载完成 ["_s), qPrintable(rig().list.statusText(row)));
        QCOMPARE(filesIn(folder).size(), 2);
    }

    void pageModeErrors_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("404 answer") << m_server.urlText(u"/missing.html"_s);
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        QTest::newRow("refused connection") << u"http://127.0.0.1:%1/x.html"_s.arg(port);
    }

    void pageModeErrors()
    {
        QFETCH(QString, address);
        const QString folder = run({address}, true, 1);
        QCOMPARE(rig().list.statusText(1), RowTexts::finishedAfterPageError());
        QVERIFY2(rig().list.remarkText(1).startsWith(u"下载出错！ ["_s), qPrintable(rig().list.remarkText(1)));
        QCOMPARE(filesIn(folder), QStringList());
    }

    void pageScriptWindowsAlertsAndCloseDoNotStopTheSave()
    {
        m_server.clearRequests();
        const QString folder = run({m_server.urlText(u"/script.html"_s)}, true, 1);
        QVERIFY2(rig().list.statusText(1).startsWith(u"下载完成 ["_s), qPrintable(rig().list.statusText(1)));
        QCOMPARE(rig().list.remarkText(1), QString());
        const QStringList files = filesIn(folder);
        QCOMPARE(files.size(), 1);
        QVERIFY(readAll(folder + files.first()).contains("still here"));
        QVERIFY(m_server.requestsFor("/popup.html").isEmpty());
    }

    void pageThatNeverFinishesHoldsItsSlotUntilStop()
    {
        rig().list.clear();
        rig().settings.setSaveFolder(newSaveFolder());
        rig().settings.setThreadCount(2);
        rig().window->settingsTab()->showSettings();
        chooseMode(true);
        rig().addRows({m_server.urlText(u"/never.html"_s), m_server.urlText(u"/never.html?2"_s)});
        rig().find<QPushButton>(u"Command4"_s)->click();
        QTRY_VERIFY_WITH_TIMEOUT(pageBrowser(1)->isBusy() && pageBrowser(2)->isBusy(), loadTimeoutMs);
        QTest::qWait(2000);
        QVERIFY(rig().driver.isRunning());
        QVERIFY(pageBrowser(1)->isBusy());
        QVERIFY(rig().driver.slotsBusy().front());
        QCOMPARE(rig().list.statusText(1), RowTexts::downloading(1));

        rig().find<QPushButton>(u"Command5"_s)->click();
        QVERIFY(!rig().driver.isRunning());
        for (int n = 1; n <= 10; ++n)
            QVERIFY(!pageBrowser(n)->isBusy());
        QCOMPARE(rig().driver.slotsBusy(), (std::vector<bool>{false, false}));
        // The stopped loads end without a late event that would write the rows.
        QTest::qWait(500);
        QCOMPARE(rig().list.statusText(1), RowTexts::downloading(1));
        QCOMPARE(rig().driver.slotsBusy(), (std::vector<bool>{false, false}));
    }

    void loginInWebBrowser1HoldsForBothModesUntilCookiesAreCleared()
    {
        const QString secret = m_server.urlText(u"/secret.html"_s);
        run({secret}, false, 1);
        QVERIFY2(rig().list.remarkText(1).startsWith(u"下载出错！"_s), qPrintable(rig().list.remarkText(1)));

        rig().settings.setLoginUrl(m_server.urlText(u"/login.html"_s));
        rig().find<QPushButton>(u"Command2"_s)->click();
        QTRY_VERIFY_WITH_TIMEOUT(jarHolds(*m_profile, "quillmoor_login"), loadTimeoutMs);

        for (const bool page : {false, true}) {
            const QString folder = run({secret}, page, 1);
            QVERIFY2(rig().list.statusText(1).startsWith(u"下载完成 ["_s), qPrintable(rig().list.statusText(1)));
            QCOMPARE(rig().list.remarkText(1), QString());
            const QStringList files = filesIn(folder);
            QCOMPARE(files.size(), 1);
            QVERIFY(readAll(folder + files.first()).contains("members only"));
        }

        // The Internet options' clear cookies logs out everywhere.
        QString seen;
        auto *poll = new QTimer(this);
        poll->setInterval(20);
        connect(poll, &QTimer::timeout, this, [poll, &seen] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible())
                return;
            poll->stop();
            poll->deleteLater();
            seen = modal->objectName();
            modal->findChild<QPushButton *>(u"cmdClearCookies"_s)->click();
            QMetaObject::invokeMethod(modal, "reject");
        });
        poll->start();
        rig().action(u"menu设置Internet选项"_s)->trigger();
        QCOMPARE(seen, u"InternetOptionsDialog"_s);
        QCOMPARE(rig().dialogs.messages.size(), 1);
        QCOMPARE(rig().dialogs.messages.first().icon, Dialogs::Icon::Information);
        QVERIFY(!jarHolds(*m_profile, "quillmoor_login"));
        const QList<QNetworkCookie> saved = SavedCookies::read(BrowserProfile::cookieFilePath());
        QVERIFY(std::none_of(saved.begin(), saved.end(),
                             [](const QNetworkCookie &c) { return c.name() == "quillmoor_login"; }));

        run({secret}, false, 1);
        QVERIFY2(rig().list.remarkText(1).startsWith(u"下载出错！"_s), qPrintable(rig().list.remarkText(1)));
        // The browsers' own store forgets it too: it is not handed back to the jar.
        QTest::qWait(500);
        QVERIFY(!jarHolds(*m_profile, "quillmoor_login"));
    }

    void clearCacheConfirms()
    {
        InternetOptionsDialog dialog(m_profile, rig().dialogs, rig().window.get());
        dialog.findChild<QPushButton *>(u"cmdClearCache"_s)->click();
        QCOMPARE(rig().dialogs.messages.size(), 1);
        QCOMPARE(rig().dialogs.messages.first().icon, Dialogs::Icon::Information);
    }
};

int main(int argc, char *argv[])
{
    prepareTestBrowserEngine();
    QApplication app(argc, argv);
    // A profile folder of this suite's own: suites running side by side never share cookies.
    QApplication::setOrganizationName(u"Quillmoor"_s);
    QApplication::setApplicationName(u"Quillmoor-tst_webwindow"_s);
    TestWebWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webwindow.moc"
