#include "engine/UrlList.h"
#include "support/FakeBrowser.h"
#include "support/FakeDialogs.h"
#include "urllist/HarvestCommands.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::Literals::StringLiterals;

using Calls = QList<QPair<qint64, qint64>>;
using Links = QList<BrowserLink>;

namespace {

// A browser whose load ends arrive inside Navigate: either the end of the page it was still
// loading (and the new load goes on), or the end of the new load itself.
class ImmediateEndBrowser final : public Browser
{
public:
    enum class Mode { EndPreviousThenStayBusy, FinishInsideNavigate };

    explicit ImmediateEndBrowser(Mode mode) : m_mode(mode) {}

    void setSilent(bool) override {}
    bool silent() const override { return true; }
    void navigate(const QString &address) override
    {
        const bool wasBusy = m_busy;
        m_location = address;
        m_busy = true;
        if (m_mode == Mode::EndPreviousThenStayBusy) {
            if (wasBusy)
                emit loaded();
            return;
        }
        m_busy = false;
        emit loaded();
    }
    void stop() override { m_busy = false; }
    bool isBusy() const override { return m_busy; }
    QString location() const override { return m_location; }
    void readDocument(std::function<void(const BrowserDocument &)> done) override { done({}); }
    void readLinks(std::function<void(const QList<BrowserLink> &)> done) override
    {
        const Links links{{m_location, m_location}};
        QTimer::singleShot(0, this, [done = std::move(done), links] { done(links); });
    }

private:
    Mode m_mode;
    QString m_location;
    bool m_busy = false;
};

// The commands with a scripted browser and dialogs, recording what they do to the window.
struct Rig
{
    explicit Rig(Browser *browserToUse = nullptr)
        : browser(browserToUse ? browserToUse : &fake),
          commands(*browser, list, dialogs,
                   HarvestHost{[this](int tab) { tabs.append(tab); },
                               [this](qint64 value, qint64 maximum) { progress.append({value, maximum}); }}),
          harvested(&commands, &HarvestCommands::harvested), timedOut(&commands, &HarvestCommands::waitTimedOut)
    {
        commands.setPageWaitLimit(100);
    }

    // Shows a page in the browser without the commands.
    void show(const QString &address, const Links &links)
    {
        fake.setPage(address, FakeBrowser::Page{FakeBrowser::Outcome::Complete, {}, u"UTF-8"_s, links, {}});
        fake.navigate(address);
        QTRY_VERIFY(!fake.isBusy());
    }

    void script(const QString &address, FakeBrowser::Outcome outcome, const Links &links = {})
    {
        fake.setPage(address, FakeBrowser::Page{outcome, {}, u"UTF-8"_s, links, {}});
    }

    QStringList entries() const
    {
        QStringList result;
        for (int p = 1; p <= list.count(); ++p)
            result << list.linkName(p) + u'=' + list.url(p);
        return result;
    }

    FakeBrowser fake;
    Browser *browser;
    UrlList list;
    FakeDialogs dialogs;
    QList<int> tabs;
    Calls progress;
    HarvestCommands commands;
    QSignalSpy harvested;
    QSignalSpy timedOut;
};

void writeFile(const QString &path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<html><body><a href=\"x.htm\">x</a></body></html>");
}

} // namespace

class TestHarvestCommands : public QObject
{
    Q_OBJECT

private slots:
    void harvestShownPage_data()
    {
        QTest::addColumn<Links>("links");
        QTest::addColumn<QStringList>("added");
        QTest::newRow("relative links of a saved page resolve to file addresses and are skipped")
            << Links{{u"第一章"_s, u"file:///tmp/book/1.htm"_s}, {u"第二章"_s, u"file:///tmp/book/2.htm"_s}}
            << QStringList{};
        QTest::newRow("a saved page with a base reference gives http rows")
            << Links{{u"第一章"_s, u"http://h/book/1.htm"_s}} << QStringList{u"第一章=http://h/book/1.htm"_s};
        QTest::newRow("page without links") << Links{} << QStringList{};
        QTest::newRow("duplicates kept in document order, blanks trimmed")
            << Links{{u" b "_s, u" http://h/2 "_s}, {u"a"_s, u"http://h/1"_s}, {u"b"_s, u"http://h/2"_s}}
            << QStringList{u"b=http://h/2"_s, u"a=http://h/1"_s, u"b=http://h/2"_s};
    }

    void harvestShownPage()
    {
        QFETCH(Links, links);
        QFETCH(QStringList, added);

        Rig rig;
        rig.list.append(u"old"_s, u"http://h/old"_s);
        rig.show(u"http://h/page"_s, links);
        rig.commands.harvestLinks();
        QVERIFY(rig.harvested.wait(2000));

        QCOMPARE(rig.entries(), QStringList{u"old=http://h/old"_s} + added);
        QCOMPARE(rig.harvested.at(0).at(0).toInt(), added.size());
        QCOMPARE(rig.tabs, QList<int>{1});
        const qint64 maximum = links.size() + 1;
        QCOMPARE(rig.progress.first(), (QPair<qint64, qint64>(0, maximum)));
        QCOMPARE(rig.progress.last(), (QPair<qint64, qint64>(0, maximum)));
    }

    void bigPageIsOneAppendWithFewProgressCalls()
    {
        Rig rig;
        Links links;
        const int n = 100000;
        for (int i = 0; i < n; ++i)
            links.append({u"链接"_s + QString::number(i), u"http://h/"_s + QString::number(i)});
        rig.show(u"http://h/big"_s, links);
        QSignalSpy inserted(&rig.list, &UrlList::rowsInserted);
        rig.commands.harvestLinks();
        QVERIFY(rig.harvested.wait(5000));

        QCOMPARE(rig.list.count(), n);
        QCOMPARE(rig.list.url(n), u"http://h/99999"_s);
        QCOMPARE(inserted.count(), 1);
        QVERIFY2(rig.progress.size() <= 300, qPrintable(QString::number(rig.progress.size())));
        QCOMPARE(rig.progress.last(), (QPair<qint64, qint64>(0, n + 1)));
    }

    void noPageShownChangesNothing()
    {
        Rig rig;
        rig.list.append(u"old"_s, u"http://h/old"_s);
        rig.commands.harvestLinks();
        QVERIFY(!rig.harvested.wait(50));
        QCOMPARE(rig.entries(), QStringList{u"old=http://h/old"_s});
        QVERIFY(rig.tabs.isEmpty() && rig.progress.isEmpty());
    }

    // "%1" stands for a folder holding 保存的网页.htm and a subfolder "folder".
    void importLocalPage_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("loads");
        QTest::newRow("existing file by path loads") << u"%1/保存的网页.htm"_s << true;
        QTest::newRow("existing file by file address loads") << u"file://%1/保存的网页.htm"_s << true;
        QTest::newRow("missing file refused") << u"%1/gone.htm"_s << false;
        QTest::newRow("missing file address refused") << u"file://%1/gone.htm"_s << false;
        QTest::newRow("a folder is no file") << u"%1/folder"_s << false;
        QTest::newRow("address without http is a missing file") << u"www.example.org"_s << false;
    }

    void importLocalPage()
    {
        QFETCH(QString, pattern);
        QFETCH(bool, loads);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));
        writeFile(dir.filePath(u"保存的网页.htm"_s));
        const QString path = pattern.contains(u"%1"_s) ? pattern.arg(dir.path()) : pattern;

        Rig rig;
        rig.script(path, FakeBrowser::Outcome::Complete, {{u"a"_s, u"http://h/1"_s}});
        rig.commands.importPage(path);
        QCOMPARE(rig.commands.waiting(), loads);
        if (!loads) {
            QCOMPARE(rig.dialogs.messageTexts(), QStringList{u"该文件不存在！"_s});
            QCOMPARE(rig.dialogs.messages.at(0).icon, Dialogs::Icon::Critical);
            QVERIFY(rig.fake.navigations().isEmpty());
            return;
        }
        QCOMPARE(rig.fake.navigations(), QStringList{path});
        QVERIFY(rig.harvested.wait(2000));
        QCOMPARE(rig.entries(), QStringList{u"a=http://h/1"_s});
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    void importPageFile()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"page.html"_s);
        writeFile(file);
        Rig rig;
        rig.commands.importPageFile();
        QCOMPARE(rig.dialogs.openFileFilters, QStringList{u"*.htm (*.htm);;*.html (*.html)"_s});
        QCOMPARE(rig.tabs, QList<int>{0});
        QVERIFY(rig.fake.navigations().isEmpty());

        rig.script(file, FakeBrowser::Outcome::Complete, {{u"a"_s, u"http://h/1"_s}});
        rig.dialogs.openFileAnswers.enqueue(file);
        rig.commands.importPageFile();
        QCOMPARE(rig.fake.navigations(), QStringList{file});
        QVERIFY(rig.harvested.wait(2000));
    }

    void addressPrompts_data()
    {
        QTest::addColumn<bool>("import");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("offered");
        for (const bool import : {false, true}) {
            const char *command = import ? "import: " : "browse: ";
            QTest::addRow("%shttps in mixed case offered", command) << import << u"HtTpS://h/a"_s << u"HtTpS://h/a"_s;
            QTest::addRow("%sleading blank gives empty", command) << import << u" http://h/a"_s << QString();
        }
    }

    void addressPrompts()
    {
        QFETCH(bool, import);
        QFETCH(QString, clipboard);
        QFETCH(QString, offered);

        Rig rig;
        rig.dialogs.clipboard = clipboard;
        import ? rig.commands.importByAddress() : rig.commands.browseAddress();
        QCOMPARE(rig.dialogs.inputRequests.size(), 1);
        QCOMPARE(rig.dialogs.inputRequests.at(0).prompt,
                 import ? u"请输入需要导入的网址："_s : u"请输入需要浏览的网址："_s);
        QCOMPARE(rig.dialogs.inputRequests.at(0).defaultAnswer, offered);
        // Cancelled: nothing else happens.
        QVERIFY(rig.fake.navigations().isEmpty() && rig.tabs.isEmpty() && rig.dialogs.messages.isEmpty());
        QVERIFY(!rig.commands.waiting());
    }

    void browseAndLoginPageNavigateAsGiven()
    {
        Rig rig;
        rig.dialogs.inputAnswers.enqueue(u"  www.例子.org "_s);
        rig.commands.browseAddress();
        rig.commands.showLoginPage(u"http://h/login.asp"_s);
        QCOMPARE(rig.fake.navigations(), (QStringList{u"  www.例子.org "_s, u"http://h/login.asp"_s}));
        QCOMPARE(rig.tabs, (QList<int>{0, 0}));
        QVERIFY(!rig.commands.waiting());
    }

    void importByAddressWaitsAndHarvests()
    {
        Rig rig;
        rig.dialogs.inputAnswers.enqueue(u"HTTP://h/page"_s);
        rig.commands.importByAddress();
        QCOMPARE(rig.fake.navigations(), QStringList{u"HTTP://h/page"_s});
        QCOMPARE(rig.tabs, QList<int>{0});
        QVERIFY(rig.commands.waiting());
        QVERIFY(!rig.harvested.wait(20));

        rig.fake.completeLoad();
        QVERIFY(!rig.commands.waiting());
        QVERIFY(rig.harvested.wait(2000));
        QCOMPARE(rig.tabs, (QList<int>{0, 1}));
        // The wait is over: its limit passes without a word.
        QVERIFY(!rig.timedOut.wait(200));
    }

    void waitLimitEndsWithoutHarvest()
    {
        Rig rig;
        rig.commands.importPage(u"http://h/slow"_s);
        QVERIFY(rig.timedOut.wait(2000));
        QVERIFY(!rig.commands.waiting());
        QVERIFY(rig.dialogs.messages.isEmpty());
        QCOMPARE(rig.fake.stopCount(), 0);
        // Finishing later is left for the user to harvest by hand.
        rig.fake.completeLoad();
        QVERIFY(!rig.harvested.wait(50));
        QCOMPARE(rig.list.count(), 0);
    }

    void failedLoadEndsWithoutHarvest()
    {
        Rig rig;
        rig.script(u"http://h/missing"_s, FakeBrowser::Outcome::Fail);
        rig.commands.importPage(u"http://h/missing"_s);
        QTRY_VERIFY(!rig.commands.waiting());
        QVERIFY(!rig.timedOut.wait(200));
        QCOMPARE(rig.harvested.count(), 0);
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    void secondImportReplacesTheWait()
    {
        Rig rig;
        rig.script(u"http://h/b"_s, FakeBrowser::Outcome::Complete, {{u"b"_s, u"http://h/b1"_s}});
        rig.commands.importPage(u"http://h/a"_s);
        rig.commands.importPage(u"http://h/b"_s);
        QVERIFY(rig.harvested.wait(2000));
        QVERIFY(!rig.timedOut.wait(200));
        QCOMPARE(rig.harvested.count(), 1);
        QCOMPARE(rig.entries(), QStringList{u"b=http://h/b1"_s});
    }

    void refusedImportKeepsTheWait()
    {
        Rig rig;
        rig.commands.setPageWaitLimit(60000);
        rig.commands.importPage(u"http://h/a"_s);
        rig.commands.importPage(u"/no/such/file.htm"_s);
        QCOMPARE(rig.dialogs.messageTexts(), QStringList{u"该文件不存在！"_s});
        QVERIFY(rig.commands.waiting());
        rig.fake.completeLoad();
        QVERIFY(rig.harvested.wait(2000));
    }

    void browsingElsewhereEndsTheWait()
    {
        Rig rig;
        rig.script(u"http://h/other"_s, FakeBrowser::Outcome::Complete, {{u"o"_s, u"http://h/o"_s}});
        rig.commands.importPage(u"http://h/a"_s);
        rig.dialogs.inputAnswers.enqueue(u"http://h/other"_s);
        rig.commands.browseAddress();
        QVERIFY(!rig.commands.waiting());
        QTRY_VERIFY(!rig.fake.isBusy());
        QVERIFY(!rig.harvested.wait(200));
        QCOMPARE(rig.timedOut.count(), 0);
        QCOMPARE(rig.list.count(), 0);
    }

    void endOfThePreviousPageDoesNotCount()
    {
        ImmediateEndBrowser browser(ImmediateEndBrowser::Mode::EndPreviousThenStayBusy);
        Rig rig(&browser);
        browser.navigate(u"http://h/previous"_s);
        rig.commands.importPage(u"http://h/wanted"_s);
        QVERIFY(rig.commands.waiting());
        QVERIFY(!rig.harvested.wait(20));

        emit browser.loaded();
        QVERIFY(rig.harvested.wait(2000));
        QCOMPARE(rig.entries(), QStringList{u"http://h/wanted=http://h/wanted"_s});
    }

    void loadFinishedInsideNavigateHarvestsOnce()
    {
        ImmediateEndBrowser browser(ImmediateEndBrowser::Mode::FinishInsideNavigate);
        Rig rig(&browser);
        rig.commands.importPage(u"http://h/quick"_s);
        QVERIFY(!rig.commands.waiting());
        QVERIFY(rig.harvested.wait(2000));
        QVERIFY(!rig.harvested.wait(100));
        QCOMPARE(rig.harvested.count(), 1);
        QCOMPARE(rig.list.count(), 1);
        QCOMPARE(rig.timedOut.count(), 0);
    }

    void destroyedBeforeTheLinksArrive()
    {
        FakeBrowser browser;
        UrlList list;
        FakeDialogs dialogs;
        browser.setPage(u"http://h/p"_s, FakeBrowser::Page{FakeBrowser::Outcome::Complete, {}, u"UTF-8"_s,
                                                          {{u"a"_s, u"http://h/1"_s}}, {}});
        browser.navigate(u"http://h/p"_s);
        QTRY_VERIFY(!browser.isBusy());
        auto commands = std::make_unique<HarvestCommands>(browser, list, dialogs, HarvestHost{});
        commands->harvestLinks();
        commands.reset();
        QTest::qWait(20);
        QCOMPARE(list.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestHarvestCommands)
#include "tst_harvestcommands.moc"
