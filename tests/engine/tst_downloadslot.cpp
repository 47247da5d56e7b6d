#include "engine/DownloadSlot.h"
#include "support/FakeDownloader.h"
#include "support/FakeBrowser.h"

#include <QTest>

#include <array>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Rig
{
    Rig()
    {
        for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
            const auto i = static_cast<std::size_t>(n - 1);
            downloaders[i] = std::make_unique<FakeDownloader>(n);
            browsers[i] = std::make_unique<FakeBrowser>();
            set.setDownloader(n, downloaders[i].get());
            set.setPageBrowser(n, browsers[i].get());
        }
    }

    FakeBrowser &browser(int n) { return *browsers[static_cast<std::size_t>(n - 1)]; }

    // how: "downloader" (transfer), "browser" (page loading) or "pageBusy" (page being written).
    void makeBusy(int n, const QString &how)
    {
        if (how == u"downloader"_s)
            downloaders[static_cast<std::size_t>(n - 1)]->busy = true;
        else if (how == u"browser"_s)
            browser(n).Navigate(u"http://127.0.0.1/never"_s);
        else if (how == u"pageBusy"_s)
            set.slot(n).pageBusy = true;
    }

    std::array<std::unique_ptr<FakeDownloader>, DownloadSlots::SlotCount> downloaders;
    std::array<std::unique_ptr<FakeBrowser>, DownloadSlots::SlotCount> browsers;
    DownloadSlots set;
};

} // namespace

class TestDownloadSlot : public QObject
{
    Q_OBJECT

private slots:
    void browserFreeAgainAfterLoad()
    {
        Rig rig;
        rig.makeBusy(2, u"browser"_s);
        rig.browser(2).completeLoad();
        QVERIFY(!rig.set.slot(2).busy(false));
    }

    void slotWithoutComponentsIsFreeUnlessWritingAPage()
    {
        DownloadSlots set;
        QVERIFY(!set.slot(1).busy(true) && !set.slot(1).busy(false));
        set.slot(1).pageBusy = true;
        QVERIFY(set.slot(1).busy(false));
    }

    void anyBusy_data()
    {
        QTest::addColumn<int>("busySlot");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("upTo");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<bool>("expected");
        QTest::newRow("nothing under way") << 1 << QString() << 10 << false << false;
        QTest::newRow("busy slot beyond the thread count") << 3 << u"downloader"_s << 2 << true << false;
        QTest::newRow("busy slot at the thread count") << 3 << u"downloader"_s << 3 << true << true;
        QTest::newRow("thread count above ten is ten") << 10 << u"downloader"_s << 15 << true << true;
        QTest::newRow("no slot counted") << 1 << u"downloader"_s << 0 << true << false;
        QTest::newRow("page mode ignores the transfer flag") << 1 << u"downloader"_s << 10 << false << false;
        QTest::newRow("page mode counts pageBusy") << 5 << u"pageBusy"_s << 5 << false << true;
        QTest::newRow("page mode counts a loading browser") << 5 << u"browser"_s << 10 << false << true;
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

    // Mode-independent: after a mode change mid-run, slots of the other mode still write.
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
        QTest::newRow("paths compare exactly") << 2 << u"downloader"_s << u"/save/Report.htm"_s << 5 << false;
        QTest::newRow("a page being written") << 7 << u"pageBusy"_s << path << 1 << true;
        QTest::newRow("a page loading") << 10 << u"browser"_s << path << 1 << true;
    }

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

    void releaseSendsAllTenToTheBlankPage()
    {
        Rig rig;
        rig.makeBusy(1, u"browser"_s);
        rig.makeBusy(2, u"browser"_s);
        rig.set.ReleasePageBrowsers();
        for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
            QVERIFY2(!rig.browser(n).navigations().isEmpty(), qPrintable(QString::number(n)));
            QCOMPARE(rig.browser(n).navigations().last(), DownloadSlots::blankPage());
        }
    }

    void timersAndRunState()
    {
        DownloadSlots set;
        QCOMPARE(set.TimerZ().objectName(), u"TimerZ"_s);
        QCOMPARE(set.TimerZ().interval(), 1000);
        for (int n = 1; n <= DownloadSlots::SlotCount; ++n) {
            const DownloadSlot &slot = set.slot(n);
            QCOMPARE(slot.timer->objectName(), u"Timer1_"_s + QString::number(n));
            QCOMPARE(slot.timer->interval(), 100);
            QVERIFY(slot.timer->isSingleShot());
        }
        QVERIFY(!set.runOn());
        set.TimerZ().start();
        QVERIFY(set.runOn());
    }
};

QTEST_GUILESS_MAIN(TestDownloadSlot)
#include "tst_downloadslot.moc"
