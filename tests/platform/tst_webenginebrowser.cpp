#include "engine/HttpDownloader.h"
#include "platform/Codec.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "platform/web/WebEngineBrowser.h"
#include "support/BrowserTestEnvironment.h"
#include "support/TestHttpServer.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkCookie>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <memory>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

// Generous: the machine may be busy with other builds.
constexpr int Patience = 20000;

QByteArray html(const QString &text) { return text.toUtf8(); }

TestHttpServer::Route page(const QByteArray &body, const QByteArray &contentType = "text/html; charset=utf-8")
{
    TestHttpServer::Route route;
    route.contentType = contentType;
    route.body = body;
    return route;
}

// Downloads the address as fast mode does, with this jar and User-Agent; true when it succeeded.
bool fastDownload(QNetworkCookieJar *jar, const QUrl &url, const QByteArray &userAgent = {})
{
    QTemporaryDir dir;
    const std::unique_ptr<Downloader> downloader = HttpDownloader::factory(jar, userAgent)(1);
    bool ended = false;
    bool saved = false;
    QObject::connect(downloader.get(), &Downloader::finished, downloader.get(), [&](const DownloadResult &result) {
        ended = true;
        saved = result.outcome == DownloadResult::Outcome::Saved;
    });
    downloader->start({url.toString(), dir.filePath(u"file"_s)});
    return QTest::qWaitFor([&ended] { return ended; }, Patience) && saved;
}

// What a browser reported since the watch began.
class LoadWatch
{
public:
    explicit LoadWatch(Browser &browser)
        : complete(&browser, &Browser::loaded), error(&browser, &Browser::loadFailed),
          progress(&browser, &Browser::loadProgress), title(&browser, &Browser::titleChanged)
    {
        m_connection = QObject::connect(&browser, &Browser::loaded, &browser,
                                        [this, &browser] { busyAtEnd.append(browser.isBusy()); });
        m_errorConnection = QObject::connect(&browser, &Browser::loadFailed, &browser,
                                             [this, &browser](int) { busyAtEnd.append(browser.isBusy()); });
    }
    ~LoadWatch()
    {
        QObject::disconnect(m_connection);
        QObject::disconnect(m_errorConnection);
    }
    LoadWatch(const LoadWatch &) = delete;
    LoadWatch &operator=(const LoadWatch &) = delete;

    int ends() const { return int(complete.size() + error.size()); }

    QSignalSpy complete;
    QSignalSpy error;
    QSignalSpy progress;
    QSignalSpy title;
    QList<bool> busyAtEnd;

private:
    QMetaObject::Connection m_connection;
    QMetaObject::Connection m_errorConnection;
};

std::optional<BrowserDocument> readDocument(Browser &browser)
{
    auto result = std::make_shared<std::optional<BrowserDocument>>();
    browser.readDocument([result](const BrowserDocument &document) { *result = document; });
    if (!QTest::qWaitFor([result] { return result->has_value(); }, Patience))
        return std::nullopt;
    return *result;
}

std::optional<QList<BrowserLink>> readLinks(Browser &browser)
{
    auto result = std::make_shared<std::optional<QList<BrowserLink>>>();
    browser.readLinks([result](const QList<BrowserLink> &links) { *result = links; });
    if (!QTest::qWaitFor([result] { return result->has_value(); }, Patience))
        return std::nullopt;
    return *result;
}

bool hasCookie(const CookieBridge &jar, const QByteArray &name, const QByteArray &value)
{
    const QList<QNetworkCookie> cookies = jar.cookies();
    return std::any_of(cookies.begin(), cookies.end(), [&](const QNetworkCookie &cookie) {
        return cookie.name() == name && (value.isNull() || cookie.value() == value);
    });
}

} // namespace

class tst_WebEngineBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void profileKeepsAwayFromUserData();
    void loadsAServedPage_data();
    void loadsAServedPage();
    void readsLinksInDocumentOrder_data();
    void readsLinksInDocumentOrder();
    void reportsFailedLoads_data();
    void reportsFailedLoads();
    void loadsLocalFiles_data();
    void loadsLocalFiles();
    void blankPageIsNoPage();
    void scriptsCannotOpenCloseOrAsk_data();
    void scriptsCannotOpenCloseOrAsk();
    void leavesAPageThatAsksToStay_data();
    void leavesAPageThatAsksToStay();
    void stopEndsASlowLoad();
    void newNavigationReplacesALoad();
    void callsMadeAsALoadEndsCount_data();
    void callsMadeAsALoadEndsCount();
    void quickSuccession_data();
    void quickSuccession();
    void answersReadsOnceWhenTheBrowserIsGone_data();
    void answersReadsOnceWhenTheBrowserIsGone();
    void cookiesReachFastDownloads();
    void fastDownloadCookiesReachTheBrowsers();
    void aLaterSessionStartsWithTheCookies();
    void startsFromItsCopy_data();
    void startsFromItsCopy();

private:
    std::unique_ptr<WebEngineBrowser> newBrowser();
    QString url(const char *path) const { return m_server.urlText(QString::fromLatin1(path)); }

    BrowserProfile *m_profile = nullptr;
    TestHttpServer m_server;
    QByteArray m_token;
};

std::unique_ptr<WebEngineBrowser> tst_WebEngineBrowser::newBrowser()
{
    auto browser = std::make_unique<WebEngineBrowser>(m_profile->profile());
    browser->setSilent(true);
    browser->setCancelNewWindows(true);
    browser->setCancelWindowClosing(true);
    return browser;
}

void tst_WebEngineBrowser::initTestCase()
{
    QVERIFY(QStandardPaths::isTestModeEnabled());
    m_profile = new BrowserProfile;
    QVERIFY(m_server.listen());
    // Cookies persist between runs: values of this run only.
    m_token = QUuid::createUuid().toByteArray(QUuid::Id128);

    m_server.setRoute("/utf8.html",
                      page(html(u"<!DOCTYPE html><html><head><title>标题 UTF-8</title></head>"
                                u"<body><p>中文内容 ü</p></body></html>"_s)));
    m_server.setRoute("/gbk-header.html",
                      page(Codec::toGbk(u"<html><head><title>简体标题</title></head>"
                                        u"<body><p>中文内容</p></body></html>"_s),
                           "text/html; charset=GBK"));
    m_server.setRoute("/gb2312-meta.html",
                      page(Codec::toGbk(u"<html><head><meta charset=\"gb2312\"><title>简体标题</title>"
                                        u"</head><body><p>中文内容</p></body></html>"_s),
                           "text/html"));

    const QString links = uR"(<html><head>%1<title>links</title></head><body>
<a href="/abs/one.htm">一</a>
<a name="anchor">not a link</a>
<a href="rel/two.htm">二<b>粗</b></a>
<a href="mailto:someone@example.invalid">mail</a>
<a href="#frag">frag</a>
<map name="m"><area href="area.htm" alt="area" shape="rect" coords="0,0,1,1"></map>
<a href="img.htm"><img alt="picture" src="data:,"></a>
<a href="https://127.0.0.1:1/three?x=1&amp;y=2">three</a>
</body></html>)"_s;
    m_server.setRoute("/dir/links.html", page(html(links.arg(QString()))));
    m_server.setRoute("/dir/based.html",
                      page(html(links.arg(u"<base href=\"%1\">"_s.arg(url("/other/"))))));

    m_server.setRoute("/hop.html", page("<html><head><script>location.replace('/utf8.html');"
                                        "</script></head><body>hop</body></html>"));
    TestHttpServer::Route moved;
    moved.status = 302;
    moved.location = url("/utf8.html").toUtf8();
    m_server.setRoute("/moved", moved);
    TestHttpServer::Route attachment = page("PK not a page", "application/zip");
    attachment.extraHeaders.append(
        {QByteArray("Content-Disposition"), QByteArray("attachment; filename=\"file.zip\"")});
    m_server.setRoute("/file.zip", attachment);

    TestHttpServer::Route missing = page("<html><body>not here</body></html>");
    missing.status = 404;
    m_server.setRoute("/missing", missing);
    TestHttpServer::Route missingEmpty = page({});
    missingEmpty.status = 404;
    m_server.setRoute("/missing-empty", missingEmpty);
    TestHttpServer::Route broken = page("<html><body>broken</body></html>");
    broken.status = 500;
    m_server.setRoute("/broken", broken);

    m_server.setRoute("/scripts.html", page(R"(<html><head><title>start</title><script>
var r = [];
alert('hello');
r.push('alerted');
r.push('confirm=' + confirm('sure?'));
r.push('prompt=' + prompt('name?', 'x'));
window.open('/utf8.html', '_blank');
window.close();
r.push('closed');
document.title = r.join(',');
</script></head><body>scripts</body></html>)"));

    m_server.setRoute("/stay.html", page(R"(<html><head><title>stay</title><script>
window.onbeforeunload = function (e) { e.preventDefault(); e.returnValue = 'stay'; return 'stay'; };
document.addEventListener('mousedown', function () { document.title = 'clicked'; });
</script></head><body style="margin:0"><div style="width:400px;height:300px">stay</div></body></html>)"));

    TestHttpServer::Route stall = page({});
    stall.stall = TestHttpServer::Stall::BeforeHeaders;
    m_server.setRoute("/stall", stall);
    m_server.setRoute("/stall-too", stall);

    TestHttpServer::Route setCookies = page("<html><head><script>document.cookie = 'js=" + m_token
                                            + "; path=/';</script></head><body>cookies</body></html>");
    setCookies.extraHeaders.append({"Set-Cookie", "srv=" + m_token + "; Path=/"});
    m_server.setRoute("/set-cookies.html", setCookies);
    m_server.setRoute("/drop-cookie.html",
                      page("<html><head><script>document.cookie = 'js=; expires=Thu, 01 Jan 1970 "
                           "00:00:00 GMT; path=/';</script></head><body>dropped</body></html>"));
    const QByteArray token = m_token;
    m_server.setHandler("/need-both", [token](const TestHttpServer::Request &request) {
        const QByteArray cookies = request.header("Cookie");
        TestHttpServer::Route route = page("both");
        if (!cookies.contains("srv=" + token) || !cookies.contains("js=" + token))
            route.status = 403;
        return route;
    });
    TestHttpServer::Route needSrv = page("srv");
    needSrv.requiredCookie = "srv=" + m_token;
    m_server.setRoute("/need-srv", needSrv);
    TestHttpServer::Route fastCookie = page("fast");
    fastCookie.extraHeaders.append({"Set-Cookie", "fast=" + m_token + "; Path=/"});
    m_server.setRoute("/fast-cookie", fastCookie);
    TestHttpServer::Route needFast = page("<html><body>welcome back</body></html>");
    needFast.requiredCookie = "fast=" + m_token;
    m_server.setRoute("/need-fast.html", needFast);
}

void tst_WebEngineBrowser::cleanupTestCase()
{
    delete m_profile;
    m_profile = nullptr;
}

void tst_WebEngineBrowser::profileKeepsAwayFromUserData()
{
    const QString testData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(testData.contains(u"/.qttest/"_s));
    QVERIFY(!m_profile->profile()->isOffTheRecord());
    QVERIFY(m_profile->profile()->persistentStoragePath().startsWith(testData));
    QVERIFY(m_profile->profile()->cachePath().startsWith(
        QStandardPaths::writableLocation(QStandardPaths::CacheLocation)));
}

void tst_WebEngineBrowser::loadsAServedPage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shownPath");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("characterSet");
    QTest::addColumn<QString>("text");

    QTest::newRow("utf-8 page") << u"/utf8.html"_s << u"/utf8.html"_s << u"标题 UTF-8"_s
                                << u"UTF-8"_s << u"中文内容 ü"_s;
    QTest::newRow("gbk named by the server") << u"/gbk-header.html"_s << u"/gbk-header.html"_s
                                             << u"简体标题"_s << u"GBK"_s << u"中文内容"_s;
    QTest::newRow("gb2312 named by the page") << u"/gb2312-meta.html"_s << u"/gb2312-meta.html"_s
                                              << u"简体标题"_s << u"GBK"_s << u"中文内容"_s;
    QTest::newRow("moved on by its script: one completion, the final address")
        << u"/hop.html"_s << u"/utf8.html"_s << u"标题 UTF-8"_s << u"UTF-8"_s << u"中文内容 ü"_s;
    QTest::newRow("redirected: one completion, the final address")
        << u"/moved"_s << u"/utf8.html"_s << u"标题 UTF-8"_s << u"UTF-8"_s << u"中文内容 ü"_s;
}

void tst_WebEngineBrowser::loadsAServedPage()
{
    QFETCH(QString, path);
    QFETCH(QString, shownPath);
    QFETCH(QString, title);
    QFETCH(QString, characterSet);
    QFETCH(QString, text);

    auto browser = newBrowser();
    LoadWatch watch(*browser);
    browser->navigate(m_server.urlText(path));
    QVERIFY(browser->isBusy());
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);

    QCOMPARE(watch.complete.size(), 1);
    QCOMPARE(watch.busyAtEnd, QList<bool>{false});
    QVERIFY(!browser->isBusy());
    QCOMPARE(browser->location(), m_server.urlText(shownPath));
    QTRY_VERIFY_WITH_TIMEOUT(!watch.title.isEmpty(), Patience);
    QCOMPARE(watch.title.last().at(0).toString(), title);
    QVERIFY(!watch.progress.isEmpty());
    QCOMPARE(watch.progress.last(), (QList<QVariant>{100, 100}));

    const auto document = readDocument(*browser);
    QVERIFY(document);
    // The document type declaration comes with the markup: without it a saved page renders in
    // quirks mode.
    const bool declared = shownPath == u"/utf8.html"_s; // served with "<!DOCTYPE html>"
    QVERIFY2(document->outerHtml.startsWith(declared ? u"<!DOCTYPE html>\n<html"_s : u"<html"_s),
             qPrintable(document->outerHtml));
    QVERIFY2(document->outerHtml.contains(text), qPrintable(document->outerHtml));
    QVERIFY(document->outerHtml.contains(u"<title>"_s + title + u"</title>"_s));
    QCOMPARE(document->characterSet, characterSet);
}

void tst_WebEngineBrowser::readsLinksInDocumentOrder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("fragmentOf");

    QTest::newRow("relative to the page's folder")
        << u"/dir/links.html"_s << url("/dir/") << url("/dir/links.html");
    QTest::newRow("relative to the base element")
        << u"/dir/based.html"_s << url("/other/") << url("/other/");
}

void tst_WebEngineBrowser::readsLinksInDocumentOrder()
{
    QFETCH(QString, path);
    QFETCH(QString, folder);
    QFETCH(QString, fragmentOf);

    auto browser = newBrowser();
    LoadWatch watch(*browser);
    const QString address = m_server.urlText(path);
    browser->navigate(address);
    QTRY_COMPARE_WITH_TIMEOUT(watch.complete.size(), 1, Patience);

    const auto links = readLinks(*browser);
    QVERIFY(links);
    QStringList got;
    for (const BrowserLink &link : *links)
        got << link.outerText + u" -> "_s + link.href;
    const QStringList expected{
        u"一 -> "_s + url("/abs/one.htm"),
        u"二粗 -> "_s + folder + u"rel/two.htm"_s,
        u"mail -> mailto:someone@example.invalid"_s,
        u"frag -> "_s + fragmentOf + u"#frag"_s,
        u" -> "_s + folder + u"area.htm"_s,
        u" -> "_s + folder + u"img.htm"_s,
        u"three -> https://127.0.0.1:1/three?x=1&y=2"_s,
    };
    QCOMPARE(got, expected);
}

void tst_WebEngineBrowser::reportsFailedLoads_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("status"); // 0: a failure without an HTTP status

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 nobody = closed.serverPort();
    closed.close();

    QTest::newRow("404 with a page") << url("/missing") << 404;
    QTest::newRow("404 without a body") << url("/missing-empty") << 404;
    QTest::newRow("500") << url("/broken") << 500;
    QTest::newRow("nothing listens") << u"http://127.0.0.1:%1/"_s.arg(nobody) << 0;
    QTest::newRow("a file, not a page") << url("/file.zip") << 0;
}

void tst_WebEngineBrowser::reportsFailedLoads()
{
    QFETCH(QString, address);
    QFETCH(int, status);

    auto browser = newBrowser();
    LoadWatch watch(*browser);
    browser->navigate(address);
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);

    QCOMPARE(watch.error.size(), 1);
    QCOMPARE(watch.busyAtEnd, QList<bool>{false});
    const int reported = watch.error.first().at(0).toInt();
    if (status != 0)
        QCOMPARE(reported, status);
    else
        QVERIFY2(reported != 0 && (reported < 100 || reported > 599), QByteArray::number(reported));
    // Nothing more arrives for the error page.
    QTest::qWait(300);
    QCOMPARE(watch.ends(), 1);
    QVERIFY(!browser->isBusy());
}

void tst_WebEngineBrowser::loadsLocalFiles_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("asFileAddress");

    QTest::newRow("absolute path") << u"page.htm"_s << false;
    QTest::newRow("file:/// address") << u"page.htm"_s << true;
    QTest::newRow("path with Chinese and a space") << u"保存的 页面.html"_s << false;
    QTest::newRow("file:/// address with Chinese and a space") << u"保存的 页面.html"_s << true;
}

void tst_WebEngineBrowser::loadsLocalFiles()
{
    QFETCH(QString, fileName);
    QFETCH(bool, asFileAddress);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(fileName);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(html(u"<html><head><title>saved</title></head><body>"
                    u"<a href=\"next.htm\">next</a></body></html>"_s));
    file.close();

    auto browser = newBrowser();
    LoadWatch watch(*browser);
    browser->navigate(asFileAddress ? QUrl::fromLocalFile(path).toString() : path);
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
    QCOMPARE(watch.complete.size(), 1);
    QCOMPARE(QUrl(browser->location()), QUrl::fromLocalFile(path));

    const auto links = readLinks(*browser);
    QVERIFY(links);
    QCOMPARE(links->size(), 1);
    QCOMPARE(QUrl(links->first().href), QUrl::fromLocalFile(dir.filePath(u"next.htm"_s)));
}

void tst_WebEngineBrowser::blankPageIsNoPage()
{
    auto browser = newBrowser();
    QCOMPARE(browser->location(), QString());

    // Start-up: parked on the empty address and stopped at once.
    LoadWatch watch(*browser);
    browser->navigate(QString());
    browser->stop();
    QVERIFY(!browser->isBusy());
    QTest::qWait(300);
    QVERIFY(!browser->isBusy());
    QCOMPARE(watch.ends(), 0);
    QCOMPARE(browser->location(), QString());

    browser->navigate(url("/utf8.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
    QCOMPARE(watch.complete.size(), 1);
    QCOMPARE(browser->location(), url("/utf8.html"));

    browser->navigate(QString());
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 2, Patience);
    QCOMPARE(watch.complete.size(), 2);
    QCOMPARE(browser->location(), QString());
}

void tst_WebEngineBrowser::scriptsCannotOpenCloseOrAsk_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("refuseClosing");
    QTest::addColumn<int>("dialogs");

    QTest::newRow("silent: no dialog") << true << true << 0;
    // Shows that the dialogs would be seen here if the browser showed any.
    QTest::newRow("not silent: alert, confirm and prompt") << false << true << 3;
    QTest::newRow("closing allowed: the owner is told once") << true << false << 0;
}

void tst_WebEngineBrowser::scriptsCannotOpenCloseOrAsk()
{
    QFETCH(bool, silent);
    QFETCH(bool, refuseClosing);
    QFETCH(int, dialogs);

    auto browser = newBrowser();
    browser->setSilent(silent);
    browser->setCancelWindowClosing(refuseClosing);
    QWebEngineView view;
    view.setPage(browser->page());
    QPointer<QWebEnginePage> page = browser->page();

    QStringList seen;
    QTimer dismisser;
    connect(&dismisser, &QTimer::timeout, this, [&seen] {
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            seen << QString::fromLatin1(dialog->metaObject()->className());
            dialog->reject();
        }
    });
    dismisser.start(20);

    LoadWatch watch(*browser);
    QSignalSpy newWindows(browser.get(), &Browser::newWindowRequested);
    QSignalSpy closing(browser.get(), &Browser::closeRequested);
    m_server.clearRequests();
    browser->navigate(url("/scripts.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
    QCOMPARE(watch.complete.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(closing.size(), 1, Patience);
    QCOMPARE(newWindows.size(), 1);
    QCOMPARE(seen.size(), dialogs);

    // The page went on loading after its script asked to close.
    const auto document = readDocument(*browser);
    QVERIFY(document);
    QVERIFY2(document->outerHtml.contains(u"<title>alerted,confirm=false,prompt=null,closed</title>"_s),
             qPrintable(document->outerHtml));
    QVERIFY(document->outerHtml.contains(u"<body>scripts</body>"_s));
    QVERIFY(page);
    QCOMPARE(browser->location(), url("/scripts.html"));
    QTest::qWait(300);
    QCOMPARE(closing.size(), 1);
    QVERIFY(m_server.requestsFor("/utf8.html").isEmpty());
}

void tst_WebEngineBrowser::leavesAPageThatAsksToStay_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("silent: leaves without asking") << true;
    QTest::newRow("not silent: the user chose to stay") << false;
}

void tst_WebEngineBrowser::leavesAPageThatAsksToStay()
{
    QFETCH(bool, silent);

    auto browser = newBrowser();
    browser->setSilent(silent);
    QWebEngineView view;
    view.setPage(browser->page());
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    QStringList seen;
    QTimer dismisser;
    connect(&dismisser, &QTimer::timeout, this, [&seen] {
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            seen << QString::fromLatin1(dialog->metaObject()->className());
            dialog->reject();
        }
    });
    dismisser.start(20);

    LoadWatch watch(*browser);
    browser->navigate(url("/stay.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.complete.size(), 1, Patience);
    // The engine asks a page's beforeunload only after the user has touched the page.
    QTRY_VERIFY_WITH_TIMEOUT(view.focusProxy(), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QTest::mouseClick(view.focusProxy(), Qt::LeftButton, {}, QPoint(50, 50));
            return browser->page()->title() == u"clicked"_s;
        }(),
        Patience);

    browser->navigate(url("/utf8.html"));
    if (silent) {
        QTRY_COMPARE_WITH_TIMEOUT(watch.complete.size(), 2, Patience);
        QCOMPARE(browser->location(), url("/utf8.html"));
        QCOMPARE(seen.size(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 1, Patience);
        // Staying ends the navigation: the browser is not left busy for ever.
        QTRY_VERIFY_WITH_TIMEOUT(!browser->isBusy(), Patience);
        QCOMPARE(browser->location(), url("/stay.html"));
    }
    QCOMPARE(watch.error.size(), 0);
}

void tst_WebEngineBrowser::stopEndsASlowLoad()
{
    auto browser = newBrowser();
    LoadWatch watch(*browser);
    m_server.clearRequests();
    browser->navigate(url("/stall"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_server.requestsFor("/stall").isEmpty(), Patience);
    QVERIFY(browser->isBusy());

    browser->stop();
    QVERIFY(!browser->isBusy());
    QTest::qWait(500);
    QVERIFY(!browser->isBusy());
    QCOMPARE(watch.ends(), 0);

    // The stopped load's end does not end the next one.
    browser->navigate(url("/utf8.html"));
    QVERIFY(browser->isBusy());
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
    QCOMPARE(watch.complete.size(), 1);
    QCOMPARE(watch.busyAtEnd, QList<bool>{false});
    QCOMPARE(browser->location(), url("/utf8.html"));
}

void tst_WebEngineBrowser::newNavigationReplacesALoad()
{
    auto browser = newBrowser();
    LoadWatch watch(*browser);
    m_server.clearRequests();
    browser->navigate(url("/stall-too"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_server.requestsFor("/stall-too").isEmpty(), Patience);

    browser->navigate(url("/utf8.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
    QCOMPARE(watch.complete.size(), 1);
    QCOMPARE(watch.busyAtEnd, QList<bool>{false});
    QCOMPARE(browser->location(), url("/utf8.html"));
    QTest::qWait(300);
    QCOMPARE(watch.ends(), 1);
}

void tst_WebEngineBrowser::callsMadeAsALoadEndsCount_data()
{
    QTest::addColumn<bool>("navigate"); // else stop
    QTest::newRow("navigate again: only the new page completes") << true;
    QTest::newRow("stop: nothing completes") << false;
}

// The engine has finished a load but its end has not reached the browser yet when the call
// comes: that end must neither end the new load nor outlive Stop.
void tst_WebEngineBrowser::callsMadeAsALoadEndsCount()
{
    QFETCH(bool, navigate);

    auto browser = newBrowser();
    WebEngineBrowser *raw = browser.get();
    const QString next = url("/dir/links.html");
    connect(browser->page(), &QWebEnginePage::loadFinished, raw, [raw, navigate, next] {
        if (raw->page()->url().path() != u"/utf8.html"_s)
            return;
        if (navigate)
            raw->navigate(next);
        else
            raw->stop();
    });
    LoadWatch watch(*browser);
    browser->navigate(url("/utf8.html"));
    if (navigate) {
        QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
        QCOMPARE(watch.complete.size(), 1);
        QCOMPARE(watch.busyAtEnd, QList<bool>{false});
        QCOMPARE(browser->location(), next);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!browser->isBusy(), Patience);
    }
    QTest::qWait(300);
    QCOMPARE(watch.ends(), navigate ? 1 : 0);
    QVERIFY(!browser->isBusy());
}

void tst_WebEngineBrowser::quickSuccession_data()
{
    QTest::addColumn<QStringList>("calls"); // an address, or "stop"
    QTest::addColumn<int>("completes");

    QTest::newRow("two navigations") << QStringList{url("/utf8.html"), url("/dir/links.html")} << 1;
    QTest::newRow("blank then a page") << QStringList{QString(), url("/dir/links.html")} << 1;
    QTest::newRow("blank, stop, a page")
        << QStringList{QString(), u"stop"_s, url("/dir/links.html")} << 1;
    QTest::newRow("a page, stop, a page")
        << QStringList{url("/utf8.html"), u"stop"_s, url("/dir/links.html")} << 1;
    QTest::newRow("a page, stop") << QStringList{url("/utf8.html"), u"stop"_s} << 0;
    QTest::newRow("three navigations")
        << QStringList{url("/utf8.html"), url("/gbk-header.html"), url("/dir/links.html")} << 1;
}

// Calls made one after another without a turn of the event loop in between.
void tst_WebEngineBrowser::quickSuccession()
{
    QFETCH(QStringList, calls);
    QFETCH(int, completes);

    auto browser = newBrowser();
    LoadWatch watch(*browser);
    for (const QString &call : calls) {
        if (call == u"stop"_s)
            browser->stop();
        else
            browser->navigate(call);
    }
    if (completes > 0)
        QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), completes, Patience);
    QTest::qWait(300);
    QCOMPARE(watch.complete.size(), completes);
    QCOMPARE(watch.error.size(), 0);
    QVERIFY(!browser->isBusy());
    if (completes > 0)
        QCOMPARE(browser->location(), calls.last());
}

void tst_WebEngineBrowser::answersReadsOnceWhenTheBrowserIsGone_data()
{
    QTest::addColumn<bool>("links");
    QTest::newRow("document") << false;
    QTest::newRow("links") << true;
}

void tst_WebEngineBrowser::answersReadsOnceWhenTheBrowserIsGone()
{
    QFETCH(bool, links);

    auto browser = newBrowser();
    LoadWatch watch(*browser);
    browser->navigate(url("/dir/links.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);

    auto answers = std::make_shared<int>(0);
    if (links)
        browser->readLinks([answers](const QList<BrowserLink> &) { ++*answers; });
    else
        browser->readDocument([answers](const BrowserDocument &) { ++*answers; });
    QCOMPARE(*answers, 0); // never from inside the call
    browser.reset();
    QTRY_COMPARE_WITH_TIMEOUT(*answers, 1, Patience);
    QTest::qWait(300);
    QCOMPARE(*answers, 1);
}

void tst_WebEngineBrowser::cookiesReachFastDownloads()
{
    CookieBridge &jar = *m_profile->cookieJar();
    auto browser = newBrowser();
    LoadWatch watch(*browser);
    m_server.clearRequests();
    browser->navigate(url("/set-cookies.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
    QCOMPARE(watch.complete.size(), 1);

    // One set by the server, one by the page's script.
    QTRY_VERIFY_WITH_TIMEOUT(hasCookie(jar, "srv", m_token), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(hasCookie(jar, "js", m_token), Patience);

    QVERIFY(fastDownload(&jar, m_server.url(u"/need-both"_s), m_profile->userAgent()));

    // The same User-Agent as the browser's own request.
    const QByteArray browserAgent = m_server.requestsFor("/set-cookies.html").first().header("User-Agent");
    QCOMPARE(browserAgent, m_profile->userAgent());
    QCOMPARE(m_server.requestsFor("/need-both").first().header("User-Agent"), m_profile->userAgent());

    // A cookie the page's script drops leaves the jar too.
    browser->navigate(url("/drop-cookie.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 2, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(!hasCookie(jar, "js", {}), Patience);
    QVERIFY(hasCookie(jar, "srv", m_token));
}

void tst_WebEngineBrowser::fastDownloadCookiesReachTheBrowsers()
{
    QVERIFY(fastDownload(m_profile->cookieJar(), m_server.url(u"/fast-cookie"_s)));

    auto browser = newBrowser();
    LoadWatch watch(*browser);
    browser->navigate(url("/need-fast.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.ends(), 1, Patience);
    QCOMPARE(watch.error.size(), 0);
    QCOMPARE(watch.complete.size(), 1);
    // Exactly one such cookie: the store's copy came back without making a second one.
    QTRY_VERIFY_WITH_TIMEOUT(hasCookie(*m_profile->cookieJar(), "fast", m_token), Patience);
    const QList<QNetworkCookie> sent = m_profile->cookieJar()->cookiesForUrl(m_server.url(u"/"_s));
    QCOMPARE(std::count_if(sent.begin(), sent.end(),
                           [](const QNetworkCookie &cookie) { return cookie.name() == "fast"; }),
             1);
}

void tst_WebEngineBrowser::aLaterSessionStartsWithTheCookies()
{
    auto browser = newBrowser();
    LoadWatch watch(*browser);
    browser->navigate(url("/set-cookies.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.complete.size(), 1, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(hasCookie(*m_profile->cookieJar(), "js", m_token), Patience);
    browser->navigate(url("/drop-cookie.html"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.complete.size(), 2, Patience);

    // The browsers' store reloads its cookies itself; the jar starts from its copy.
    const auto saved = [] {
        QFile file(BrowserProfile::cookieFilePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(saved().contains("srv=" + m_token) && !saved().contains("js="),
                             Patience);
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
                                      | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFile::permissions(BrowserProfile::cookieFilePath()) & others, QFile::Permissions());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString copy = dir.filePath(u"CookieJar"_s);
    QVERIFY(QFile::copy(BrowserProfile::cookieFilePath(), copy));
    CookieBridge later(m_profile->profile()->cookieStore(), copy);
    QVERIFY(hasCookie(later, "srv", m_token));
    QVERIFY(!hasCookie(later, "js", {}));
    QVERIFY(fastDownload(&later, m_server.url(u"/need-srv"_s)));
}

void tst_WebEngineBrowser::startsFromItsCopy_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("sent");

    const QByteArray tomorrow = QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::RFC2822Date).toLatin1();
    const QByteArray yesterday = QDateTime::currentDateTimeUtc().addDays(-1).toString(Qt::RFC2822Date).toLatin1();
    QTest::newRow("session cookie") << QByteArray("a=1; domain=127.0.0.1; path=/")
                                    << u"http://127.0.0.1:1/x"_s << true;
    QTest::newRow("cookie that lasts") << "a=1; expires=" + tomorrow + "; domain=127.0.0.1; path=/"
                                       << u"http://127.0.0.1:1/x"_s << true;
    QTest::newRow("expired cookie") << "a=1; expires=" + yesterday + "; domain=127.0.0.1; path=/"
                                    << u"http://127.0.0.1:1/x"_s << false;
    QTest::newRow("host-only cookie stays on its host")
        << QByteArray("a=1; domain=site.invalid; path=/") << u"http://www.site.invalid/"_s << false;
    QTest::newRow("domain cookie reaches the subdomains")
        << QByteArray("a=1; domain=.site.invalid; path=/") << u"http://www.site.invalid/"_s << true;
    QTest::newRow("path kept") << QByteArray("a=1; domain=127.0.0.1; path=/only")
                               << u"http://127.0.0.1:1/other"_s << false;
    QTest::newRow("secure cookie kept secure") << QByteArray("a=1; secure; domain=127.0.0.1; path=/")
                                               << u"http://127.0.0.1:1/x"_s << false;
}

void tst_WebEngineBrowser::startsFromItsCopy()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, address);
    QFETCH(bool, sent);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(u"CookieJar"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("other=2; domain=127.0.0.2; path=/\n" + line + '\n');
    file.close();

    CookieBridge bridge(m_profile->profile()->cookieStore(), path);
    const QList<QNetworkCookie> cookies = bridge.cookiesForUrl(QUrl(address));
    QCOMPARE(cookies.size(), sent ? 1 : 0);
    if (sent)
        QCOMPARE(cookies.first().toRawForm(QNetworkCookie::NameAndValueOnly), QByteArray("a=1"));
}

int main(int argc, char *argv[])
{
    prepareTestBrowserEngine();
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Quillmoor"_s);
    tst_WebEngineBrowser test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webenginebrowser.moc"
