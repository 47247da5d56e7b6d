#include "engine/ListStore.h"
#include "engine/UrlList.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// Every field of every row, one text a row; the state as a reopened list has it, when asked.
QStringList rowFields(const UrlList &list, bool reopened = false)
{
    QStringList rows;
    for (int p = 1; p <= list.count(); ++p) {
        RowStatus s = list.rowStatus(p);
        if (reopened && (s.state == RowState::Downloading || s.state == RowState::RetryWaiting))
            s.state = RowState::Ready;
        rows.append(QStringList{list.linkName(p), list.url(p), QString::number(int(s.state)), QString::number(s.slot),
                                QString::number(s.attempt), QString::number(int(s.progressKind)),
                                QString::number(s.endedAtMs), QString::number(s.progressValue),
                                QString::number(s.progressMaximum), list.failureReason(p)}
                        .join(u'|'));
    }
    return rows;
}

// A row in each state, each field different.
void appendEveryState(UrlList &list)
{
    std::vector<UrlRow> rows;
    for (int state = int(RowState::Idle); state <= int(RowState::RetryWaiting); ++state) {
        UrlRow &row = rows.emplace_back(u"名字 %1"_s.arg(state), u"http://h/%1?q=中"_s.arg(state));
        row.state = RowState(state);
        row.slot = quint8(state + 1);
        row.attempt = quint8(state);
        row.progressKind = RowStatus::ProgressKind(state % 3);
        row.endedAtMs = 1000 * state + 7;
        row.progressValue = qint64(state) << 33;
        row.progressMaximum = (qint64(state) << 33) + 1;
        row.setFailureReason(state % 2 ? u"why %1"_s.arg(state) : QString());
    }
    list.appendRows(rows);
}

} // namespace

class TestListStore : public QObject
{
    Q_OBJECT

private slots:
    // The file holds the list as it stands after each kind of change, written first whole, then
    // only what changed. A row that a slot had, or that waited for a retry, comes back ready.
    void reopenedListIsTheListAsLeft_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("rows as appended") << 0;
        QTest::newRow("rows removed, two blocks") << 1;
        QTest::newRow("new order") << 2;
        QTest::newRow("cleared, then one row") << 3;
        QTest::newRow("every unfinished row ready") << 4;
        QTest::newRow("a row ends, then rows are appended twice") << 5;
    }
    void reopenedListIsTheListAsLeft()
    {
        QFETCH(int, change);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"sub/list.sqlite"_s);
        UrlList list;
        ListStore store(list);
        QVERIFY(store.open(path));
        appendEveryState(list);
        QVERIFY(store.flush());
        switch (change) {
        case 1: list.removePositions({2, 5, 6}); break;
        case 2: list.reorder({7, 3, 0, 1, 2, 4, 6, 5}); break;
        case 3:
            list.clear();
            list.append(u"only"_s, u"http://h/only"_s);
            break;
        case 4: list.markUnfinishedReady(); break;
        case 5:
            list.endRow(2, RowState::Failed, QTime(1, 2, 3), u"新的"_s);
            appendEveryState(list);
            appendEveryState(list);
            break;
        }
        QVERIFY(store.flush());
        QCOMPARE(store.writeCount(), change == 0 ? 1u : 2u);

        UrlList reopened;
        reopened.append(u"stale"_s, u"http://h/stale"_s);
        ListStore again(reopened);
        QVERIFY(again.open(path));
        QCOMPARE(rowFields(reopened), rowFields(list, true));
    }

    // Changes keep coming: they are written a second after the first change since the last
    // write; flush() writes at once, and only when something changed.
    void writesAtMostOnceASecond()
    {
        QTemporaryDir dir;
        UrlList list;
        ListStore store(list);
        QVERIFY(store.open(dir.filePath(u"list.sqlite"_s)));
        list.append(u"a"_s, u"http://h/a"_s);
        QVERIFY(store.flush());
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 2500) {
            list.setProgress(1, RowStatus::ProgressKind::Bytes, clock.elapsed(), 0);
            QTest::qWait(20);
            if (clock.elapsed() < 1000)
                QCOMPARE(store.writeCount(), 1u);
        }
        QVERIFY2(store.writeCount() == 2 || store.writeCount() == 3, qPrintable(QString::number(store.writeCount())));
        QVERIFY(store.flush());
        const quint64 written = store.writeCount();
        QVERIFY(store.flush());
        QCOMPARE(store.writeCount(), written);
        list.removeAt(1);
        QVERIFY(store.flush());
        QCOMPARE(store.writeCount(), written + 1);
    }

    // A file that cannot be used leaves the list in memory and is reported once; a damaged one is
    // moved aside, never over an earlier one.
    void unusableFileLeavesTheListInMemory_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("content"); // written to the path first, unless empty
        QTest::addColumn<QString>("movedTo");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder is a file") << u"file/list.sqlite"_s << QByteArray() << QString() << u"file/list.sqlite："_s;
        QTest::newRow("path is a folder") << u"sub"_s << QByteArray() << QString() << u"sub："_s;
        QTest::newRow("not a database") << u"list.sqlite"_s << QByteArray(4096, 'x') << u"list.sqlite.corrupt"_s
                                        << u"list.sqlite 已损坏，已改名为 "_s;
        QTest::newRow("damaged again") << u"taken"_s << QByteArray(4096, 'y') << u"taken.2.corrupt"_s
                                       << u"taken 已损坏，已改名为 "_s;
    }
    void unusableFileLeavesTheListInMemory()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, content);
        QFETCH(QString, movedTo);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath(u"file"_s), "x") && QDir(dir.path()).mkdir(u"sub"_s));
        QVERIFY(TestFiles::write(dir.filePath(u"taken.corrupt"_s), "earlier"));
        if (!content.isEmpty())
            QVERIFY(TestFiles::write(dir.filePath(path), content));
        UrlList list;
        list.append(u"kept"_s, u"http://h/kept"_s);
        ListStore store(list);
        QSignalSpy unusable(&store, &ListStore::unusable);
        QVERIFY(!store.open(dir.filePath(path)));
        list.append(u"more"_s, u"http://h/more"_s);
        QVERIFY(!store.flush());
        QCOMPARE(unusable.count(), 1);
        QVERIFY2(unusable[0][0].toString().startsWith(dir.filePath(reason)), qPrintable(unusable[0][0].toString()));
        QCOMPARE(TestFiles::rows(list), (QStringList{u"kept=http://h/kept"_s, u"more=http://h/more"_s}));
        if (!movedTo.isEmpty()) {
            QCOMPARE(TestFiles::read(dir.filePath(movedTo)), content);
            QCOMPARE(TestFiles::read(dir.filePath(u"taken.corrupt"_s)), "earlier");
            QVERIFY(!QFile::exists(dir.filePath(path)));
        }
    }
};

QTEST_GUILESS_MAIN(TestListStore)
#include "tst_liststore.moc"
