#include "WindowRig.h"

#include "engine/HttpDownloader.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>

using namespace Qt::Literals::StringLiterals;

// A whole run from the window's buttons against a server on 127.0.0.1, ended with the exit
// button while a slow row is still coming in.
class TestWindowRun : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_server.listen());
        TestHttpServer::Route small, larger, slow; // any other path answers 404
        small.body = QByteArray(1000, 'a');
        larger.body = QByteArray(3000, 'b');
        larger.framing = TestHttpServer::Framing::Chunked;
        slow.generatedSize = 600000; // about a minute: still coming in when the test quits
        slow.chunkBytes = 1000;
        slow.intervalMs = 100;
        m_server.setRoute("/a.bin", small);
        m_server.setRoute("/b.bin", larger);
        m_server.setRoute("/slow.bin", slow);
    }

    void runThenExitLeavesNoPartialFile_data()
    {
        QTest::addColumn<bool>("namedStaging");
        QTest::newRow("unnamed temporary files") << false;
        QTest::newRow("named temporary files, removed when the program ends") << true;
    }

    void runThenExitLeavesNoPartialFile()
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
        for (const QString &name : {u"a"_s, u"slow"_s, u"b"_s, u"missing"_s})
            rig->list.append(name, m_server.urlText(u"/%1.bin"_s.arg(name)));
        QSignalSpy quit(rig->window.get(), &MainWindow::quitRequested);

        rig->find<QPushButton>(u"Command4"_s)->click();
        QTRY_COMPARE_WITH_TIMEOUT(rig->list.state(4), RowState::Failed, 10000); // after a and b, on the same slot
        const QString tip = rig->list.index(3, UrlList::RemarkColumn).data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(u"404"_s), qPrintable(tip)); // the remark's tooltip gives the reason
        QTRY_VERIFY_WITH_TIMEOUT(!rig->list.progressText(2).isEmpty(), 5000);
        QTRY_COMPARE(rig->find<QLabel>(u"Panel3"_s)->text(), u"链接数：4"_s); // the lights timer counts the rows

        // Exit while the slow row is still coming in: Yes to the question, and the program quits.
        rig->dialogs.yesNoAnswers.enqueue(true);
        rig->find<QPushButton>(u"Command7"_s)->click();
        QTRY_COMPARE(quit.count(), 1);
        QCOMPARE(rig->list.state(2), RowState::Ready); // stopped, ready for the next run

        rig.reset();
        const QStringList files = TestFiles::entries(folder.path());
        QCOMPARE(files.size(), 2);
        QCOMPARE(TestFiles::read(folder.filePath(files[0])) + TestFiles::read(folder.filePath(files[1])),
                 QByteArray(1000, 'a') + QByteArray(3000, 'b'));
    }
};

QTEST_MAIN(TestWindowRun)
#include "tst_windowrun.moc"
