#include "engine/UrlList.h"
#include "support/TestFiles.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

// Rows "1".."count" with addresses http://h/1.., appended at once.
static void appendNumbered(UrlList &list, int count)
{
    std::vector<UrlRow> rows;
    for (int i = 1; i <= count; ++i)
        rows.emplace_back(QString::number(i), u"http://h/"_s + QString::number(i));
    list.appendRows(rows);
}

class TestUrlList : public QObject
{
    Q_OBJECT

private slots:
    // Positions to remove come in any order, repeated or missing; a few blocks go with one signal each,
    // many at once. Rows may go while a slot holds a position: a write where no row stands is dropped.
    // The ready hint follows a removal and a new order.
    void changesPassTheModelTester()
    {
        UrlList list;
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        list.markAllReady();
        appendNumbered(list, 8);
        list.markAllReady();
        for (int p = 1; p <= 5; ++p)
            list.startRow(p, 1);
        QCOMPARE(list.firstReady(), 6);
        list.removePositions({8, 1, 3, 2, 3, 99, 0});
        QCOMPARE(list.firstReady(), 3);
        list.startRow(4, 2);
        list.startRow(5, 2);
        list.setProgress(0, UrlRow::ProgressKind::Page, 1, 2);
        list.endRow(-3, RowState::Saved, QTime());
        QCOMPARE(list.linkName(4) + list.statusText(4), u"7线程2正在下载..."_s);
        list.reorder({2, 0, 1, 3});
        QCOMPARE(list.firstReady(), 1);
        appendNumbered(list, 200);
        std::vector<int> odd;
        for (int p = 1; p <= list.count(); p += 2)
            odd.push_back(p);
        list.removePositions(odd);
        QCOMPARE(TestFiles::rows(list).first(3), (QStringList{u"4=http://h/4"_s, u"7=http://h/7"_s, u"2=http://h/2"_s}));
        QCOMPARE(removed.count(), 2); // blocks 1-3 and 8; the 102 blocks of odd positions go at once
        list.clear();
    }

    void statesAndTheirTexts_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QStringList>("texts"); // status, progress, remark, the remark's tooltip
        const QString progress = u"50.0%  2.0KB"_s, ended = u"下载完成 [01:02:03]"_s, failed = u"下载出错！ [01:02:03]"_s;
        QTest::newRow("idle") << int(RowState::Idle) << QStringList(4);
        QTest::newRow("ready") << int(RowState::Ready) << QStringList{u"准备下载"_s, {}, {}, {}};
        QTest::newRow("downloading") << int(RowState::Downloading) << QStringList{u"线程7正在下载..."_s, progress, {}, {}};
        QTest::newRow("saved") << int(RowState::Saved) << QStringList{ended, progress, {}, {}};
        QTest::newRow("failed") << int(RowState::Failed) << QStringList{ended, progress, failed, u"why"_s};
        QTest::newRow("skipped") << int(RowState::Skipped) << QStringList{u"跳过 [01:02:03]"_s, progress, {}, {}};
        QTest::newRow("page failed") << int(RowState::PageFailed) << QStringList{u"下载完成 "_s, progress, failed, u"why"_s};
    }
    // A new run clears what the last one left.
    void statesAndTheirTexts()
    {
        QFETCH(int, state);
        QFETCH(QStringList, texts);
        UrlList list;
        list.append(u"a"_s, u"http://h/a"_s);
        if (RowState(state) != RowState::Idle)
            list.markAllReady();
        if (RowState(state) > RowState::Ready) {
            list.startRow(1, 7);
            list.setProgress(1, UrlRow::ProgressKind::Bytes, 1000, 2000);
        }
        if (RowState(state) > RowState::Downloading)
            list.endRow(1, RowState(state), QTime(1, 2, 3), texts[3]);
        const auto cell = [&list](int column, int role = Qt::DisplayRole) { return list.index(0, column).data(role).toString(); };
        QCOMPARE((QStringList{cell(UrlList::StatusColumn), cell(UrlList::ProgressColumn), cell(UrlList::RemarkColumn),
                              cell(UrlList::RemarkColumn, Qt::ToolTipRole)}), texts);
        list.markAllReady();
        QCOMPARE(list.statusText(1) + list.progressText(1) + list.remarkText(1) + list.failureReason(1), u"准备下载"_s);
    }

    // Lists over 32767 rows work; taking every row one after the other looks at each about once.
    void takingEveryRowOfALongListIsLinear()
    {
        const int n = 100000;
        UrlList list;
        appendNumbered(list, n);
        list.markAllReady();
        for (int expected = 1; expected <= n; ++expected) {
            QCOMPARE(list.firstReady(), expected);
            list.startRow(expected, 1);
        }
        QCOMPARE(list.firstReady(), 0);
        QVERIFY2(list.readyScanSteps() <= 3 * static_cast<quint64>(n), "quadratic rescans");
    }
};

QTEST_GUILESS_MAIN(TestUrlList)
#include "tst_urllist.moc"
