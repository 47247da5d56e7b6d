#include "WindowRig.h"

#include "shell/BrowserTab.h"
#include "shell/ListTab.h"

#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;

namespace {

QStringList rowUrls(const UrlList &list)
{
    QStringList out;
    for (int i = 1; i <= list.count(); ++i)
        out.append(list.url(i));
    return out;
}

QStringList rowNames(const UrlList &list)
{
    QStringList out;
    for (int i = 1; i <= list.count(); ++i)
        out.append(list.linkName(i));
    return out;
}

void select(QTableView *view, const QList<int> &positions)
{
    view->clearSelection();
    for (int position : positions)
        view->selectionModel()->select(view->model()->index(position - 1, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

} // namespace

class TestListTab : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void listViewLayout()
    {
        WindowRig rig;
        auto *view = rig.find<QTableView>(u"ListView1"_s);
        QVERIFY(view);
        QCOMPARE(view->model(), &rig.list);
        const int widths[] = {133, 333, 133, 133, 167};
        for (int c = 0; c < 5; ++c)
            QCOMPARE(view->columnWidth(c), widths[c]);
        QCOMPARE(view->toolTip(), u"双击打开网址"_s);
        QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(view->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(view->contextMenuPolicy(), Qt::CustomContextMenu);
    }

    void deleteSelected_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QStringList>("left");
        QTest::addColumn<bool>("message");
        QTest::newRow("A, C, D selected of A B C D: B left")
            << QStringList{u"A"_s, u"B"_s, u"C"_s, u"D"_s} << QList<int>{1, 3, 4} << QStringList{u"B"_s} << true;
        QTest::newRow("none selected: nothing removed, message all the same")
            << QStringList{u"A"_s, u"B"_s} << QList<int>{} << QStringList{u"A"_s, u"B"_s} << true;
        QTest::newRow("all selected: list empty") << QStringList{u"A"_s, u"B"_s} << QList<int>{1, 2} << QStringList{}
                                                  << true;
        QTest::newRow("empty list: no message") << QStringList{} << QList<int>{} << QStringList{} << false;
    }

    void deleteSelected()
    {
        QFETCH(QStringList, rows);
        QFETCH(QList<int>, selected);
        QFETCH(QStringList, left);
        QFETCH(bool, message);
        WindowRig rig;
        for (const QString &row : rows)
            rig.list.append(row, u"http://h/"_s + row);
        select(rig.find<QTableView>(u"ListView1"_s), selected);
        int maximumSeen = 0;
        auto *bar = rig.find<QProgressBar>(u"ProgressBar1"_s);
        rig.dialogs.onMessage = [&](const FakeDialogs::Message &) { maximumSeen = bar->maximum(); };

        rig.action(u"menu删除"_s)->trigger();

        QCOMPARE(rowNames(rig.list), left);
        QCOMPARE(rig.dialogs.messageTexts(), message ? QStringList{u"所有选中项删除完毕！"_s} : QStringList{});
        if (message) {
            QCOMPARE(rig.dialogs.messages.constFirst().icon, Dialogs::Icon::Information);
            QCOMPARE(maximumSeen, rows.size());
        }
        QCOMPARE(bar->value(), 0);
    }

    void deleteDuplicates_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QStringList>("leftNames");
        QTest::addColumn<QStringList>("leftAddresses");
        const QString x = u"http://h/x"_s, y = u"http://h/y"_s;
        QTest::newRow("x y x: the first x survives, sorted by address")
            << QStringList{u"a"_s, u"b"_s, u"c"_s} << QStringList{x, y, x} << QStringList{u"a"_s, u"b"_s}
            << QStringList{x, y};
        QTest::newRow("y x y: duplicate in the last position removed")
            << QStringList{u"a"_s, u"b"_s, u"c"_s} << QStringList{y, x, y} << QStringList{u"b"_s, u"a"_s}
            << QStringList{x, y};
        QTest::newRow("case, trailing blank and slash make different addresses")
            << QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s}
            << QStringList{u"http://h/X"_s, x, x + u" "_s, x + u"/"_s} << QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s}
            << QStringList{u"http://h/X"_s, x, x + u" "_s, x + u"/"_s};
        // Exactly equal addresses that a case-insensitive sort would not put side by side.
        QTest::newRow("equal addresses apart after the sort are still removed")
            << QStringList{u"a"_s, u"b"_s, u"c"_s} << QStringList{u"http://h/a"_s, u"http://h/A"_s, u"http://h/a"_s}
            << QStringList{u"b"_s, u"a"_s} << QStringList{u"http://h/A"_s, u"http://h/a"_s};
    }

    void deleteDuplicates()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, addresses);
        QFETCH(QStringList, leftNames);
        QFETCH(QStringList, leftAddresses);
        WindowRig rig;
        for (int i = 0; i < names.size(); ++i)
            rig.list.append(names[i], addresses[i]);

        rig.action(u"menu删除重复网址"_s)->trigger();

        QCOMPARE(rowUrls(rig.list), leftAddresses);
        QCOMPARE(rowNames(rig.list), leftNames);
        QCOMPARE(rig.dialogs.messageTexts(), QStringList{u"删除重复链接完毕！"_s});
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
    }

    void deleteDuplicatesOnEmptyListSaysNothing()
    {
        WindowRig rig;
        rig.action(u"menu删除重复网址"_s)->trigger();
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    void clearList_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("answerYes");
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("questions");
        QTest::newRow("No keeps the rows") << 2 << false << 2 << 1;
        QTest::newRow("Yes clears") << 2 << true << 0 << 1;
        QTest::newRow("empty list asks nothing") << 0 << true << 0 << 0;
    }

    void clearList()
    {
        QFETCH(int, rows);
        QFETCH(bool, answerYes);
        QFETCH(int, left);
        QFETCH(int, questions);
        WindowRig rig;
        for (int i = 1; i <= rows; ++i)
            rig.list.append(u"n%1"_s.arg(i), u"http://h/%1"_s.arg(i));
        rig.dialogs.yesNoAnswers.enqueue(answerYes);
        rig.action(u"menu清空列表"_s)->trigger();
        QCOMPARE(rig.list.count(), left);
        QCOMPARE(rig.dialogs.questions.size(), questions);
        if (questions)
            QCOMPARE(rig.dialogs.questions.constFirst(), u"确实要清空图片链接表吗?"_s);
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    void exportWritesExactBytes()
    {
        WindowRig rig;
        rig.list.append(u" 第一 "_s, u"http://h/a?x=1->2"_s);
        rig.list.append(u"b"_s, u"https://h/b"_s);
        rig.list.setStatus(2, u"下载完成 [10:00:00]"_s);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"list.txt"_s);
        rig.dialogs.saveFileAnswers.enqueue(path);

        rig.action(u"menu导出到文件"_s)->trigger();

        QCOMPARE(rig.dialogs.saveRequests.size(), 1);
        QCOMPARE(rig.dialogs.saveRequests.constFirst().filter, u"*.TXT (*.TXT)"_s);
        QCOMPARE(rig.dialogs.saveRequests.constFirst().defaultSuffix, u"txt"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), u" 第一 ->http://h/a?x=1->2\r\nb->https://h/b\r\n"_s.toUtf8());
        QCOMPARE(rig.dialogs.messageTexts(), QStringList{u"网址列表已经导出到文件："_s + path});
        QCOMPARE(rig.dialogs.messages.constFirst().icon, Dialogs::Icon::Information);
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
    }

    void exportThatCannotWriteSaysNothing_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::newRow("folder missing") << u"missing/list.txt"_s;
        QTest::newRow("a file stands where the folder should be") << u"plain.txt/list.txt"_s;
    }

    void exportThatCannotWriteSaysNothing()
    {
        QFETCH(QString, relative);
        WindowRig rig;
        rig.list.append(u"a"_s, u"http://h/a"_s);
        QTemporaryDir dir;
        QFile plain(dir.filePath(u"plain.txt"_s));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        rig.dialogs.saveFileAnswers.enqueue(dir.filePath(relative));

        rig.action(u"menu导出到文件"_s)->trigger();

        QVERIFY(rig.dialogs.messages.isEmpty());
        QVERIFY(!QFile::exists(dir.filePath(relative)));
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
    }

    void exportOfEmptyListAsksNothing()
    {
        WindowRig rig;
        rig.action(u"menu导出到文件"_s)->trigger();
        QVERIFY(rig.dialogs.saveRequests.isEmpty());
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    void exportCancelled()
    {
        WindowRig rig;
        rig.list.append(u"a"_s, u"http://h/a"_s);
        rig.action(u"menu导出到文件"_s)->trigger();
        QCOMPARE(rig.dialogs.saveRequests.size(), 1);
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    // The import reads the separator box as it stands, even before the box lost the focus.
    void importUsesTheSeparatorBoxAndTheChosenFile_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("button") << u"Command1"_s;
        QTest::newRow("menu") << u"menu导入文件"_s;
    }

    void importUsesTheSeparatorBoxAndTheChosenFile()
    {
        QFETCH(QString, command);
        WindowRig rig;
        rig.list.append(u"old"_s, u"http://h/old"_s);
        rig.find<QTabWidget>(u"SSTab1"_s)->setCurrentIndex(2);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"in.txt"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(u" 甲 | http://h/1 \r\nno separator\r\n乙|ftp://h/2\r\n丙|HTTP://h/3|x\r\n"_s.toUtf8());
        file.close();
        rig.find<QLineEdit>(u"Text1"_s)->setText(u"|"_s);
        rig.dialogs.openFileAnswers.enqueue(path);

        if (auto *button = rig.find<QPushButton>(command))
            button->click();
        else
            rig.action(command)->trigger();

        QCOMPARE(rig.find<QTabWidget>(u"SSTab1"_s)->currentIndex(), 1);
        QCOMPARE(rig.dialogs.openFileFilters, QStringList{u"*.txt (*.txt);;*.* (*)"_s});
        QCOMPARE(rowNames(rig.list), (QStringList{u"old"_s, u"甲"_s, u"丙"_s}));
        QCOMPARE(rowUrls(rig.list), (QStringList{u"http://h/old"_s, u"http://h/1"_s, u"HTTP://h/3|x"_s}));
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    // A long import lets the window and the timers go on: the progress reports turn the loop.
    void longImportKeepsTheWindowResponsive()
    {
        WindowRig rig;
        QTemporaryDir dir;
        const QString path = dir.filePath(u"big.txt"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const int lines = 200000;
        QByteArray text;
        for (int i = 1; i <= lines; ++i)
            text += "name" + QByteArray::number(i) + "->http://h/" + QByteArray::number(i) + "\r\n";
        file.write(text);
        file.close();
        rig.dialogs.openFileAnswers.enqueue(path);
        int turns = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, &ticker, [&turns] { ++turns; });
        ticker.start(0);
        int maximumSeen = 0;
        auto *bar = rig.find<QProgressBar>(u"ProgressBar1"_s);
        connect(bar, &QProgressBar::valueChanged, bar, [&] { maximumSeen = std::max(maximumSeen, bar->maximum()); });

        rig.window->listTab()->importTextFile();

        QCOMPARE(rig.list.count(), lines);
        QVERIFY2(turns > 20, qPrintable(QString::number(turns)));
        QCOMPARE(maximumSeen, lines + 1);
        QCOMPARE(bar->value(), 0);
    }

    void importCancelledAddsNothing()
    {
        WindowRig rig;
        rig.action(u"menu导入文件"_s)->trigger();
        QCOMPARE(rig.dialogs.openFileFilters.size(), 1);
        QCOMPARE(rig.list.count(), 0);
    }

    void rowCommands_data()
    {
        QTest::addColumn<bool>("withRows");
        QTest::newRow("current row 2") << true;
        QTest::newRow("empty list: nothing") << false;
    }

    void rowCommands()
    {
        QFETCH(bool, withRows);
        WindowRig rig;
        if (withRows)
            rig.addRows({u"http://h/1"_s, u"http://h/2"_s, u"http://h/3"_s});
        auto *view = rig.find<QTableView>(u"ListView1"_s);
        if (withRows)
            view->setCurrentIndex(rig.list.index(1, 0));
        rig.dialogs.clipboard = u"picture"_s;

        rig.action(u"menu打开链接"_s)->trigger();
        rig.action(u"menu复制网址"_s)->trigger();

        QCOMPARE(rig.dialogs.openedAddresses, withRows ? QStringList{u"http://h/2"_s} : QStringList{});
        QCOMPARE(rig.dialogs.clipboard, withRows ? u"http://h/2"_s : u"picture"_s);
    }

    void doubleClickShowsTheRowInTheBrowserTab()
    {
        WindowRig rig;
        rig.addRows({u"http://h/1"_s, u"http://h/2"_s});
        rig.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        auto *view = rig.find<QTableView>(u"ListView1"_s);
        const QRect cell = view->visualRect(rig.list.index(1, 1));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(rig.find<QTabWidget>(u"SSTab1"_s)->currentIndex(), 0);
        QCOMPARE(rig.window->browserTab()->address(), u"http://h/2"_s);
    }
};

QTEST_MAIN(TestListTab)
#include "tst_listtab.moc"
