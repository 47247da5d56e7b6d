#include "engine/DownloadSlot.h"
#include "engine/Downloader.h"
#include "support/FakeBrowser.h"

#include <QTest>

#include <array>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// A component whose transfer state the test sets by hand.
class IdleDownloader final : public Downloader
{
public:
    void BeginDownload(const QString &, const QString &) override { 下载状态 = true; }
    void CancelAsyncRead() override {}
};

// Ten slots, each with a component and a page browser.
struct Rig
{
    Rig()
    {
        for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
            const auto i = static_cast<std::size_t>(n - 1);
            downloaders[i] = std::make_unique<IdleDownloader>();
            browsers[i] = std::make_unique<FakeBrowser>();
            set.setDownloader(n, downloaders[i].get());
            set.setPageBrowser(n, browsers[i].get());
        }
    }

    IdleDownloader &downloader(int n) { return *downloaders[static_cast<std::size_t>(n - 1)]; }
    FakeBrowser &browser(int n) { return *browsers[static_cast<std::size_t>(n - 1)]; }

    // Makes slot n busy in the given way: component transfer, browser load or page write.
    void makeBusy(int n, const QString &how)
    {
        if (how == u"downloader"_s)
            downloader(n).下载状态 = true;
        else if (how == u"browser"_s)
            browser(n).Navigate(u"http://127.0.0.1/never"_s);
        else if (how == u"pageBusy"_s)
            set.slot(n).pageBusy = true;
    }

    std::array<std::unique_ptr<IdleDownloader>, DownloadSlots::SlotCount> downloaders;
    std::array<std::unique_ptr<FakeBrowser>, DownloadSlots::SlotCount> browsers;
    DownloadSlots set;
};

} // namespace

class TestDownloadSlot : public QObject
{
    Q_OBJECT

private slots:
    void busyPerMode_data()
    {
        QTest::addColumn<bool>("downloaderBusy");
        QTest::addColumn<bool>("browserBusy");
        QTest::addColumn<bool>("pageBusy");
        QTest::addColumn<bool>("busyFast");
        QTest::addColumn<bool>("busyPage");
        QTest::newRow("nothing under way: free in both modes") << false << false << false << false << false;
        QTest::newRow("transfer: busy only in fast mode") << true << false << false << true << false;
        QTest::newRow("browser loading: busy only in page mode") << false << true << false << false << true;
        QTest::newRow("page being written: busy only in page mode") << false << false << true << false << true;
        QTest::newRow("everything under way") << true << true << true << true << true;
    }

    void busyPerMode()
    {
        QFETCH(bool, downloaderBusy);
        QFETCH(bool, browserBusy);
        QFETCH(bool, pageBusy);
        QFETCH(bool, busyFast);
        QFETCH(bool, busyPage);
        Rig rig;
        if (downloaderBusy)
            rig.makeBusy(4, u"downloader"_s);
        if (browserBusy)
            rig.makeBusy(4, u"browser"_s);
        if (pageBusy)
            rig.makeBusy(4, u"pageBusy"_s);
        QCOMPARE(rig.set.slot(4).busy(true), busyFast);
        QCOMPARE(rig.set.slot(4).busy(false), busyPage);
        // The other slots stay free.
        QVERIFY(!rig.set.slot(3).busy(true) && !rig.set.slot(3).busy(false));
    }

    void browserFreeAgainAfterLoad()
    {
        Rig rig;
        rig.makeBusy(2, u"browser"_s);
        QVERIFY(rig.set.slot(2).busy(false));
        rig.browser(2).completeLoad();
        QVERIFY(!rig.set.slot(2).busy(false));
    }

    void slotWithoutComponentsIsFree()
    {
        DownloadSlots set;
        set.slot(1).pageBusy = false;
        QVERIFY(!set.slot(1).busy(true));
        QVERIFY(!set.slot(1).busy(false));
        set.slot(1).pageBusy = true;
        QVERIFY(set.slot(1).busy(false));
        QVERIFY(!set.slot(1).busy(true));
    }

    void anyBusy_data()
    {
        QTest::addColumn<int>("busySlot");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("upTo");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<bool>("expected");
        QTest::newRow("busy slot beyond the thread count") << 3 << u"downloader"_s << 2 << true << false;
        QTest::newRow("busy slot at the thread count") << 3 << u"downloader"_s << 3 << true << true;
        QTest::newRow("thread count above ten is ten") << 10 << u"downloader"_s << 15 << true << true;
        QTest::newRow("no slot counted") << 1 << u"downloader"_s << 0 << true << false;
        QTest::newRow("negative count") << 1 << u"downloader"_s << -1 << true << false;
        QTest::newRow("page mode ignores the transfer flag") << 1 << u"downloader"_s << 10 << false << false;
        QTest::newRow("page mode counts pageBusy") << 5 << u"pageBusy"_s << 5 << false << true;
        QTest::newRow("page mode counts the browser") << 5 << u"browser"_s << 10 << false << true;
        QTest::newRow("fast mode ignores the browser") << 5 << u"browser"_s << 10 << true << false;
    }

    void anyBusy()
    {
        QFETCH(int, busySlot);
        QFETCH(QString, how);
        QFETCH(int, upTo);
        QFETCH(bool, fast);
        QFETCH(bool, expected);
        Rig rig;
        rig.makeBusy(busySlot, how);
        QCOMPARE(rig.set.anyBusy(upTo, fast), expected);
    }

    void pathInUse_data()
    {
        QTest::addColumn<int>("writer");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("writerPath");
        QTest::addColumn<int>("except");
        QTest::addColumn<bool>("expected");
        const QString path = u"/save/report.htm"_s;
        QTest::newRow("another busy slot writes it") << 2 << u"downloader"_s << path << 5 << true;
        QTest::newRow("the asking slot itself does not count") << 2 << u"downloader"_s << path << 2 << false;
        QTest::newRow("a free slot that wrote it last does not count") << 2 << QString() << path << 5 << false;
        QTest::newRow("a busy slot writing another file") << 2 << u"downloader"_s << u"/save/other.htm"_s << 5 << false;
        QTest::newRow("paths compare exactly") << 2 << u"downloader"_s << u"/save/Report.htm"_s << 5 << false;
        QTest::newRow("a page being written") << 7 << u"pageBusy"_s << path << 1 << true;
        QTest::newRow("a page loading") << 10 << u"browser"_s << path << 1 << true;
    }

    // Whatever the current mode: after a mode change mid-run, slots of the other mode still write.
    void pathInUse()
    {
        QFETCH(int, writer);
        QFETCH(QString, how);
        QFETCH(QString, writerPath);
        QFETCH(int, except);
        QFETCH(bool, expected);
        Rig rig;
        rig.set.slot(writer).slotSavePath = writerPath;
        rig.makeBusy(writer, how);
        QCOMPARE(rig.set.pathInUse(u"/save/report.htm"_s, except), expected);
    }

    void releaseSendsAllTenToTheBlankPage_data()
    {
        QTest::addColumn<QList<int>>("loading");
        QTest::newRow("all idle") << QList<int>{};
        QTest::newRow("two loading") << QList<int>{1, 2};
        QTest::newRow("all ten loading") << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    }

    void releaseSendsAllTenToTheBlankPage()
    {
        QFETCH(QList<int>, loading);
        Rig rig;
        for (const int n : loading)
            rig.makeBusy(n, u"browser"_s);
        rig.set.ReleasePageBrowsers();
        const QString blank = DownloadSlots::blankPage();
        for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
            QVERIFY2(!rig.browser(n).navigations().isEmpty(), qPrintable(QString::number(n)));
            QCOMPARE(rig.browser(n).navigations().last(), blank);
        }
    }

    void timersAndRunState()
    {
        DownloadSlots set;
        QCOMPARE(set.TimerZ().objectName(), u"TimerZ"_s);
        QCOMPARE(set.TimerZ().interval(), 1000);
        QVERIFY(!set.runOn());
        for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
            const DownloadSlot &slot = set.slot(n);
            QCOMPARE(slot.number, n);
            QCOMPARE(slot.timer->objectName(), u"Timer1_"_s + QString::number(n));
            QCOMPARE(slot.timer->interval(), 100);
            QVERIFY(slot.timer->isSingleShot());
            QVERIFY(!slot.timer->isActive());
        }
        set.TimerZ().start();
        QVERIFY(set.runOn());
        set.TimerZ().stop();
        QVERIFY(!set.runOn());
    }
};

QTEST_GUILESS_MAIN(TestDownloadSlot)
#include "tst_downloadslot.moc"
