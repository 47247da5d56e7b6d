#include "engine/ListStore.h"
#include "engine/UrlList.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace Qt::Literals::StringLiterals;

using ListChange = std::function<void(UrlList &)>;
// The path, what is written there first unless empty, where it is moved aside, how the reason starts.
struct UnusableCase { QString path; QByteArray content; QString movedTo, reason; };
Q_DECLARE_METATYPE(ListChange)
Q_DECLARE_METATYPE(UnusableCase)

namespace {

// Every field of every row, one text a row; the state as a reopened list has it, when asked.
QStringList rowFields(const UrlList &list, bool reopened = false)
{
    QStringList rows;
    for (int p = 1; p <= list.count(); ++p) {
        RowStatus s = list.rowStatus(p);
        if (reopened && (s.state == RowState::Downloading || s.state == RowState::RetryWaiting))
            s.state = RowState::Ready;
        QDebug(&rows.emplace_back()) << list.linkName(p) << list.url(p) << int(s.state) << int(s.slot) << int(s.attempt)
                                     << int(s.progressKind) << s.endedAtMs << s.progressValue << s.progressMaximum
                                     << list.failureReason(p) << list.savedPath(p);
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

// A new file of the first layout, which had no saved paths, holding the list's rows.
bool writeFirstLayout(const QString &path, const UrlList &list)
{
    bool written = QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"first layout"_s);
        db.setDatabaseName(path);
        QSqlQuery query(db);
        written = written && db.open()
            && query.exec(u"CREATE TABLE list_rows(position INTEGER PRIMARY KEY, link_name TEXT, url TEXT, state INTEGER NOT NULL, "
                          "slot INTEGER NOT NULL, attempt INTEGER NOT NULL, progress_kind INTEGER NOT NULL, ended_at_ms INTEGER "
                          "NOT NULL, progress_value INTEGER NOT NULL, progress_maximum INTEGER NOT NULL, failure_reason TEXT)"_s)
            && query.exec(u"PRAGMA user_version=1"_s);
        for (int p = 1; written && p <= list.count(); ++p) {
            const RowStatus s = list.rowStatus(p);
            const QVariantList values{p - 1, list.linkName(p), list.url(p), int(s.state), int(s.slot), int(s.attempt),
                                      int(s.progressKind), s.endedAtMs, s.progressValue, s.progressMaximum, list.failureReason(p)};
            written = query.prepare(u"INSERT INTO list_rows VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s);
            for (int i = 0; i < values.size(); ++i)
                query.bindValue(i, values[i]);
            written = written && query.exec();
        }
    }
    QSqlDatabase::removeDatabase(u"first layout"_s);
    return written;
}

} // namespace

class TestListStore : public QObject
{
    Q_OBJECT

private slots:
    // The file holds the list as it stands after each kind of change, written first whole, then
    // only what changed; flush() writes at once, and only when something changed. A row that a slot
    // had, or that waited for a retry, comes back ready. A file of the first layout is read as it
    // was and keeps saved paths from then on.
    void reopenedListIsTheListAsLeft_data()
    {
        QTest::addColumn<ListChange>("change");
        QTest::addColumn<bool>("firstLayout"); // the file holds the rows before the store opens it
        const ListChange savedPaths([](UrlList &l) {
            l.setSavedPath(4, u"/下载/名字 3"_s);
            appendEveryState(l);
            l.setSavedPath(12, u"/下载/名字 3.1"_s);
        });
        QTest::newRow("rows as appended") << ListChange() << false;
        QTest::newRow("rows removed, two blocks") << ListChange([](UrlList &l) { l.removePositions({2, 5, 6}); }) << false;
        QTest::newRow("new order") << ListChange([](UrlList &l) { l.reorder({7, 3, 0, 1, 2, 4, 6, 5}); }) << false;
        QTest::newRow("cleared, then one row") << ListChange([](UrlList &l) { l.clear(); l.append(u"only"_s, u"http://h/only"_s); }) << false;
        QTest::newRow("every unfinished row ready") << ListChange([](UrlList &l) { l.markUnfinishedReady(); }) << false;
        QTest::newRow("a row ends, then rows are appended twice") << ListChange([](UrlList &l) {
            l.endRow(2, RowState::Failed, QTime(1, 2, 3), u"新的"_s);
            appendEveryState(l);
            appendEveryState(l);
        }) << false;
        QTest::newRow("saved paths of a row and of an appended one") << savedPaths << false;
        QTest::newRow("a file of the first layout, then saved paths") << savedPaths << true;
    }
    void reopenedListIsTheListAsLeft()
    {
        QFETCH(ListChange, change);
        QFETCH(bool, firstLayout);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"sub/list.sqlite"_s);
        UrlList every;
        appendEveryState(every);
        QVERIFY(!firstLayout || writeFirstLayout(path, every));
        UrlList list;
        ListStore store(list);
        QVERIFY(store.open(path));
        if (!firstLayout) {
            appendEveryState(list);
            QVERIFY(store.flush());
        }
        QCOMPARE(rowFields(list), rowFields(every, firstLayout));
        if (change)
            change(list);
        QVERIFY(store.flush());
        QCOMPARE(store.writeCount(), quint64(!firstLayout) + (change ? 1 : 0));

        UrlList reopened;
        reopened.append(u"stale"_s, u"http://h/stale"_s);
        ListStore again(reopened);
        QVERIFY(again.open(path));
        QCOMPARE(rowFields(reopened), rowFields(list, true));
    }

    // Changes keep coming: they are written a second after the first change since the last write.
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
    }

    // A file that cannot be used leaves the list in memory and is reported once; a damaged one is
    // moved aside, never over an earlier one.
    void unusableFileLeavesTheListInMemory_data()
    {
        QTest::addColumn<UnusableCase>("c");
        QTest::newRow("folder is a file") << UnusableCase{u"file/list.sqlite"_s, {}, {}, u"file/list.sqlite："_s};
        QTest::newRow("path is a folder") << UnusableCase{u"sub"_s, {}, {}, u"sub："_s};
        QTest::newRow("not a database")
            << UnusableCase{u"list.sqlite"_s, QByteArray(4096, 'x'), u"list.sqlite.corrupt"_s, u"list.sqlite 已损坏，已改名为 "_s};
        QTest::newRow("damaged again") << UnusableCase{u"taken"_s, QByteArray(4096, 'y'), u"taken.2.corrupt"_s, u"taken 已损坏，已改名为 "_s};
    }
    void unusableFileLeavesTheListInMemory()
    {
        QFETCH(UnusableCase, c);
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath(u"file"_s), "x") && QDir(dir.path()).mkdir(u"sub"_s));
        QVERIFY(TestFiles::write(dir.filePath(u"taken.corrupt"_s), "earlier"));
        if (!c.content.isEmpty())
            QVERIFY(TestFiles::write(dir.filePath(c.path), c.content));
        UrlList list;
        list.append(u"kept"_s, u"http://h/kept"_s);
        ListStore store(list);
        QSignalSpy unusable(&store, &ListStore::unusable);
        QVERIFY(!store.open(dir.filePath(c.path)));
        list.append(u"more"_s, u"http://h/more"_s);
        QVERIFY(!store.flush());
        QCOMPARE(unusable.count(), 1);
        QVERIFY2(unusable[0][0].toString().startsWith(dir.filePath(c.reason)), qPrintable(unusable[0][0].toString()));
        QCOMPARE(TestFiles::rows(list), (QStringList{u"kept=http://h/kept"_s, u"more=http://h/more"_s}));
        if (!c.movedTo.isEmpty()) {
            QCOMPARE(TestFiles::read(dir.filePath(c.movedTo)), c.content);
            QCOMPARE(TestFiles::read(dir.filePath(u"taken.corrupt"_s)), "earlier");
            QVERIFY(!QFile::exists(dir.filePath(c.path)));
        }
    }
};

QTEST_GUILESS_MAIN(TestListStore)
#include "tst_liststore.moc"
