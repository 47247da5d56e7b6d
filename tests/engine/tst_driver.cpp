#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/HttpDownloader.h"
#include "engine/PageDownloader.h"
#include "engine/RowTexts.h"
#include "engine/RunOverview.h"
#include "platform/MemorySettingsStore.h"
#include "support/FakeBrowser.h"
#include "support/FakeDownloader.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QSignalSpy>
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
        for (std::size_t i = 0; i < pointers.size(); ++i)
            pointers[i] = &browsers[i];
        driver.setPageBrowsers(pointers);
    }

    void addRows(int count)
    {
        std::vector<UrlRow> rows;
        for (int i = 1; i <= count; ++i)
            rows.emplace_back(u"f%1"_s.arg(i), u"http://127.0.0.1/f%1.bin"_s.arg(i));
        list.appendRows(rows);
    }

    FakeDownloader &dl(int slot) { return *downloaders[slot - 1]; }
    FakeBrowser &browser(int slot) { return browsers[static_cast<std::size_t>(slot - 1)]; }

    QTemporaryDir dir;
    MemorySettingsStore store;
    DownloadSettings settings{store};
    UrlList list;
    DownloadDriver driver{list, settings};
    QList<FakeDownloader *> downloaders;
    std::array<FakeBrowser, DownloadDriver::SlotCount> browsers;
};

} // namespace

class TestDriver : public QObject
{
    Q_OBJECT

private slots:
    // Row 4's file is there and the rule is skip: skipped, it ends at once and its slot goes on.
    void fourRowsOverTwoSlots()
    {
        Rig rig(2);
        rig.driver.start();
        QVERIFY2(!rig.driver.isRunning(), "an empty list starts nothing");
        rig.addRows(4);
        rig.settings.overrideCollisionMethod(DownloadSettings::collisionSkip());
        QVERIFY(TestFiles::write(rig.dir.filePath(u"f4.bin"_s), {}));
        QSignalSpy ended(&rig.driver, &DownloadDriver::runEnded), rowEnded(&rig.driver, &DownloadDriver::rowEnded);
        QSignalSpy bytes(&rig.driver, &DownloadDriver::bytesReceived);
        rig.driver.start();
        QVERIFY(rig.driver.isRunning());
        // The free slots start at once: slot 1 takes row 1, slot 2 row 2.
        QCOMPARE(rig.list.state(1), RowState::Downloading);
        QCOMPARE(rig.list.state(3), RowState::Ready);
        QCOMPARE(rig.dl(1).request.savePath, QDir(rig.dir.path()).filePath(u"f1.bin"_s));
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{true, true}));

        rig.dl(2).succeed();
        QCOMPARE(rig.list.state(2), RowState::Saved);
        QCOMPARE(rig.list.progressText(2), u"100.0%  0.0KB"_s);
        // The freed slot takes the next row at once.
        QCOMPARE(rig.list.statusText(3), RowTexts::downloading(2));

        rig.dl(1).succeed();
        QCOMPARE(rig.list.state(4), RowState::Skipped);
        QVERIFY(rig.driver.isRunning()); // slot 2 is still busy
        // Started again mid-run: every row is ready again, the free slot takes row 1 at once, and
        // the download under way ends onto its own row before its slot takes the next.
        rig.driver.start();
        QCOMPARE(rig.list.state(1), RowState::Downloading);
        QCOMPARE(rig.list.state(2), RowState::Ready);
        rig.dl(2).fail();
        QCOMPARE(rig.list.state(3), RowState::Failed);
        QCOMPARE(rig.list.failureReason(3), u"scripted failure"_s);
        QCOMPARE(rig.list.state(2), RowState::Downloading);
        rig.dl(1).succeed();
        rig.dl(2).succeed();
        QVERIFY(!rig.driver.isRunning());
        QVERIFY(ended.count() == 1 && rowEnded.count() == 7);
        qint64 received = 0;
        for (const QList<QVariant> &report : bytes)
            received += report.at(0).toLongLong();
        QCOMPARE(received, 4 * 4); // four files saved, each counted once
    }

    // Rows deleted mid-run: an outcome lands on the row now at the position of the one that
    // started, or nowhere once that position is gone; with every row gone and a slot still busy
    // the run goes on, counting the seconds.
    void rowsDeletedMidRun()
    {
        Rig rig(2);
        rig.addRows(4);
        rig.driver.start();
        QSignalSpy elapsed(&rig.driver, &DownloadDriver::elapsedTextChanged);
        rig.list.removeAt(1);
        rig.dl(1).succeed();
        QCOMPARE(rig.list.linkName(1), u"f2"_s);
        QCOMPARE(rig.list.state(1), RowState::Saved);
        QCOMPARE(rig.list.state(2), RowState::Downloading); // f3, by slot 1
        rig.list.clear();
        rig.dl(2).succeed();
        QTRY_COMPARE_WITH_TIMEOUT(elapsed.count(), 1, 3000);
        QVERIFY(rig.driver.isRunning());
        QCOMPARE(elapsed.last().at(0).toString(), u"下载耗时：00:01"_s);
    }

    // Row 1 waits for its retry, slot 1 downloads row 2 (and goes on once it is cancelled), row 3 is ready.
    void cancelRow()
    {
        const QList<QPair<RowState, QString>> after{{RowState::Failed, u"已取消"_s}, {RowState::Failed, u"已取消"_s}, {RowState::Idle, {}}};
        for (int position = 1; position <= 3; ++position) {
            Rig rig(1);
            rig.addRows(3);
            rig.driver.start();
            rig.dl(1).fail(true); // retried after half a second at the soonest
            rig.driver.cancelRow(position);
            QTRY_VERIFY(rig.list.state(position) == after[position - 1].first);
            QCOMPARE(rig.list.failureReason(position), after[position - 1].second);
            QCOMPARE(rig.list.state(3) == RowState::Downloading, position == 2);
        }
    }

    // A passing failure waits its back-off while the slot goes on, and is tried again up to the
    // retry count; a lasting one, or the last retry's, ends the row. Stop hands a waiting row back.
    void passingFailuresAreRetried()
    {
        Rig rig(1);
        rig.settings.overrideRetryCount(2);
        rig.driver.setRetryDelay(10);
        rig.addRows(2);
        rig.driver.start();
        rig.dl(1).fail(true);
        QCOMPARE(rig.list.statusText(1), RowTexts::waitingToRetry(1));
        QCOMPARE(rig.list.failureReason(1), u"scripted failure"_s);
        rig.dl(1).fail(); // row 2, for good
        QCOMPARE(rig.list.state(2), RowState::Failed);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            QTRY_COMPARE(rig.list.statusText(1), RowTexts::downloading(1) + RowTexts::retrying(attempt));
            rig.dl(1).fail(true);
        }
        QCOMPARE(rig.list.state(1), RowState::Failed);
        QVERIFY(!rig.driver.isRunning());
        rig.driver.start();
        rig.dl(1).fail(true);
        rig.driver.stop();
        QCOMPARE(rig.list.state(1), RowState::Ready);
    }

    // Only slots up to the thread count take rows; raising it mid-run sets more going at once.
    void slotsFollowTheThreadCount()
    {
        Rig rig(3);
        rig.addRows(20);
        rig.driver.start();
        for (int n = 4; n <= 10; ++n)
            QVERIFY(rig.dl(n).request.url.isEmpty());
        rig.settings.overrideThreadCount(5);
        rig.driver.settingsChanged();
        QVERIFY(rig.dl(5).busy);
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>(5, true)));
        QVERIFY(rig.dl(6).request.url.isEmpty());
    }

    // Real downloads over ten slots share kept-alive connections, several at once. Stopped
    // mid-run, the downloads under way end at once and their rows are ready again; files already
    // complete still land on their rows.
    void realDownloadsShareConnectionsAndStopAtOnce()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serveGenerated("/", 10240);
        Rig rig(10);
        rig.driver.setDownloaderFactory(HttpDownloader::factory(nullptr));
        for (int i = 1; i <= 100; ++i)
            rig.list.append(u"r%1"_s.arg(i), server.urlText(u"/%1.bin"_s.arg(i)));
        int ended = 0;
        connect(&rig.driver, &DownloadDriver::rowEnded, this, [&rig, &ended] {
            if (++ended == 50)
                rig.driver.stop();
        });
        rig.driver.start();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver.isRunning(), 20000);
        QCOMPARE(rig.driver.slotsBusy(), std::vector<bool>(10, false));
        QTest::qWait(300); // files waiting for the disk report meanwhile; nothing else comes
        int saved = 0;
        for (int p = 1; p <= 100; ++p) {
            const RowState state = rig.list.state(p);
            QVERIFY(state == RowState::Saved || state == RowState::Ready);
            saved += state == RowState::Saved;
        }
        QVERIFY(saved == ended && ended >= 50 && ended < 70);
        QCOMPARE(rig.list.progressText(1), u"100.0%  10.2KB"_s);
        QCOMPARE(TestFiles::entries(rig.dir.path()).size(), ended);
        QVERIFY(server.connectionsAccepted() <= 10 && server.maxOpenConnections() > 1);
    }

    // A finished file waiting to reach the disk holds its name: under the skip rule the next row
    // of that name waits for it, then is skipped without being fetched.
    void nameHeldWhileWaitingForTheDisk()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serveGenerated("/", 100);
        Rig rig(1);
        rig.settings.overrideCollisionMethod(DownloadSettings::collisionSkip());
        rig.driver.setDownloaderFactory(HttpDownloader::factory(nullptr));
        rig.list.append(u"same"_s, server.urlText(u"/1.bin"_s));
        rig.list.append(u"same"_s, server.urlText(u"/2.bin"_s));
        rig.driver.start();
        QTRY_VERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.list.state(1), RowState::Saved);
        QCOMPARE(rig.list.state(2), RowState::Skipped);
        QCOMPARE(server.requests().size(), 1);
    }

    void manyRowsWithoutQuadraticWork()
    {
        Rig rig(10, true, true);
        const int n = 20000;
        rig.settings.overrideCollisionMethod(DownloadSettings::collisionOverwrite());
        rig.addRows(n);
        const quint64 before = rig.list.readyScanSteps();
        rig.driver.start();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver.isRunning(), 60000);
        QCOMPARE(rig.list.firstReady(), 0);
        QCOMPARE(rig.list.state(n), RowState::Saved);
        const quint64 steps = rig.list.readyScanSteps() - before;
        QVERIFY2(steps < 4 * static_cast<quint64>(n), qPrintable(QString::number(steps)));
    }

    // Page mode: the page in its own charset with a base reference; a page that cannot be loaded
    // ends its row with the error texts and no file.
    void pageModeSavesPagesAndLoadErrors()
    {
        Rig rig(1, false);
        rig.list.append(u"页"_s, u"http://127.0.0.1/p.htm"_s);
        rig.list.append(u"bad"_s, u"http://127.0.0.1/missing.htm"_s);
        FakeBrowser::Page page, bad;
        page.outerHtml = u"<!DOCTYPE html>\n<html><head><title>中文</title></head><body>😀</body></html>"_s;
        page.characterSet = u"GBK"_s;
        page.title = u"中文"_s;
        bad.outcome = FakeBrowser::Outcome::Fail;
        rig.browser(1).setPage(u"http://127.0.0.1/p.htm"_s, page);
        rig.browser(1).setPage(u"http://127.0.0.1/missing.htm"_s, bad);
        QSignalSpy panel(&rig.driver, &DownloadDriver::statusTextChanged);
        rig.driver.start();
        QTRY_VERIFY(!rig.driver.isRunning());
        QCOMPARE(rig.list.state(1), RowState::Saved);
        QCOMPARE(rig.list.progressText(1), u"100.0%  "_s);
        QCOMPARE(panel.first().at(0).toString(), u"线程1:中文"_s);
        QCOMPARE(TestFiles::read(rig.dir.filePath(u"页.htm"_s)),
                 "<!DOCTYPE html>\n<html><head> <Base href='http://127.0.0.1/p.htm' target='_blank'> "
                 "<title>\xD6\xD0\xCE\xC4</title></head><body>&#128512;</body></html>");
        QCOMPARE(rig.list.state(2), RowState::PageFailed);
        QCOMPARE(rig.list.failureReason(2), u"HTTP 404"_s);
        QCOMPARE(TestFiles::entries(rig.dir.path()), QStringList{u"页.htm"_s});
        // Every page browser parks on the blank page once at the end of the run.
        for (int n = 1; n <= DownloadDriver::SlotCount; ++n)
            QCOMPARE(rig.browser(n).navigations().count(PageDownloader::blankPage()), 1);
    }

    void pageThatMakesNoProgressIsGivenUp()
    {
        FakeBrowser browser; // unscripted addresses stay busy
        PageDownloader page(browser);
        page.setStallTime(50);
        QSignalSpy finished(&page, &Downloader::finished);
        page.start({u"http://127.0.0.1/never.htm"_s});
        QVERIFY(page.isBusy());
        QTRY_COMPARE(finished.count(), 1);
        const auto result = finished.first().at(0).value<DownloadResult>();
        QVERIFY(result.outcome == DownloadResult::Outcome::PageNotLoaded && result.reason.contains(u"no progress"_s));
        QVERIFY(!page.isBusy() && browser.stopCount() == 1);
    }

    // Stopping a page run stops its browsers and frees their slots. Pages still loading from a
    // run that was switched to fast mode and stopped there are stopped when page mode comes back.
    void pageModeStop()
    {
        Rig rig(2, false);
        rig.addRows(3);
        rig.driver.start();
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{true, true}));
        rig.driver.stop();
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{false, false}));
        QCOMPARE(rig.browser(1).stopCount(), 1);
        QCOMPARE(rig.list.state(3), RowState::Ready);

        rig.driver.start();
        rig.driver.prepareModeChange(DownloadDriver::Mode::Fast); // a run is on: nothing stops
        rig.settings.overrideDownloadMode(DownloadSettings::modeFast());
        rig.driver.stop();
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{true, true}));
        rig.driver.prepareModeChange(DownloadDriver::Mode::Page);
        QCOMPARE(rig.browser(1).stopCount(), 2);
        QCOMPARE(rig.driver.slotsBusy(), (std::vector<bool>{false, false}));
    }

    // The run's overview fed by hand, one sample a second: the counts, the speed smoothed over
    // the samples, and the time left by the bytes when every row left has a known size, else
    // by the rows at the average time per row.
    void overview_data()
    {
        QTest::addColumn<qint64>("kept");           // bytes an earlier attempt kept for the download
        QTest::addColumn<QList<qint64>>("reports"); // its cumulative progress at each second
        QTest::addColumn<QString>("ends");          // rows ended: s(aved), f(ailed), k (skipped)
        QTest::addColumn<int>("leftRows");
        QTest::addColumn<qint64>("leftBytes"); // -1: some row left is of unknown size
        QTest::addColumn<QString>("text");
        const QString none = u"完成 0  失败 0  跳过 0  "_s;
        QTest::newRow("counts, time by rows") << 0LL << QList<qint64>{1000, 3000} << u"ssfk"_s << 3 << -1LL
                                              << u"完成 2  失败 1  跳过 1  剩余 3  1.3 KB/s  剩余时间 00:02"_s;
        QTest::newRow("smoothing, no estimate") << 0LL << QList<qint64>{1000, 1000, 1000, 1000} << QString() << 1 << -1LL
                                                << none + u"剩余 1  343 B/s"_s;
        QTest::newRow("time by bytes") << 0LL << QList<qint64>{2000, 4000} << u"s"_s << 1 << 6000LL
                                       << u"完成 1  失败 0  跳过 0  剩余 1  2.0 KB/s  剩余时间 00:03"_s;
        QTest::newRow("resumed: kept bytes not counted") << 5000LL << QList<qint64>{6000, 8000} << QString() << 1
                                                         << 2600LL << none + u"剩余 1  1.3 KB/s  剩余时间 00:02"_s;
        QTest::newRow("resumed, then started over") << 5000LL << QList<qint64>{6000, 1000} << QString() << 1 << 3000LL
                                                    << none + u"剩余 1  1.0 KB/s  剩余时间 00:03"_s;
        QTest::newRow("stalled: time by rows") << 0LL << QList<qint64>{0, 0} << u"s"_s << 1 << 100LL
                                               << u"完成 1  失败 0  跳过 0  剩余 1  0 B/s  剩余时间 00:02"_s;
        QTest::newRow("an hour and more") << 0LL << QList<qint64>{1000000} << QString() << 1 << 3600000000LL
                                          << none + u"剩余 1  1.0 MB/s  剩余时间 1:00:00"_s;
        QTest::newRow("nothing yet") << 0LL << QList<qint64>{} << QString() << 5 << -1LL << none + u"剩余 5"_s;
    }

    void overview()
    {
        QFETCH(qint64, kept);
        QFETCH(QList<qint64>, reports);
        QFETCH(QString, ends);
        QFETCH(int, leftRows);
        QFETCH(qint64, leftBytes);
        QFETCH(QString, text);
        RunOverview overview;
        overview.start();
        const RunOverview::Left left{leftRows, std::max<qint64>(leftBytes, 0), leftBytes >= 0, 0};
        overview.sample(0, left);
        for (const QChar end : ends)
            overview.rowEnded(end == u's' ? RowState::Saved : end == u'f' ? RowState::Failed : RowState::Skipped);
        qint64 counted = -1;
        for (qsizetype second = 1; second <= reports.size(); ++second) {
            overview.addBytes(RunOverview::newBytes(counted, reports[second - 1], kept));
            overview.sample(second * 1000, left);
        }
        QCOMPARE(overview.text(), text);
        QCOMPARE(overview.rowsInRun(), ends.size() + leftRows);
        overview.end(0, left); // the counts stay; speed and time left go
        QCOMPARE(overview.text(), text.section(u"  "_s, 0, 3));
    }

    void progressTexts()
    {
        QCOMPARE(RowTexts::pageProgress(10, 0), u"100.0%  "_s);        // no maximum
        QCOMPARE(RowTexts::pageProgress(3, 200), u"2.0%  "_s);         // one and a half rounds to two
        QCOMPARE(RowTexts::pageProgress(30000000, 100), u"100.0%  "_s); // overflow
        QCOMPARE(RowTexts::fastProgress(120, 100), u"100.0%  0.1KB"_s); // more than the total
        QCOMPARE(RowTexts::fastProgress(3000000000, 6000000000), u"50.0%  6000000.0KB"_s);
        QCOMPARE(RowTexts::elapsed(101 * 60 + 5), u"下载耗时：101:05"_s); // minutes are not wrapped
    }
};

QTEST_GUILESS_MAIN(TestDriver)
#include "tst_driver.moc"
