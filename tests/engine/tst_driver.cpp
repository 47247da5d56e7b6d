#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/HttpDownloader.h"
#include "engine/PageDownloader.h"
#include "engine/RowTexts.h"
#include "engine/UrlList.h"
#include "platform/MemorySettingsStore.h"
#include "support/FakeBrowser.h"
#include "support/FakeDownloader.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// One engine as the window or the batch mode builds it, with fakes for the downloaders.
struct Rig
{
    explicit Rig(int threads, bool fast = true, bool autoFinish = false)
    {
        settings.load();
        settings.overrideThreadCount(threads);
        settings.overrideSaveFolder(dir.path());
        settings.overrideNameMethod(DownloadSettings::nameByLink());
        settings.overrideDownloadMode(fast ? DownloadSettings::modeFast() : DownloadSettings::modePage());
        driver.setDownloaderFactory(fakeDownloaderFactory(&downloaders, autoFinish));
        std::array<Browser *, DownloadDriver::SlotCount> pointers{};
        for (std::size_t i = 0; i < pointers.size(); ++i) {
            browsers[i] = std::make_unique<FakeBrowser>();
            pointers[i] = browsers[i].get();
        }
        driver.setPageBrowsers(pointers);
    }

    void addRows(int count, const QString &prefix = u"f"_s)
    {
        std::vector<UrlRow> rows;
        for (int i = 1; i <= count; ++i)
            rows.emplace_back(prefix + QString::number(i), u"http://127.0.0.1/"_s + prefix + QString::number(i) + u".bin"_s);
        list.appendRows(rows);
    }

    FakeDownloader &dl(int slot) { return *downloaders[slot - 1]; }
    FakeBrowser &browser(int slot) { return *browsers[static_cast<std::size_t>(slot - 1)]; }

    QTemporaryDir dir;
    MemorySettingsStore store;
    DownloadSettings settings{store};
    UrlList list;
    DownloadDriver driver{list, settings};
    QList<FakeDownloader *> downloaders;
    std::array<std::unique_ptr<FakeBrowser>, DownloadDriver::SlotCount> browsers;
};

} // namespace

class TestDriver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void threeRowsOverTwoSlots()
    {
        Rig rig(2);
        rig.driver.start();
        QVERIFY2(!rig.driver.isRunning(), "an empty list starts nothing");
        rig.addRows(3);
        QSignalSpy ended(&rig.driver, &DownloadDriver::runEnded);
        rig.driver.start();
        QVERIFY(rig.driver.isRunning());
        // The free slots start at once: slot 1 takes row 1, slot 2 takes row 2.
        QCOMPARE(rig.list.state(1), RowState::Downloading);
        QCOMPARE(rig.list.statusText(2), RowTexts::downloading(2));
        QCOMPARE(rig.list.state(3), RowState::Ready);
        QCOMPARE(rig.dl(1).request.savePath, QDir(rig.dir.path()).filePath(u"f1.bin"_s));
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{true, true}));

        rig.dl(2).succeed();
        QCOMPARE(rig.list.state(2), RowState::Saved);
        QCOMPARE(rig.list.progressText(2), u"100.0%  0.0KB"_s);
        // The freed slot takes the next row at once.
        QCOMPARE(rig.list.statusText(3), RowTexts::downloading(2));

        rig.dl(1).succeed();
        QVERIFY(rig.driver.isRunning()); // slot 2 is still busy
        rig.dl(2).fail();
        QVERIFY(!rig.driver.isRunning());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(rig.list.state(3), RowState::Failed);
        QCOMPARE(rig.list.failureReason(3), u"scripted failure"_s);
    }

    void everyRowDeletedKeepsTheRunCounting()
    {
        Rig rig(2);
        rig.addRows(3);
        rig.driver.start();
        rig.list.clear();
        QSignalSpy elapsed(&rig.driver, &DownloadDriver::elapsedTextChanged);
        QTRY_COMPARE_WITH_TIMEOUT(elapsed.count(), 2, 5000);
        QVERIFY(rig.driver.isRunning());
        QCOMPARE(rig.driver.elapsedSeconds(), 2);
        QCOMPARE(elapsed.last().at(0).toString(), u"下载耗时：00:02"_s);
        QCOMPARE(RowTexts::elapsed(101 * 60 + 5), u"下载耗时：101:05"_s); // minutes are not wrapped
    }

    void completionLandsOnTheRowNowAtThatPosition()
    {
        Rig rig(1);
        rig.addRows(6);
        rig.driver.start();
        rig.list.removeAt(1);
        rig.dl(1).succeed();
        // Row "f2" now stands at position 1 and gets the outcome meant for the deleted row.
        QCOMPARE(rig.list.linkName(1), u"f2"_s);
        QCOMPARE(rig.list.state(1), RowState::Saved);
    }

    void startTwiceTakesRowsAgainFromTheTop()
    {
        Rig rig(1);
        rig.addRows(2);
        rig.driver.start();
        rig.dl(1).succeed();
        QCOMPARE(rig.list.state(2), RowState::Downloading);
        rig.driver.start();
        QCOMPARE(rig.list.state(1), RowState::Ready);
        QCOMPARE(rig.list.state(2), RowState::Ready);
        rig.dl(1).succeed(); // the download of row 2 ends onto row 2, then the slot takes row 1
        QCOMPARE(rig.list.state(2), RowState::Saved);
        QCOMPARE(rig.list.state(1), RowState::Downloading);
    }

    // Only slots up to the thread count take rows; raising it mid-run sets more going at once.
    void slotsFollowTheThreadCount()
    {
        Rig rig(3);
        rig.addRows(20);
        rig.driver.start();
        for (int n = 4; n <= 10; ++n)
            QVERIFY(rig.dl(n).urls.isEmpty());
        rig.settings.overrideThreadCount(5);
        rig.driver.settingsChanged();
        QVERIFY(rig.dl(5).busy);
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>(5, true)));
        QVERIFY(rig.dl(6).urls.isEmpty());
    }

    void stopEndsRealTransfersAtOnce()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        TestHttpServer::Route slow;
        slow.generatedSize = 5000;
        slow.chunkBytes = 1000;
        slow.intervalMs = 100;
        server.setHandler("/slow/", [slow](const TestHttpServer::Request &) { return slow; });
        Rig rig(2);
        rig.driver.setDownloaderFactory(HttpDownloader::factory(nullptr));
        for (int i = 1; i <= 4; ++i)
            rig.list.append(u"s"_s + QString::number(i), server.urlText(u"/slow/"_s + QString::number(i) + u".bin"_s));
        rig.driver.start();
        QTest::qWait(150);
        rig.driver.stop();
        QVERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{false, false}));
        for (int p = 1; p <= 4; ++p)
            QCOMPARE(rig.list.state(p), RowState::Ready);
        QTest::qWait(600); // nothing of the stopped transfers comes back
        QCOMPARE(rig.list.state(1), RowState::Ready);
        QVERIFY(QDir(rig.dir.path()).entryList(QDir::Files).isEmpty());
        QVERIFY(server.requests().size() <= 2);
    }

    void skippedRowsEndTheRun()
    {
        Rig rig(2);
        rig.settings.overrideCollisionMethod(DownloadSettings::collisionSkip());
        rig.addRows(2);
        for (const QString &name : {u"f1.bin"_s, u"f2.bin"_s}) {
            QFile file(QDir(rig.dir.path()).filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QSignalSpy rowEnded(&rig.driver, &DownloadDriver::rowEnded);
        rig.driver.start();
        QVERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.list.state(1), RowState::Skipped);
        QCOMPARE(rig.list.state(2), RowState::Skipped);
        QCOMPARE(rowEnded.count(), 2);
    }

    void hundredThousandRowsWithoutQuadraticWork()
    {
        Rig rig(10, true, true);
        const int n = 100000;
        rig.settings.overrideCollisionMethod(DownloadSettings::collisionOverwrite());
        for (FakeDownloader *d : std::as_const(rig.downloaders))
            d->writeFile = false;
        rig.addRows(n);
        const quint64 before = rig.list.readyScanSteps();
        rig.driver.start();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver.isRunning(), 120000);
        QCOMPARE(rig.list.firstReady(), 0);
        QCOMPARE(rig.list.state(n), RowState::Saved);
        const quint64 steps = rig.list.readyScanSteps() - before;
        QVERIFY2(steps < 4 * static_cast<quint64>(n), qPrintable(QString::number(steps)));
    }

    // Page mode.

    void pageModeSavesThePageWithBaseReferenceInItsCharset()
    {
        Rig rig(1, false);
        rig.list.append(u"页"_s, u"http://127.0.0.1/p.htm"_s);
        FakeBrowser::Page page;
        page.outerHtml = u"<!DOCTYPE html>\n<html><head><title>中文</title></head><body>😀</body></html>"_s;
        page.characterSet = u"GBK"_s;
        page.title = u"中文"_s;
        rig.browser(1).setPage(u"http://127.0.0.1/p.htm"_s, page);
        QSignalSpy panel(&rig.driver, &DownloadDriver::statusTextChanged);
        rig.driver.start();
        QTRY_VERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.list.state(1), RowState::Saved);
        QCOMPARE(rig.list.progressText(1), u"100.0%  "_s);
        QCOMPARE(panel.last().at(0).toString(), u"线程1:中文"_s);
        QFile file(QDir(rig.dir.path()).filePath(u"页.htm"_s));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray expected = "<!DOCTYPE html>\n<html><head> <Base href='http://127.0.0.1/p.htm' target='_blank'> "
                                    "<title>\xD6\xD0\xCE\xC4</title></head><body>&#128512;</body></html>";
        QCOMPARE(file.readAll(), expected);
        // Every page browser parks on the blank page once at the end of the run.
        for (int n = 1; n <= DownloadDriver::SlotCount; ++n)
            QCOMPARE(rig.browser(n).navigations().count(PageDownloader::blankPage()), 1);
    }

    void pageModeLoadErrorWritesTheErrorTexts()
    {
        Rig rig(1, false);
        rig.list.append(u"bad"_s, u"http://127.0.0.1/missing.htm"_s);
        FakeBrowser::Page page;
        page.outcome = FakeBrowser::Outcome::Fail;
        rig.browser(1).setPage(u"http://127.0.0.1/missing.htm"_s, page);
        rig.driver.start();
        QTRY_VERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.list.statusText(1), u"下载完成 "_s);
        QCOMPARE(rig.list.state(1), RowState::PageFailed);
        QCOMPARE(rig.list.failureReason(1), u"HTTP 404"_s);
        QVERIFY(!QFile::exists(QDir(rig.dir.path()).filePath(u"bad.htm"_s)));
    }

    void pageThatMakesNoProgressIsGivenUp()
    {
        FakeBrowser browser; // unscripted addresses stay busy
        PageDownloader page(browser);
        page.setStallTime(200);
        QSignalSpy finished(&page, &Downloader::finished);
        DownloadRequest request;
        request.url = u"http://127.0.0.1/never.htm"_s;
        page.start(request);
        QVERIFY(page.isBusy());
        QTRY_COMPARE(finished.count(), 1);
        const auto result = finished.first().at(0).value<DownloadResult>();
        QCOMPARE(result.outcome, DownloadResult::Outcome::PageNotLoaded);
        QVERIFY(result.reason.contains(u"no progress"_s));
        QVERIFY(!page.isBusy());
        QCOMPARE(browser.stopCount(), 1);
    }

    void pageModeStopFreesBusySlots()
    {
        Rig rig(2, false);
        rig.addRows(3);
        rig.driver.start();
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{true, true}));
        rig.driver.stop();
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{false, false}));
        QCOMPARE(rig.browser(1).stopCount(), 1);
        QCOMPARE(rig.list.state(3), RowState::Ready);
    }

    void modeChangeWithNoRunStopsInTheNewMode()
    {
        Rig rig(2, false);
        rig.addRows(2);
        rig.driver.start();
        rig.driver.stop();
        rig.driver.prepareModeChange(DownloadDriver::Mode::Page);
        QCOMPARE(rig.browser(1).stopCount(), 1); // stopped once, by stop()
        rig.settings.overrideDownloadMode(DownloadSettings::modeFast());
        rig.driver.start();
        rig.driver.prepareModeChange(DownloadDriver::Mode::Page); // a run is on: nothing stops
        QCOMPARE(rig.browser(1).stopCount(), 1);
        QVERIFY(rig.dl(1).busy);
    }

    void progressTexts_data()
    {
        QTest::addColumn<bool>("page");
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QString>("text");
        QTest::newRow("page: zero maximum shows 100") << true << qint64(10) << qint64(0) << u"100.0%  "_s;
        QTest::newRow("page: one and a half rounds to two") << true << qint64(3) << qint64(200) << u"2.0%  "_s;
        QTest::newRow("page: overflow keeps 0 shown as 100") << true << qint64(30000000) << qint64(100) << u"100.0%  "_s;
        QTest::newRow("bytes: more than the total caps at 100") << false << qint64(120) << qint64(100) << u"100.0%  0.1KB"_s;
        QTest::newRow("bytes: over 2 GB") << false << qint64(3000000000) << qint64(6000000000) << u"50.0%  6000000.0KB"_s;
    }

    void progressTexts()
    {
        QFETCH(bool, page);
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(QString, text);
        QCOMPARE(page ? RowTexts::pageProgress(int(done), int(total)) : RowTexts::fastProgress(done, total), text);
    }
};

QTEST_GUILESS_MAIN(TestDriver)
#include "tst_driver.moc"
