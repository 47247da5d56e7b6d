#include "engine/RowTexts.h"
#include "engine/UrlList.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

void appendNumbered(UrlList &list, int count)
{
    std::vector<UrlRow> rows;
    for (int i = 1; i <= count; ++i)
        rows.push_back({QString::number(i), u"http://h/"_s + QString::number(i), {}, {}, {}});
    list.appendRows(rows);
}

} // namespace

class TestUrlList : public QObject
{
    Q_OBJECT

private slots:
    void modelPassesTester()
    {
        UrlList list;
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        list.append(u"a"_s, u"http://h/a"_s);
        appendNumbered(list, 2);
        list.置LV准备下载();
        list.setStatus(2, RowTexts::downloading(3));
        list.removePositions({1, 3});
        list.reorder({1, 0});
        list.clear();
        QCOMPARE(list.count(), 0);
    }

    void headersAndCount()
    {
        UrlList list;
        const QStringList expected{u"链接名称"_s, u"网址"_s, u"下载状态"_s, u"下载进度"_s, u"备注"_s};
        for (int c = 0; c < expected.size(); ++c)
            QCOMPARE(list.headerData(c, Qt::Horizontal).toString(), expected[c]);
        QCOMPARE(list.linkCountText(), u"链接数：0"_s);
        list.append(u"x"_s, u"http://x"_s);
        QCOMPARE(list.linkCountText(), u"链接数：1"_s);
    }

    void resetMarksEveryRowReadyAndKeepsNamesAndAddresses()
    {
        UrlList list;
        list.appendRows({{u"一"_s, u"http://a"_s, RowTexts::finished(QTime(1, 2, 3)), u"50.0%  "_s, u"r"_s, u"why"_s},
                         {u"二"_s, u"http://b"_s, {}, {}, {}}});
        list.置LV准备下载();
        for (int p = 1; p <= 2; ++p)
            QVERIFY(list.status(p) == u"准备下载"_s && list.progress(p).isEmpty() && list.remark(p).isEmpty()
                    && list.failureReason(p).isEmpty());
        QCOMPARE(list.linkName(1) + list.url(1), u"一http://a"_s);

        UrlList empty;
        QSignalSpy changed(&empty, &QAbstractItemModel::dataChanged);
        empty.置LV准备下载();
        QCOMPARE(changed.count(), 0);
    }

    void writesToMissingPositionsAreDropped()
    {
        UrlList list;
        appendNumbered(list, 6);
        list.removeAt(2);
        list.setStatus(5, u"done"_s); // position 5 is now the former row 6
        QCOMPARE(list.linkName(5) + list.status(5), u"6done"_s);
        list.setStatus(6, u"lost"_s);
        list.setProgress(0, u"lost"_s);
        list.setRemark(-3, u"lost"_s);
        QCOMPARE(list.count(), 5);
    }

    void firstReady_data()
    {
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<int>("expected");
        const QString ready = RowTexts::ready();
        QTest::newRow("no ready row") << QStringList{u""_s, u"x"_s} << 0;
        QTest::newRow("trailing blank is not ready") << QStringList{ready + u" "_s, ready} << 2;
        QTest::newRow("first of several") << QStringList{u"a"_s, ready, ready} << 2;
    }

    void firstReady()
    {
        QFETCH(QStringList, statuses);
        QFETCH(int, expected);
        UrlList list;
        std::vector<UrlRow> rows;
        for (const QString &s : statuses)
            rows.push_back({u"n"_s, u"http://u"_s, s, {}, {}});
        list.appendRows(rows);
        QCOMPARE(list.firstReady(), expected);
    }

    void firstReadyFollowsTakesRemovalsAndRewrites()
    {
        UrlList list;
        appendNumbered(list, 5);
        list.置LV准备下载();
        for (int p = 1; p <= 3; ++p)
            list.setStatus(p, RowTexts::downloading(p));
        QCOMPARE(list.firstReady(), 4);
        list.removePositions({1, 2});
        QCOMPARE(list.firstReady(), 2);
        list.setStatus(1, RowTexts::ready());
        QCOMPARE(list.firstReady(), 1);
        list.reorder({2, 1, 0});
        QCOMPARE(list.firstReady(), 1);
        QCOMPARE(list.linkName(1), u"5"_s);
    }

    // Lists over 32767 rows work, and finding the next ready row does not rescan the list.
    void takingEveryRowOfALongListIsLinear()
    {
        const int n = 100000;
        UrlList list;
        list.appendRows(std::vector<UrlRow>(static_cast<std::size_t>(n), UrlRow{u"n"_s, u"http://h"_s, {}, {}, {}}));
        list.置LV准备下载();
        const quint64 before = list.readyScanSteps();
        for (int expected = 1; expected <= n; ++expected) {
            const int m = list.firstReady();
            QCOMPARE(m, expected);
            list.setStatus(m, RowTexts::downloading(1));
        }
        QCOMPARE(list.firstReady(), 0);
        QVERIFY2(list.readyScanSteps() - before <= 3 * static_cast<quint64>(n), "quadratic rescans");
        QCOMPARE(list.linkCountText(), u"链接数：100000"_s);
    }

    void removePositionsInBlocks()
    {
        UrlList list;
        appendNumbered(list, 7);
        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        list.removePositions({7, 1, 3, 2, 3, 99, 0});
        QCOMPARE(removed.count(), 2); // blocks 1-3 and 7
        QCOMPARE(list.count(), 3);
        QCOMPARE(list.linkName(1), u"4"_s);
        QCOMPARE(list.linkName(3), u"6"_s);

        UrlList big;
        QAbstractItemModelTester tester(&big, QAbstractItemModelTester::FailureReportingMode::QtTest);
        appendNumbered(big, 100000);
        std::vector<int> odd;
        for (int p = 1; p <= 100000; p += 2)
            odd.push_back(p);
        big.removePositions(odd);
        QCOMPARE(big.count(), 50000);
        QCOMPARE(big.linkName(1), u"2"_s);
        QCOMPARE(big.linkName(50000), u"100000"_s);
    }
};

QTEST_GUILESS_MAIN(TestUrlList)
#include "tst_urllist.moc"
