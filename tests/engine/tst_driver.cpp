#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/DownloadSlot.h"
#include "engine/HttpDownloader.h"
#include "engine/RowTexts.h"
#include "engine/UrlList.h"
#include "platform/MemorySettingsStore.h"
#include "support/FakeBrowser.h"
#include "support/FakeDownloader.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

const QRegularExpression finishedText(u"^下载完成 \\[\\d\\d:\\d\\d:\\d\\d\\]$"_s);
const QRegularExpression errorText(u"^下载出错！ \\[\\d\\d:\\d\\d:\\d\\d\\]$"_s);
const QRegularExpression skippedText(u"^跳过 \\[\\d\\d:\\d\\d:\\d\\d\\]$"_s);

// One engine as the window or the batch mode builds it, with fakes for the components.
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
        std::array<Browser *, 10> pointers{};
        for (int i = 0; i < 10; ++i) {
            browsers[static_cast<std::size_t>(i)] = std::make_unique<FakeBrowser>();
            pointers[static_cast<std::size_t>(i)] = browsers[static_cast<std::size_t>(i)].get();
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
    // Runs a whole tick: the slot timers it arms fire at once.
    void tick()
    {
        driver.driverTick();
        for (int n = 1; n <= 10; ++n) {
            if (bank.slot(n).timer->isActive())
                driver.dispatchSlot(n);
        }
    }

    QTemporaryDir dir;
    MemorySettingsStore store;
    DownloadSettings settings{store};
    UrlList list;
    DownloadSlots bank;
    DownloadDriver driver{list, settings, bank};
    QList<FakeDownloader *> downloaders;
    std::array<std::unique_ptr<FakeBrowser>, 10> browsers;
};

} // namespace

class TestDriver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void startWithEmptyListDoesNothing()
    {
        Rig rig(2);
        rig.driver.Start();
        QVERIFY(!rig.driver.runOn());
    }

    void threeRowsOverTwoSlots()
    {
        Rig rig(2);
        rig.addRows(3);
        QSignalSpy ended(&rig.driver, &DownloadDriver::runEnded);
        rig.driver.Start();
        QVERIFY(rig.driver.runOn());
        // Start wakes the free slots at once: slot 1 takes row 1, slot 2 takes row 2.
        QTRY_COMPARE(rig.list.statusText(1), RowTexts::downloading(1));
        QCOMPARE(rig.list.statusText(2), RowTexts::downloading(2));
        QCOMPARE(rig.list.statusText(3), RowTexts::ready());
        QCOMPARE(rig.dl(1).request.savePath, QDir(rig.dir.path()).filePath(u"f1.bin"_s));

        rig.dl(2).succeed();
        QVERIFY(finishedText.match(rig.list.statusText(2)).hasMatch());
        QCOMPARE(rig.list.progressText(2), u"100.0%  0.0KB"_s);
        // The freed slot takes the next row without waiting for a tick.
        QTRY_COMPARE(rig.list.statusText(3), RowTexts::downloading(2));
        QVERIFY(rig.bank.reachedEnd);

        rig.dl(1).succeed();
        QVERIFY(rig.driver.runOn()); // slot 2 is still busy
        rig.dl(2).succeed();
        QVERIFY(!rig.driver.runOn());
        QCOMPARE(ended.count(), 1);
        for (int p = 1; p <= 3; ++p)
            QVERIFY(finishedText.match(rig.list.statusText(p)).hasMatch());
    }

    void failedTransferWritesRemarkAndFinishedStatus()
    {
        Rig rig(1);
        rig.addRows(1);
        rig.driver.Start();
        QTRY_VERIFY(rig.dl(1).busy);
        rig.list.setProgress(1, UrlRow::ProgressKind::Bytes, 400, 1000);
        rig.dl(1).fail();
        QVERIFY(finishedText.match(rig.list.statusText(1)).hasMatch());
        QVERIFY(errorText.match(rig.list.remarkText(1)).hasMatch());
        QCOMPARE(rig.list.progressText(1), u"40.0%  1.0KB"_s);
        // The reason is the remark's tooltip.
        QCOMPARE(rig.list.data(rig.list.index(0, UrlList::RemarkColumn), Qt::ToolTipRole), QVariant(u"scripted failure"_s));
    }

    void noReadyRowAndNoBusySlotEndsTheRun()
    {
        Rig rig(2);
        rig.addRows(2);
        rig.driver.Start();
        rig.list.endRow(1, RowState::Saved, QTime());
        rig.list.endRow(2, RowState::Skipped, QTime());
        rig.driver.dispatchSlot(1);
        QVERIFY(!rig.driver.runOn());
        QVERIFY(rig.bank.reachedEnd);
    }

    void everyRowDeletedKeepsTheRunCounting()
    {
        Rig rig(2);
        rig.addRows(3);
        rig.driver.Start();
        rig.list.clear();
        rig.tick();
        rig.tick();
        QVERIFY(rig.driver.runOn());
        QCOMPARE(rig.bank.elapsedSeconds, 2);
    }

    void completionLandsOnTheRowNowAtThatPosition()
    {
        Rig rig(1);
        rig.addRows(6);
        rig.driver.Start();
        QTRY_VERIFY(rig.dl(1).busy);
        QCOMPARE(rig.bank.slot(1).rowIndex, 1);
        rig.list.removeAt(1);
        rig.dl(1).succeed();
        // Row "f2" now stands at position 1 and gets the text meant for the deleted row.
        QCOMPARE(rig.list.linkName(1), u"f2"_s);
        QVERIFY(finishedText.match(rig.list.statusText(1)).hasMatch());
    }

    void startTwiceTakesRowsAgainFromTheTop()
    {
        Rig rig(1);
        rig.addRows(2);
        rig.driver.Start();
        QTRY_VERIFY(rig.dl(1).busy);
        rig.dl(1).succeed();
        QTRY_COMPARE(rig.list.statusText(2), RowTexts::downloading(1));
        rig.driver.Start();
        QCOMPARE(rig.list.statusText(1), RowTexts::ready());
        QCOMPARE(rig.list.statusText(2), RowTexts::ready());
        rig.dl(1).succeed(); // the transfer of row 2 ends onto row 2
        QTRY_COMPARE(rig.list.statusText(1), RowTexts::downloading(1));
    }

    void stopLetsTransfersFinishAndTakesNoMoreRows()
    {
        Rig rig(2);
        rig.addRows(4);
        rig.driver.Start();
        QTRY_VERIFY(rig.dl(1).busy && rig.dl(2).busy);
        rig.driver.Stop();
        QVERIFY(!rig.driver.runOn());
        rig.dl(1).succeed();
        rig.dl(2).succeed();
        QTest::qWait(150);
        QVERIFY(finishedText.match(rig.list.statusText(1)).hasMatch());
        QVERIFY(finishedText.match(rig.list.statusText(2)).hasMatch());
        QCOMPARE(rig.list.statusText(3), RowTexts::ready());
        QCOMPARE(rig.list.statusText(4), RowTexts::ready());
        for (int n = 1; n <= 10; ++n)
            QVERIFY(!rig.bank.slot(n).timer->isActive());
    }

    void stopDuringRealTransfersLetsThemFinish()
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
        rig.driver.Start();
        QTRY_VERIFY(rig.bank.anyBusy(2, true) && rig.list.statusText(2) == RowTexts::downloading(2));
        rig.driver.Stop();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.bank.anyBusy(2, true), 20000);
        QTest::qWait(200);
        for (int p = 1; p <= 2; ++p) {
            QVERIFY(finishedText.match(rig.list.statusText(p)).hasMatch());
            QCOMPARE(rig.list.progressText(p), u"100.0%  5.0KB"_s);
        }
        QCOMPARE(rig.list.statusText(3), RowTexts::ready());
        QCOMPARE(rig.list.statusText(4), RowTexts::ready());
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files).size(), 2);
        QCOMPARE(server.requests().size(), 2);
    }

    void tickWakesOnlySlotsUpToTheThreadCount()
    {
        Rig rig(3);
        rig.addRows(20);
        rig.driver.Start();
        QTRY_VERIFY(rig.dl(3).busy);
        rig.dl(2).succeed();
        QTRY_VERIFY(rig.dl(2).busy);
        rig.driver.driverTick();
        for (int n = 4; n <= 10; ++n) {
            QVERIFY(!rig.bank.slot(n).timer->isActive());
            QVERIFY(rig.dl(n).urls.isEmpty());
        }
        const std::vector<int> lights = rig.driver.lightsTick();
        QCOMPARE(lights, (std::vector<int>{DownloadDriver::LightRed, DownloadDriver::LightRed, DownloadDriver::LightRed}));
    }

    void elapsedText_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("first tick") << 1 << u"下载耗时：00:01"_s;
        QTest::newRow("62 minutes 5 seconds") << 62 * 60 + 5 << u"下载耗时：62:05"_s;
        QTest::newRow("minutes not wrapped") << 101 * 60 << u"下载耗时：101:00"_s;
    }

    void elapsedText()
    {
        QFETCH(int, seconds);
        QFETCH(QString, text);
        Rig rig(1);
        rig.addRows(1);
        rig.driver.Start();
        rig.bank.elapsedSeconds = seconds - 1;
        QSignalSpy panel(&rig.driver, &DownloadDriver::elapsedTextChanged);
        rig.driver.driverTick();
        QCOMPARE(panel.last().at(0).toString(), text);
    }

    void sameNameInParallelSlotsIsRenamed()
    {
        Rig rig(2);
        rig.list.append(u"same"_s, u"http://127.0.0.1/a.txt"_s);
        rig.list.append(u"same"_s, u"http://127.0.0.1/b.txt"_s);
        rig.driver.Start();
        QTRY_VERIFY(rig.dl(1).busy && rig.dl(2).busy);
        QCOMPARE(rig.dl(1).request.savePath, QDir(rig.dir.path()).filePath(u"same.txt"_s));
        QCOMPARE(rig.dl(2).request.savePath, QDir(rig.dir.path()).filePath(u"same[1].txt"_s));
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
        rig.driver.Start();
        QTRY_VERIFY(!rig.driver.runOn());
        QVERIFY(skippedText.match(rig.list.statusText(1)).hasMatch());
        QVERIFY(skippedText.match(rig.list.statusText(2)).hasMatch());
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
        rig.driver.Start();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver.runOn(), 120000);
        QCOMPARE(rig.list.firstReady(), 0);
        QVERIFY(finishedText.match(rig.list.statusText(n)).hasMatch());
        QVERIFY(finishedText.match(rig.list.statusText(1)).hasMatch());
        const quint64 steps = rig.list.readyScanSteps() - before;
        QVERIFY2(steps < 4 * static_cast<quint64>(n), qPrintable(QString::number(steps)));
    }

    // Page mode.

    void pageModeSavesThePageWithBaseReferenceInItsCharset()
    {
        Rig rig(1, false);
        rig.list.append(u"页"_s, u"http://127.0.0.1/p.htm"_s);
        FakeBrowser::Page page;
        page.outerHtml = u"<html><head><title>中文</title></head><body>😀</body></html>"_s;
        page.characterSet = u"GBK"_s;
        page.title = u"中文"_s;
        rig.browser(1).setPage(u"http://127.0.0.1/p.htm"_s, page);
        QSignalSpy panel(&rig.driver, &DownloadDriver::statusTextChanged);
        rig.driver.Start();
        QTRY_VERIFY(!rig.driver.runOn());
        QVERIFY(finishedText.match(rig.list.statusText(1)).hasMatch());
        QCOMPARE(rig.list.progressText(1), u"100.0%  "_s);
        QCOMPARE(panel.last().at(0).toString(), u"线程1:中文"_s);
        QFile file(QDir(rig.dir.path()).filePath(u"页.htm"_s));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray expected = QByteArray("<html><head> <Base href='http://127.0.0.1/p.htm' target='_blank'> <title>")
            + QByteArray("\xD6\xD0\xCE\xC4") + QByteArray("</title></head><body>&#128512;</body></html>");
        QCOMPARE(file.readAll(), expected);
        // Every page browser parks on the blank page once at the end of the run.
        for (int n = 1; n <= 10; ++n)
            QCOMPARE(rig.browser(n).navigations().count(DownloadSlots::blankPage()), 1);
    }

    void pageModeNavigationErrorWritesTheErrorTexts()
    {
        Rig rig(1, false);
        rig.list.append(u"bad"_s, u"http://127.0.0.1/missing.htm"_s);
        FakeBrowser::Page page;
        page.outcome = FakeBrowser::Outcome::Fail;
        rig.browser(1).setPage(u"http://127.0.0.1/missing.htm"_s, page);
        rig.driver.Start();
        QTRY_VERIFY(!rig.driver.runOn());
        QCOMPARE(rig.list.statusText(1), u"下载完成 "_s);
        QVERIFY(errorText.match(rig.list.remarkText(1)).hasMatch());
        QVERIFY(!rig.list.failureReason(1).isEmpty());
        QVERIFY(!QFile::exists(QDir(rig.dir.path()).filePath(u"bad.htm"_s)));
    }

    void pageModeStopFreesBusySlots()
    {
        Rig rig(2, false);
        rig.addRows(3);
        rig.driver.Start();
        QTRY_VERIFY(rig.browser(1).Busy() && rig.browser(2).Busy());
        QVERIFY(rig.bank.anyBusy(2, false));
        rig.driver.Stop();
        QVERIFY(!rig.bank.anyBusy(2, false));
        QCOMPARE(rig.browser(5).stopCount(), 1);
        QCOMPARE(rig.list.statusText(3), RowTexts::ready());
    }

    void modeChangeWithNoRunStopsInTheNewMode()
    {
        Rig rig(2, true);
        rig.driver.modeChangeHook(false);
        for (int n = 1; n <= 10; ++n)
            QCOMPARE(rig.browser(n).stopCount(), 1);
        QVERIFY(rig.settings.fastMode());
    }

    void pageProgress_data()
    {
        QTest::addColumn<int>("progress");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero maximum shows 100") << 10 << 0 << u"100.0%  "_s;
        QTest::newRow("zero progress shows 100") << 0 << 100 << u"100.0%  "_s;
        QTest::newRow("37 of 100") << 37 << 100 << u"37.0%  "_s;
        QTest::newRow("half rounds to even") << 1 << 200 << u"100.0%  "_s;
        QTest::newRow("one and a half rounds to two") << 3 << 200 << u"2.0%  "_s;
        QTest::newRow("negative end value") << -1 << 100 << u"-1.0%  "_s;
        QTest::newRow("overflow keeps 0 shown as 100") << 30000000 << 100 << u"100.0%  "_s;
    }

    void pageProgress()
    {
        QFETCH(int, progress);
        QFETCH(int, maximum);
        QFETCH(QString, text);
        QCOMPARE(RowTexts::pageProgress(progress, maximum), text);
    }

    void fastProgress_data()
    {
        QTest::addColumn<qint64>("cur");
        QTest::addColumn<qint64>("max");
        QTest::addColumn<QString>("text");
        QTest::newRow("thirty million bytes") << qint64(30000000) << qint64(30000000) << u"100.0%  30000.0KB"_s;
        QTest::newRow("more than the total caps at 100") << qint64(120) << qint64(100) << u"100.0%  0.1KB"_s;
        QTest::newRow("quarter") << qint64(250) << qint64(1000) << u"25.0%  1.0KB"_s;
        QTest::newRow("over 2 GB") << qint64(3000000000) << qint64(6000000000) << u"50.0%  6000000.0KB"_s;
    }

    void fastProgress()
    {
        QFETCH(qint64, cur);
        QFETCH(qint64, max);
        QFETCH(QString, text);
        QCOMPARE(RowTexts::fastProgress(cur, max), text);
    }
};

QTEST_GUILESS_MAIN(TestDriver)
#include "tst_driver.moc"
