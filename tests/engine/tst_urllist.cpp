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
        rows.emplace_back(QString::number(i), u"http://h/"_s + QString::number(i));
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
        list.markAllReady();
        list.startRow(2, 3);
        list.setProgress(2, UrlRow::ProgressKind::Bytes, 5, 10);
        list.endRow(2, RowState::Failed, QTime(1, 2, 3), u"why"_s);
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

    // The texts of every state, made in one place; a new run clears what the last one left.
    void statesAndTheirTexts_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QStringList>("texts"); // status, progress, remark, tooltip
        QTest::newRow("idle") << int(RowState::Idle) << QStringList{u""_s, u""_s, u""_s, u""_s};
        QTest::newRow("ready") << int(RowState::Ready) << QStringList{u"准备下载"_s, u""_s, u""_s, u""_s};
        QTest::newRow("downloading") << int(RowState::Downloading)
                                     << QStringList{u"线程7正在下载..."_s, u"50.0%  2.0KB"_s, u""_s, u""_s};
        QTest::newRow("saved") << int(RowState::Saved)
                               << QStringList{u"下载完成 [01:02:03]"_s, u"50.0%  2.0KB"_s, u""_s, u""_s};
        QTest::newRow("failed") << int(RowState::Failed)
                                << QStringList{u"下载完成 [01:02:03]"_s, u"50.0%  2.0KB"_s, u"下载出错！ [01:02:03]"_s,
                                               u"why"_s};
        QTest::newRow("skipped") << int(RowState::Skipped)
                                 << QStringList{u"跳过 [01:02:03]"_s, u"50.0%  2.0KB"_s, u""_s, u""_s};
        QTest::newRow("page failed") << int(RowState::PageFailed)
                                     << QStringList{u"下载完成 "_s, u"50.0%  2.0KB"_s, u"下载出错！ [01:02:03]"_s, u"why"_s};
    }

    void statesAndTheirTexts()
    {
        QFETCH(int, state);
        QFETCH(QStringList, texts);
        UrlList list;
        list.append(u"一"_s, u"http://a/中"_s);
        const auto rowState = RowState(state);
        if (rowState != RowState::Idle)
            list.markAllReady();
        if (rowState != RowState::Idle && rowState != RowState::Ready) {
            list.startRow(1, 7);
            list.setProgress(1, UrlRow::ProgressKind::Bytes, 1000, 2000);
        }
        if (rowState > RowState::Downloading) {
            const bool failed = rowState == RowState::Failed || rowState == RowState::PageFailed;
            list.endRow(1, rowState, QTime(1, 2, 3), failed ? u"why"_s : QString());
        }
        const auto cell = [&list](int column, int role) { return list.index(0, column).data(role).toString(); };
        QCOMPARE((QStringList{cell(UrlList::StatusColumn, Qt::DisplayRole), cell(UrlList::ProgressColumn, Qt::DisplayRole),
                              cell(UrlList::RemarkColumn, Qt::DisplayRole), cell(UrlList::RemarkColumn, Qt::ToolTipRole)}),
                 texts);
        QCOMPARE(list.linkName(1) + list.url(1), u"一http://a/中"_s);
        list.markAllReady();
        QCOMPARE(list.statusText(1) + list.progressText(1) + list.remarkText(1) + list.failureReason(1), u"准备下载"_s);
    }

    void writesToMissingPositionsAreDropped()
    {
        UrlList list;
        appendNumbered(list, 6);
        list.removeAt(2);
        list.startRow(5, 1); // position 5 is now the former row 6
        QCOMPARE(list.linkName(5) + list.statusText(5), u"6线程1正在下载..."_s);
        list.startRow(6, 1);
        list.setProgress(0, UrlRow::ProgressKind::Page, 1, 2);
        list.endRow(-3, RowState::Saved, QTime());
        QCOMPARE(list.count(), 5);

        UrlList empty;
        QSignalSpy changed(&empty, &QAbstractItemModel::dataChanged);
        empty.markAllReady();
        QCOMPARE(changed.count(), 0);
    }

    void firstReadyFollowsTakesRemovalsAndRewrites()
    {
        UrlList list;
        appendNumbered(list, 5);
        list.markAllReady();
        for (int p = 1; p <= 3; ++p)
            list.startRow(p, p);
        QCOMPARE(list.firstReady(), 4);
        list.removePositions({1, 2});
        QCOMPARE(list.firstReady(), 2);
        list.reorder({2, 1, 0});
        QCOMPARE(list.firstReady(), 1);
        QCOMPARE(list.linkName(1), u"5"_s);
    }

    // Lists over 32767 rows work, and finding the next ready row does not rescan the list.
    void takingEveryRowOfALongListIsLinear()
    {
        const int n = 100000;
        UrlList list;
        list.appendRows(std::vector<UrlRow>(static_cast<std::size_t>(n), UrlRow(u"n"_s, u"http://h"_s)));
        list.markAllReady();
        const quint64 before = list.readyScanSteps();
        for (int expected = 1; expected <= n; ++expected) {
            const int m = list.firstReady();
            QCOMPARE(m, expected);
            list.startRow(m, 1);
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
