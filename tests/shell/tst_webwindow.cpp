// The window with its real browsers, every page from a server on 127.0.0.1.
#include "WindowRig.h"

#include "engine/HttpDownloader.h"
#include "platform/Browser.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "shell/BrowserTab.h"
#include "shell/FileImportQueue.h"
#include "shell/InternetOptionsDialog.h"
#include "shell/Resources.h"
#include "shell/SettingsTab.h"
#include "support/BrowserTestEnvironment.h"
#include "support/TestFiles.h"
#include "urllist/HarvestCommands.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTableView>
#include <QUuid>
#include <QWebEngineProfile>

using namespace Qt::Literals::StringLiterals;

// A menu command or a button, or the list's double-click; how the shown page's address ends; the rows then.
struct CommandCase { QString command, shown; QStringList rows; };

class TestWebWindow : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    QTemporaryDir m_dir;
    std::unique_ptr<BrowserProfile> m_profile;
    std::unique_ptr<WindowRig> m_rig; // its browsers go before the profile
    int m_modals = 0; // modal dialogs that came up, closed at once
    std::function<bool()> m_holdModal; // unless this wants the one on top kept open a while longer
    QTimer m_dismisser;
    QByteArray m_token; // cookies persist between runs: cookies of this run only
    int m_runs = 0;

    QString url(const QString &path) const { return m_server.urlText(path); }
    // The cookies as the jar keeps them for the next session.
    QByteArray savedCookies() const { return TestFiles::read(BrowserProfile::cookieFilePath()); }

    // Runs these paths with Command4 until the slots still loading are these, and the run is over
    // when none is; returns every file saved by then.
    QByteArray run(const QStringList &paths, bool page, const std::vector<bool> &stillLoading = std::vector<bool>(3, false))
    {
        const QString folder = m_dir.filePath(u"run%1/"_s.arg(++m_runs));
        QDir().mkpath(folder);
        m_rig->list.clear();
        m_rig->settings.setSaveFolder(folder);
        m_rig->window->settingsTab()->showSettings();
        m_rig->find<QRadioButton>(page ? u"Option7"_s : u"Option6"_s)->click();
        for (const QString &path : paths)
            m_rig->addRows({url(path)});
        m_rig->find<QPushButton>(u"Command4"_s)->click();
        const bool running = stillLoading != std::vector<bool>(3, false);
        [&] { // the browsers need the event loop turning all the while, not a turn every 10 ms
            QTRY_VERIFY_WITH_TIMEOUT(m_rig->driver.slotsBusy() == stillLoading && m_rig->driver.isRunning() == running,
                                     PageLoadPatience);
        }();
        QByteArray saved;
        for (const QString &name : TestFiles::entries(folder))
            saved += TestFiles::read(folder + name);
        return saved;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid() && m_server.listen());
        m_token = QUuid::createUuid().toByteArray(QUuid::Id128);
        // /set/NAME sets this run's cookie NAME; /need/NAME answers only a request that carries it.
        const auto cookie = [token = m_token](const TestHttpServer::Request &request) {
            TestHttpServer::Route route = htmlRoute("members only");
            const QByteArray nameAndValue = request.path.mid(request.path.lastIndexOf('/') + 1) + '=' + token;
            if (request.path.startsWith("/set/"))
                route.extraHeaders = {{QByteArray("Set-Cookie"), nameAndValue + "; Path=/"}};
            else
                route.requiredCookie = nameAndValue;
            return route;
        };
        m_server.setHandler("/set/", cookie);
        m_server.setHandler("/need/", cookie);
        TestHttpServer::Route never = htmlRoute(QByteArray(200, ' '));
        never.stall = TestHttpServer::Stall::AfterHeaders; // a body announced, never sent
        m_server.setRoute("/never.html", never);
        m_server.setRoute("/drop.html", htmlRoute("<script>document.cookie = 'fast=; expires=Thu, 01 Jan 1970 00:00:00 GMT; "
                                                  "path=/';</script>"));
        // Pages that ask for dialogs: no browser of the window shows one.
        m_server.setRoute("/script.html", htmlRoute(u"<meta charset=utf-8><script>window.open('/popup.html'); alert('a'); "
                                                    u"confirm('b'); prompt('c'); window.close();</script>中文 ü still here"_s.toUtf8()));
        m_server.setRoute("/links.html", htmlRoute("<script>alert('a');</script><a href=a/one.html>第一</a>"
                                                   "<a href=x.html> 登陆 </a><a href=mailto:a@b.invalid>邮件</a>"));
        QVERIFY(TestFiles::write(m_dir.filePath(u"saved.htm"_s),
                                 "<a href=p.html>页</a><a href=" + url(u"/abs.html"_s).toUtf8() + ">绝对</a>"));
        connect(&m_dismisser, &QTimer::timeout, this, [this] {
            if (auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                if (m_holdModal && m_holdModal())
                    return;
                ++m_modals;
                modal->reject();
            }
        });
        m_dismisser.start(20);

        QFile::remove(BrowserProfile::cookieFilePath()); // written anew, with a new file's permissions
        m_profile = std::make_unique<BrowserProfile>();
        QVERIFY(!m_profile->profile()->isOffTheRecord()); // the browsers keep the login for the next session too
        m_rig = std::make_unique<WindowRig>(HttpDownloader::factory(m_profile->cookieJar(), m_profile->userAgent()),
                                            true, m_profile.get());
        m_rig->settings.setThreadCount(3);
        m_rig->settings.setFilterHarvest(false); // harvests go in as found, without the filter dialog
        m_rig->window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_rig->window.get()));
        // The address of a link under the mouse goes to panel 1.
        emit m_rig->window->browserTab()->browser()->statusTextChanged(u"http://127.0.0.1/hovered"_s);
        QCOMPARE(m_rig->find<QLabel>(u"Panel1"_s)->text(), u"http://127.0.0.1/hovered"_s);
    }

    void cleanup() { QCOMPARE(std::exchange(m_modals, 0), 0); }

    // One login for the browser tab, page mode and fast mode, kept for the next session until the
    // Internet options clear the cookies. Page mode saves pages in their character set whatever
    // their scripts try: a new window, dialogs, closing.
    void sharedLogin()
    {
        m_rig->settings.setLoginUrl(url(u"/set/login"_s));
        m_rig->find<QPushButton>(u"Command2"_s)->click();
        QTRY_VERIFY_WITH_TIMEOUT(savedCookies().contains("login=" + m_token), PageLoadPatience);
        QCOMPARE(run({u"/need/login"_s, u"/set/fast"_s}, false).count("members only"), 2);
        const QByteArray saved = run({u"/need/login"_s, u"/need/fast"_s, u"/script.html"_s}, true);
        QVERIFY2(saved.count("members only") == 2 && saved.contains(u"中文 ü still here"_s.toUtf8()), saved.constData());
        QVERIFY(m_server.requestsFor("/popup.html").isEmpty());

        run({u"/drop.html"_s}, true); // its script drops fast: fast mode loses it too
        QVERIFY(run({u"/need/fast"_s}, false).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!savedCookies().contains("fast=" + m_token), PageLoadPatience);
        QCOMPARE(QFile::permissions(BrowserProfile::cookieFilePath()) & (QFile::ReadGroup | QFile::ReadOther),
                 QFile::Permissions());
        const QString copy = m_dir.filePath(u"CookieJar"_s);
        QVERIFY(QFile::copy(BrowserProfile::cookieFilePath(), copy));
        QWebEngineProfile laterBrowsers; // a store that knows none of them
        const QList<QNetworkCookie> later = CookieBridge(laterBrowsers.cookieStore(), copy).cookies();
        QVERIFY(std::any_of(later.begin(), later.end(), [this](const QNetworkCookie &c) { return c.value() == m_token; }));

        InternetOptionsDialog options(m_profile.get(), m_rig->dialogs);
        options.findChild<QPushButton *>(u"cmdClearCookies"_s)->click();
        QVERIFY(run({u"/need/login"_s}, false).isEmpty() && run({u"/need/login"_s}, true).isEmpty());
        QTest::qWait(2 * CookieBridge::saveDelayMs);
        QVERIFY(!savedCookies().contains(m_token)); // the browsers' store forgot it too: it never came back
    }

    // The browser tab's commands, each while an import waits for a page that never ends: the
    // import gives up, the page the command asks for shows, and an import harvests its page.
    void browserTabCommands_data()
    {
        QTest::addColumn<CommandCase>("c");
        const QStringList row{u"name1="_s + url(u"/set/row"_s)};
        QTest::newRow("import by address: 登陆 and mailto skipped")
            << CommandCase{u"menu导入网址"_s, u"/links.html"_s, row + QStringList{u"第一="_s + url(u"/a/one.html"_s)}};
        QTest::newRow("import a saved page: its own folder's links skipped")
            << CommandCase{u"Command3"_s, u"/saved.htm"_s, row + QStringList{u"绝对="_s + url(u"/abs.html"_s)}};
        QTest::newRow("browse the typed address") << CommandCase{u"menu浏览网址"_s, u"/links.html"_s, row};
        QTest::newRow("double-click a row") << CommandCase{u"double-click"_s, u"/set/row"_s, row};
        QTest::newRow("software update") << CommandCase{u"menu软件升级"_s, u"#"_s + Resources::updateAnchor(), row};
    }

    void browserTabCommands()
    {
        QFETCH(CommandCase, c);
        const auto &[command, shown, rows] = c;
        m_rig->list.clear();
        m_rig->addRows({url(u"/set/row"_s)});
        m_rig->dialogs.inputAnswers.clear(); // a row's unused answers go with it
        m_rig->dialogs.openFileAnswers.clear();
        m_rig->dialogs.inputAnswers << url(u"/never.html"_s) << url(u"/links.html"_s);
        m_rig->dialogs.openFileAnswers << m_dir.filePath(u"saved.htm"_s);
        m_rig->action(u"menu导入网址"_s)->trigger();
        auto *tabs = m_rig->find<QTabWidget>(u"SSTab1"_s);
        tabs->setCurrentIndex(MainWindow::ListTabIndex);
        auto *view = m_rig->find<QTableView>(u"ListView1"_s);
        const QPoint first = view->visualRect(view->model()->index(0, 1)).center();
        if (command == u"double-click"_s) {
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, first);
            QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, first);
        } else {
            QMetaObject::invokeMethod(m_rig->window->findChild<QObject *>(command), m_rig->action(command) ? "trigger" : "click");
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_rig->window->browserTab()->browser()->location().endsWith(shown), PageLoadPatience);
        QTRY_COMPARE_WITH_TIMEOUT(TestFiles::rows(m_rig->list), rows, PageLoadPatience);
        QVERIFY(!m_rig->window->browserTab()->commands()->waiting());
        QCOMPARE(tabs->currentIndex(), int(rows.size() == 1 ? MainWindow::BrowserTabIndex : MainWindow::ListTabIndex));
    }

    // A page handed over while the user's harvest is under review waits for the review to end: the
    // page stays under the dialog, and its own review comes after, not over it.
    void handedPageWaitsForTheReviewOfAHarvest()
    {
        BrowserTab *tab = m_rig->window->browserTab();
        FileImportQueue imports(*m_rig->window->listTab(), *tab);
        tab->navigate(url(u"/links.html"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!tab->browser()->isBusy() && tab->browser()->location().endsWith(u"/links.html"_s), PageLoadPatience);
        QElapsedTimer firstReview;
        QStringList shownAtEnd; // the page under each review as it closes
        m_holdModal = [&] {
            if (!firstReview.isValid()) {
                firstReview.start();
                imports.add({m_dir.filePath(u"saved.htm"_s)});
            }
            if (firstReview.elapsed() < 1000)
                return true;
            shownAtEnd << QUrl(tab->browser()->location()).fileName();
            return false;
        };
        const auto restore = qScopeGuard([this] {
            m_holdModal = nullptr;
            m_rig->settings.setFilterHarvest(false);
        });
        m_rig->settings.setFilterHarvest(true);
        tab->harvestLinks();
        QTRY_COMPARE_WITH_TIMEOUT(m_modals, 2, PageLoadPatience);
        QCOMPARE(shownAtEnd, (QStringList{u"links.html"_s, u"saved.htm"_s}));
        m_modals = 0;
    }

    void pageThatNeverEndsHoldsItsSlotUntilStop()
    {
        QVERIFY(run({u"/never.html"_s, u"/set/other"_s}, true, {true, false, false}).contains("members only"));
        QTest::qWait(2000);
        QVERIFY(m_rig->driver.isRunning() && m_rig->window->pageBrowsers()[0]->isBusy());
        m_rig->find<QPushButton>(u"Command5"_s)->click();
        QTest::qWait(500); // no late end of the stopped load writes its row or takes its slot
        QVERIFY(!m_rig->driver.isRunning() && !m_rig->window->pageBrowsers()[0]->isBusy());
        QCOMPARE(m_rig->driver.slotsBusy(), std::vector<bool>(3, false));
        QCOMPARE(m_rig->list.state(1), RowState::Ready); // handed back for the next run
    }
};

int main(int argc, char *argv[])
{
    prepareTestBrowserEngine();
    QApplication app(argc, argv);
    TestWebWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webwindow.moc"
