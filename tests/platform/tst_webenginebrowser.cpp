#include "platform/Codec.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/WebEngineBrowser.h"
#include "support/BrowserTestEnvironment.h"
#include "support/TestHttpServer.h"

#include <QApplication>
#include <QTest>
#include <QWebEngineView>

using namespace Qt::Literals::StringLiterals;
using Route = TestHttpServer::Route;

class tst_WebEngineBrowser : public QObject
{
    Q_OBJECT

    std::unique_ptr<BrowserProfile> m_profile;
    TestHttpServer m_server;

    QString url(const QString &path) const { return m_server.urlText(path); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        m_profile = std::make_unique<BrowserProfile>();

        Route gbk = htmlRoute(Codec::toGbk(u"<body>中文内容</body>"_s)), file = htmlRoute("PK");
        gbk.contentType = "text/html; charset=GBK";
        file.extraHeaders = {{QByteArray("Content-Disposition"), QByteArray("attachment")}};
        m_server.setRoute("/utf8.html", htmlRoute(u"<!DOCTYPE html><body>中文内容 ü</body>"_s.toUtf8()));
        m_server.setRoute("/gbk.html", gbk);
        m_server.setRoute("/hop.html", htmlRoute("<script>location.replace('/utf8.html');</script>"));
        m_server.setRoute("/file.zip", file);
        m_server.setRoute("/missing", htmlRoute("<body>not here</body>", 404));
        m_server.setRoute("/links.html", htmlRoute(u"<a name=n>no link</a><a href=/abs.htm>一</a><a href=rel.htm>二<b>粗</b></a>"
                                                   u"<map><area href=area.htm></map><a href=mailto:a@b.invalid>m</a>"_s.toUtf8()));
        m_server.setRoute("/stay.html", htmlRoute("<script>onbeforeunload = e => { e.preventDefault(); e.returnValue = 's'; };"
                                                  "onmousedown = () => document.title = 'touched';</script><body style=height:300px>"));
    }

    void navigations_data()
    {
        // Each call: an address to navigate to, "stop", "end" (wait for the next end), "touch" (click
        // the shown page until its script notices), or "@" (the next call comes as the engine ends
        // the load, before the browser has heard of the end).
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("ends");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("document"); // character set and markup read back; empty: not compared
        QTest::addColumn<QStringList>("links"); // text -> address
        const QString nowhere = u"http://nowhere.invalid/"_s; // no host name beyond this machine resolves
        const QString utf8 = url(u"/utf8.html"_s), linksPage = url(u"/links.html"_s);
        const QString stop = u"stop"_s, at = u"@"_s;
        const QStringList loaded{u"loaded"_s}, none;
        const auto row = [](const char *name, const QStringList &calls, const QStringList &ends, const QString &location,
                            const QString &document = {}, const QStringList &links = {}) {
            QTest::newRow(name) << calls << ends << location << document << links;
        };
        row("page with its doctype", {utf8}, loaded, utf8,
            u"UTF-8 <!DOCTYPE html>\n<html><head></head><body>中文内容 ü</body></html>"_s);
        row("GBK named by the server", {url(u"/gbk.html"_s)}, loaded, url(u"/gbk.html"_s),
            u"GBK <html><head></head><body>中文内容</body></html>"_s);
        row("links", {linksPage}, loaded, linksPage, {},
            {u"一 -> "_s + url(u"/abs.htm"_s), u"二粗 -> "_s + url(u"/rel.htm"_s), u" -> "_s + url(u"/area.htm"_s),
             u"m -> mailto:a@b.invalid"_s});
        row("moved on by its script", {url(u"/hop.html"_s)}, loaded, utf8);
        row("empty address: blank, no location", {QString()}, loaded, QString());
        row("HTTP error status", {url(u"/missing"_s)}, {u"HTTP 404"_s}, url(u"/missing"_s));
        row("network failure", {nowhere}, {u"no page"_s}, nowhere);
        row("a file, not a page", {url(u"/file.zip"_s)}, {u"no page"_s}, QString());
        row("two pages at once", {linksPage, utf8}, loaded, utf8);
        row("a page, stop", {utf8, stop}, none, QString());
        row("a page as the previous ends", {linksPage, at, utf8}, loaded, utf8);
        row("stop as the previous ends", {utf8, at, stop}, none, utf8);
        row("another section of the shown page", {utf8 + u"#a"_s, u"end"_s, utf8 + u"#b"_s}, loaded + loaded, utf8 + u"#b"_s);
        row("silent: leaves a page that asks to stay", {url(u"/stay.html"_s), u"end"_s, u"touch"_s, utf8}, loaded + loaded, utf8);
    }

    // One end for each navigation, busy until it comes.
    void navigations()
    {
        QFETCH(QStringList, calls);
        QFETCH(QStringList, ends);
        QFETCH(QString, document);
        QWebEngineView view;
        WebEngineBrowser browser(m_profile->profile());
        browser.setSilent(true); // as every browser of the program
        // Each end: "loaded", "HTTP <status>" or "no page", marked when isBusy() was still true.
        QStringList ended;
        QString title;
        int progress = -1;
        const auto end = [&](const QString &how) { ended << how + (browser.isBusy() ? u" while busy"_s : QString()); };
        connect(&browser, &Browser::loaded, &browser, [&] { end(u"loaded"_s); });
        connect(&browser, &Browser::loadFailed, &browser,
                [&](int status) { end(status >= 100 && status < 600 ? u"HTTP %1"_s.arg(status) : u"no page"_s); });
        connect(&browser, &Browser::titleChanged, &browser, [&](const QString &text) { title = text; });
        connect(&browser, &Browser::loadProgress, &browser, [&](int done) { progress = done; });
        const auto call = [&](const QString &step) {
            step == u"stop"_s ? browser.stop() : browser.navigate(step);
            QCOMPARE(browser.isBusy(), step != u"stop"_s);
        };
        for (qsizetype i = 0; i < calls.size(); ++i) {
            const qsizetype endsSoFar = ended.size();
            bool made = false;
            if (calls[i] == u"end"_s) {
                QTRY_COMPARE_WITH_TIMEOUT(ended.size(), endsSoFar + 1, PageLoadPatience);
            } else if (calls[i] == u"touch"_s) {
                view.setPage(browser.page());
                view.resize(400, 300);
                view.show();
                QVERIFY(QTest::qWaitForWindowExposed(&view));
                QTRY_VERIFY_WITH_TIMEOUT(view.focusProxy() && (QTest::mouseClick(view.focusProxy(), Qt::LeftButton, {}, {50, 50}),
                                                               title == u"touched"_s), PageLoadPatience);
            } else if (calls[i] == u"@"_s) {
                connect(browser.page(), &QWebEnginePage::loadFinished, this,
                        [&, next = calls[++i]] { call(next), made = true; }, Qt::SingleShotConnection);
                QTRY_VERIFY_WITH_TIMEOUT(made, PageLoadPatience);
            } else {
                call(calls[i]);
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), ends.size(), PageLoadPatience);
        QTest::qWait(300);
        QCOMPARE(ended, ends);
        QVERIFY(!browser.isBusy());
        QTEST(browser.location(), "location");
        if (ends != QStringList{u"loaded"_s})
            return;
        QCOMPARE(progress, 100);
        struct Read { QString document; QStringList links; int answers = 0; };
        const auto read = std::make_shared<Read>(); // shared: an answer may come after a failed row has ended
        browser.readDocument([read](const BrowserDocument &shown) {
            read->document = shown.characterSet + u' ' + shown.outerHtml;
            ++read->answers;
        });
        browser.readLinks([read](const QList<BrowserLink> &links) {
            for (const BrowserLink &link : links)
                read->links << link.outerText + u" -> "_s + link.href;
            ++read->answers;
        });
        QTRY_COMPARE_WITH_TIMEOUT(read->answers, 2, PageLoadPatience);
        QVERIFY2(document.isEmpty() || read->document == document, qPrintable(read->document));
        QTEST(read->links, "links");
    }
};

int main(int argc, char *argv[])
{
    prepareTestBrowserEngine();
    QApplication app(argc, argv);
    tst_WebEngineBrowser test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webenginebrowser.moc"
