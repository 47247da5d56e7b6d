#include "WindowRig.h"

#include "engine/HttpDownloader.h"
#include "engine/RowTexts.h"
#include "shell/ToolStrip.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;
using Route = TestHttpServer::Route;

namespace {

QMap<QString, qint64> filesIn(const QString &folder)
{
    QMap<QString, qint64> files;
    const QFileInfoList infos =
        QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : infos)
        files.insert(info.fileName(), info.size());
    return files;
}

int slotOf(const QString &status)
{
    // "线程" + N + "正在下载..."
    const qsizetype end = status.indexOf(u"正在下载"_s);
    return end > 2 ? status.mid(2, end - 2).toInt() : 0;
}

} // namespace

// Whole runs from the window's buttons against a server on 127.0.0.1.
class TestWindowRun : public QObject
{
    Q_OBJECT

private:
    TestHttpServer m_server;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_server.listen());
        Route small;
        small.body = QByteArray(1000, 'a');
        m_server.setRoute("/a.bin", small);
        Route larger;
        larger.body = QByteArray(3000, 'b');
        larger.framing = TestHttpServer::Framing::Chunked;
        m_server.setRoute("/b.bin", larger);
        // Trickles for about a minute: still under way when the test quits.
        Route slow;
        slow.generatedSize = 600000;
        slow.chunkBytes = 1000;
        slow.intervalMs = 100;
        m_server.setRoute("/slow.bin", slow);
    }

    void runFromTheButtonThenQuitLeavesNoPartialFile_data()
    {
        QTest::addColumn<bool>("namedStaging");
        QTest::newRow("unnamed temporary files") << false;
        QTest::newRow("named temporary files, removed when the program ends") << true;
    }

    void runFromTheButtonThenQuitLeavesNoPartialFile()
    {
        QFETCH(bool, namedStaging);
        QTemporaryDir folder;
        const DownloaderFactory http = HttpDownloader::factory(nullptr);
        auto rig = std::make_unique<WindowRig>([http, namedStaging](int slot) {
            std::unique_ptr<Downloader> downloader = http(slot);
            static_cast<HttpDownloader *>(downloader.get())->setUnnamedTempFiles(!namedStaging);
            return downloader;
        });
        rig->settings.setSaveFolder(folder.path());
        rig->settings.setThreadCount(2);
        rig->list.append(u"a"_s, m_server.urlText(u"/a.bin"_s));
        rig->list.append(u"slow"_s, m_server.urlText(u"/slow.bin"_s));
        rig->list.append(u"b"_s, m_server.urlText(u"/b.bin"_s));
        rig->window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig->window.get()));
        QSignalSpy quit(rig->window.get(), &MainWindow::quitRequested);
        auto panel = [&rig](int n) { return rig->find<QLabel>(u"Panel%1"_s.arg(n))->text(); };
        auto fill = [&rig](int slot) {
            return rig->find(u"Shape1_%1"_s.arg(slot))->property("fillColour").toInt();
        };

        QTest::mouseClick(rig->find<QPushButton>(u"Command4"_s), Qt::LeftButton);
        QVERIFY(rig->driver.isRunning());

        QTRY_VERIFY_WITH_TIMEOUT(rig->list.statusText(1).startsWith(u"下载完成 ["_s), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(rig->list.statusText(3).startsWith(u"下载完成 ["_s), 10000);
        QVERIFY(rig->list.remarkText(1).isEmpty() && rig->list.remarkText(3).isEmpty());
        QCOMPARE(rig->list.progressText(1), RowTexts::fastProgress(1000, 1000));

        // The slow row holds its slot: red light, progress under way; the other slot is free.
        const int slow = slotOf(rig->list.statusText(2));
        QVERIFY2(slow == 1 || slow == 2, qPrintable(rig->list.statusText(2)));
        QTRY_VERIFY_WITH_TIMEOUT(!rig->list.progressText(2).isEmpty(), 5000);
        QTRY_COMPARE(fill(slow), StatusLight::Red);
        QTRY_COMPARE(fill(3 - slow), StatusLight::Green);
        QTRY_VERIFY_WITH_TIMEOUT(panel(2).startsWith(u"下载耗时：00:0"_s), 3000);
        QCOMPARE(panel(3), u"链接数：3"_s);
        QVERIFY(rig->driver.isRunning());

        // Exit while the slow row is still coming in: asked, then the program quits.
        rig->dialogs.yesNoAnswers.enqueue(true);
        QTest::mouseClick(rig->find<QPushButton>(u"Command7"_s), Qt::LeftButton);
        QCOMPARE(rig->dialogs.questions, QStringList{u"目前正在下载中，一定要退出吗？"_s});
        QTRY_COMPARE(quit.count(), 1);
        QVERIFY(!rig->list.statusText(2).startsWith(u"下载完成"_s));

        QCOMPARE(filesIn(folder.path()).size(), namedStaging ? 3 : 2);
        rig.reset();
        const QMap<QString, qint64> files = filesIn(folder.path());
        QCOMPARE(files.size(), 2);
        QList<qint64> sizes = files.values();
        std::sort(sizes.begin(), sizes.end());
        QCOMPARE(sizes, (QList<qint64>{1000, 3000}));
    }
};

QTEST_MAIN(TestWindowRun)
#include "tst_windowrun.moc"
