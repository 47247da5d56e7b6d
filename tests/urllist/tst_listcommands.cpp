#include "engine/UrlList.h"
#include "urllist/ListCommands.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <map>

using namespace Qt::Literals::StringLiterals;

namespace {

using Calls = QList<QPair<qint64, qint64>>;

struct ProgressLog
{
    Calls calls;
    ListProgress callback()
    {
        return [this](qint64 value, qint64 maximum) { calls.append({value, maximum}); };
    }
};

// "name=url" pairs, so a table row shows which row survived.
UrlList *listOf(const QStringList &entries)
{
    auto *list = new UrlList;
    for (const QString &entry : entries) {
        const qsizetype at = entry.indexOf(u'=');
        list->append(entry.left(at), entry.mid(at + 1));
    }
    return list;
}

QStringList entriesOf(const UrlList &list)
{
    QStringList result;
    for (int p = 1; p <= list.count(); ++p)
        result << list.linkName(p) + u'=' + list.url(p);
    return result;
}

Calls countingTo(qint64 n)
{
    Calls calls;
    for (qint64 i = 1; i <= n; ++i)
        calls.append({i, n});
    calls.append({0, n});
    return calls;
}

} // namespace

class TestListCommands : public QObject
{
    Q_OBJECT

private slots:
    void deleteSelected_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QStringList>("expected");

        const QStringList abcd{u"A=http://a"_s, u"B=http://b"_s, u"C=http://c"_s, u"D=http://d"_s};
        QTest::newRow("A, C and D selected leaves B") << abcd << QList<int>{1, 3, 4} << QStringList{u"B=http://b"_s};
        QTest::newRow("none selected removes nothing") << abcd << QList<int>{} << abcd;
        QTest::newRow("positions beyond the list ignored")
            << abcd << QList<int>{0, 2, 5, -1} << QStringList{u"A=http://a"_s, u"C=http://c"_s, u"D=http://d"_s};
        QTest::newRow("a position given twice removes one row")
            << abcd << QList<int>{2, 2} << QStringList{u"A=http://a"_s, u"C=http://c"_s, u"D=http://d"_s};
    }

    void deleteSelected()
    {
        QFETCH(QStringList, entries);
        QFETCH(QList<int>, selected);
        QFETCH(QStringList, expected);

        std::unique_ptr<UrlList> list(listOf(entries));
        QAbstractItemModelTester tester(list.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        ProgressLog log;
        deleteSelectedRows(*list, std::vector<int>(selected.begin(), selected.end()), log.callback());
        QCOMPARE(entriesOf(*list), expected);
        QCOMPARE(log.calls, countingTo(entries.size()));
    }

    void deleteDuplicates_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("removed");

        QTest::newRow("x, y, x keeps the first x")
            << QStringList{u"a=http://x"_s, u"b=http://y"_s, u"c=http://x"_s}
            << QStringList{u"a=http://x"_s, u"b=http://y"_s} << 1;
        QTest::newRow("y, x, y: duplicate in last position removed")
            << QStringList{u"a=http://y"_s, u"b=http://x"_s, u"c=http://y"_s}
            << QStringList{u"b=http://x"_s, u"a=http://y"_s} << 1;
        QTest::newRow("letter case differs: not duplicates")
            << QStringList{u"a=http://h/a"_s, u"b=http://h/A"_s}
            << QStringList{u"b=http://h/A"_s, u"a=http://h/a"_s} << 0;
        QTest::newRow("trailing blank: not duplicates")
            << QStringList{u"a=http://h/a "_s, u"b=http://h/a"_s}
            << QStringList{u"b=http://h/a"_s, u"a=http://h/a "_s} << 0;
        QTest::newRow("equal addresses separated by a case variant still removed")
            << QStringList{u"a=http://h/x"_s, u"b=http://h/X"_s, u"c=http://h/x"_s}
            << QStringList{u"b=http://h/X"_s, u"a=http://h/x"_s} << 1;
        QTest::newRow("sorted without regard to case")
            << QStringList{u"a=http://h/b"_s, u"b=http://h/C"_s, u"c=http://h/A"_s}
            << QStringList{u"c=http://h/A"_s, u"a=http://h/b"_s, u"b=http://h/C"_s} << 0;
        QTest::newRow("empty addresses are duplicates of each other")
            << QStringList{u"a="_s, u"b=http://a"_s, u"c="_s} << QStringList{u"a="_s, u"b=http://a"_s} << 1;
    }

    void deleteDuplicates()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, expected);
        QFETCH(int, removed);

        std::unique_ptr<UrlList> list(listOf(entries));
        QAbstractItemModelTester tester(list.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        ProgressLog log;
        QCOMPARE(deleteDuplicateRows(*list, log.callback()), removed);
        QCOMPARE(entriesOf(*list), expected);
        QCOMPARE(log.calls, countingTo(entries.size()));
    }

    void emptyListReportsNoProgress()
    {
        UrlList list;
        ProgressLog log;
        deleteSelectedRows(list, {1}, log.callback());
        QCOMPARE(deleteDuplicateRows(list, log.callback()), 0);
        QVERIFY(log.calls.isEmpty());
    }

    void survivorKeepsItsOwnTexts()
    {
        UrlList list;
        list.appendRows({UrlRow(u"late"_s, u"http://z"_s), UrlRow(u"first"_s, u"http://x"_s),
                         UrlRow(u"second"_s, u"http://x"_s)});
        list.markAllReady();
        list.endRow(1, RowState::Failed, QTime(3, 3, 3), u"r3"_s);
        list.endRow(2, RowState::Skipped, QTime(1, 1, 1));
        list.endRow(3, RowState::Saved, QTime(2, 2, 2));
        QCOMPARE(deleteDuplicateRows(list), 1);
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.linkName(1) + list.statusText(1), u"first跳过 [01:01:01]"_s);
        QCOMPARE(list.failureReason(2), u"r3"_s);
    }

    void manyRowsWithManyDuplicates()
    {
        const int rows = 100000;
        const int distinct = 1000;
        QRandomGenerator random(7);
        std::vector<UrlRow> input;
        std::map<QString, int> firstIndexOf; // exact address -> first row in list order
        for (int i = 0; i < rows; ++i) {
            const int key = random.bounded(distinct);
            // Case variants sort together but are distinct addresses.
            QString url = u"http://h/item%1"_s.arg(key);
            if (key % 3 == 0 && random.bounded(2) == 0)
                url = url.toUpper();
            firstIndexOf.emplace(url, i);
            input.push_back(UrlRow(QString::number(i), url));
        }
        UrlList list;
        list.appendRows(input);
        QSignalSpy removedSignals(&list, &QAbstractItemModel::rowsRemoved);

        const int removed = deleteDuplicateRows(list);

        QCOMPARE(list.count(), static_cast<int>(firstIndexOf.size()));
        QCOMPARE(removed, rows - list.count());
        QCOMPARE(removedSignals.count(), 1);
        for (int p = 1; p <= list.count(); ++p) {
            const auto found = firstIndexOf.find(list.url(p));
            QVERIFY(found != firstIndexOf.end());
            QCOMPARE(list.linkName(p), QString::number(found->second));
            if (p > 1) {
                const int order = QString::compare(list.url(p - 1), list.url(p), Qt::CaseInsensitive);
                QVERIFY(order < 0 || (order == 0 && list.url(p - 1) < list.url(p)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestListCommands)
#include "tst_listcommands.moc"
