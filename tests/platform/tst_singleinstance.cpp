// Two starts of the window in one process: the first holds the name, the second hands its files
// over (from a thread of its own: it waits for the first's receipt) or takes the name.
#include "platform/SingleInstance.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

#include <memory>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// What a crashed window leaves: a socket file no one listens on.
bool leaveDeadSocket(const QString &path)
{
    const QByteArray name = path.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    qstrcpy(address.sun_path, name.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void handOver_data()
    {
        QTest::addColumn<bool>("crashed"); // the first start left its name behind instead of holding it
        QTest::addColumn<QStringList>("files");
        QTest::newRow("no files: the window only comes up") << false << QStringList{};
        QTest::newRow("Chinese, a blank, a line break and a long path") << false
            << QStringList{u"/home/用户/下载/网址 列表.txt"_s, u"/tmp/a\nb.html"_s, u"/"_s + QString(4000, u'x')};
        QTest::newRow("a crashed window's name is taken over") << true << QStringList{u"/tmp/list.txt"_s};
    }

    void handOver()
    {
        QFETCH(bool, crashed);
        QFETCH(QStringList, files);
        QTemporaryDir dir;
        const QString name = dir.filePath(u"window"_s);
        SingleInstance first(name);
        QVERIFY(crashed ? leaveDeadSocket(name) : first.listen());
        QSignalSpy received(&first, &SingleInstance::filesReceived);

        bool delivered = false;
        std::unique_ptr<QThread> secondStart(QThread::create([&] {
            SingleInstance second(name);
            delivered = second.handOver(files, 5000);
        }));
        secondStart->start();
        QTRY_VERIFY_WITH_TIMEOUT(secondStart->isFinished(), 10000);

        QCOMPARE(delivered, !crashed);
        QCOMPARE(received.size(), crashed ? 0 : 1);
        if (!crashed)
            QCOMPARE(received.at(0).at(0).toStringList(), files);
        // Only one instance holds the name at a time.
        SingleInstance next(name);
        QCOMPARE(next.listen(), crashed);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
