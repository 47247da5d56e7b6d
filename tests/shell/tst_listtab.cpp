#include "WindowRig.h"

#include "shell/BrowserTab.h"
#include "shell/ListTab.h"

#include <QFile>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;

namespace {

// Each row as "name|address".
QStringList entries(const UrlList &list)
{
    QStringList out;
    for (int i = 1; i <= list.count(); ++i)
        out.append(list.linkName(i) + u'|' + list.url(i));
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
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
        QCOMPARE(view->model(), &rig.list);
        const int widths[] = {133, 333, 133, 133, 167};
        for (int c = 0; c < 5; ++c)
            QCOMPARE(view->columnWidth(c), widths[c]);
        QCOMPARE(view->toolTip(), u"双击打开网址"_s);
        QCOMPARE(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    }

    void deleteSelected_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QStringList>("left");
        QTest::addColumn<bool>("message");
        QTest::newRow("A, C, D selected of A B C D: B left")
            << QStringList{u"A"_s, u"B"_s, u"C"_s, u"D"_s} << QList<int>{1, 3, 4} << QStringList{u"B|http://h/B"_s}
            << true;
        QTest::newRow("none selected: nothing removed, message all the same")
            << QStringList{u"A"_s} << QList<int>{} << QStringList{u"A|http://h/A"_s} << true;
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
        auto *view = rig.find<QTableView>(u"ListView1"_s);
        for (int position : selected)
            view->selectionModel()->select(rig.list.index(position - 1, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        int maximumSeen = 0;
        auto *bar = rig.find<QProgressBar>(u"ProgressBar1"_s);
        rig.dialogs.onMessage = [&](const FakeDialogs::Message &) { maximumSeen = bar->maximum(); };

        rig.action(u"menu删除"_s)->trigger();

        QCOMPARE(entries(rig.list), left);
        QCOMPARE(rig.dialogs.messageTexts(), message ? QStringList{u"所有选中项删除完毕！"_s} : QStringList{});
        if (message) {
            QCOMPARE(rig.dialogs.messages.constFirst().icon, Dialogs::Icon::Information);
            QCOMPARE(maximumSeen, rows.size());
        }
        QCOMPARE(bar->value(), 0);
    }

    void deleteDuplicates()
    {
        WindowRig rig;
        rig.action(u"menu删除重复网址"_s)->trigger();
        QVERIFY(rig.dialogs.messages.isEmpty()); // empty list: nothing said

        rig.list.append(u"a"_s, u"http://h/y"_s);
        rig.list.append(u"b"_s, u"http://h/x"_s);
        rig.list.append(u"c"_s, u"http://h/y"_s);
        rig.action(u"menu删除重复网址"_s)->trigger();
        QCOMPARE(entries(rig.list), (QStringList{u"b|http://h/x"_s, u"a|http://h/y"_s}));
        QCOMPARE(rig.dialogs.messageTexts(), QStringList{u"删除重复链接完毕！"_s});
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
    }

    void clearList_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("answerYes");
        QTest::addColumn<int>("left");
        QTest::newRow("No keeps the rows") << 2 << false << 2;
        QTest::newRow("Yes clears") << 2 << true << 0;
        QTest::newRow("empty list asks nothing") << 0 << true << 0;
    }

    void clearList()
    {
        QFETCH(int, rows);
        QFETCH(bool, answerYes);
        QFETCH(int, left);
        WindowRig rig;
        for (int i = 1; i <= rows; ++i)
            rig.list.append(u"n%1"_s.arg(i), u"http://h/%1"_s.arg(i));
        rig.dialogs.yesNoAnswers.enqueue(answerYes);
        rig.action(u"menu清空列表"_s)->trigger();
        QCOMPARE(rig.list.count(), left);
        QCOMPARE(rig.dialogs.questions, rows ? QStringList{u"确实要清空图片链接表吗?"_s} : QStringList{});
        QVERIFY(rig.dialogs.messages.isEmpty());
    }

    void exportWritesExactBytes()
    {
        WindowRig rig;
        rig.list.append(u" 第一 "_s, u"http://h/a?x=1->2"_s);
        rig.list.append(u"b"_s, u"https://h/b"_s);
        rig.list.markAllReady(); // states are not exported
        QTemporaryDir dir;
        const QString path = dir.filePath(u"list.txt"_s);
        rig.dialogs.saveFileAnswers.enqueue(path);

        rig.action(u"menu导出到文件"_s)->trigger();

        QCOMPARE(rig.dialogs.saveRequests.constFirst().filter, u"*.TXT (*.TXT)"_s);
        QCOMPARE(rig.dialogs.saveRequests.constFirst().defaultSuffix, u"txt"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), u" 第一 ->http://h/a?x=1->2\r\nb->https://h/b\r\n"_s.toUtf8());
        QCOMPARE(rig.dialogs.messageTexts(), QStringList{u"网址列表已经导出到文件："_s + path});
        QCOMPARE(rig.dialogs.messages.constFirst().icon, Dialogs::Icon::Information);
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
    }

    void exportSaysNothingWhenCancelledEmptyOrUnwritable()
    {
        WindowRig rig;
        rig.action(u"menu导出到文件"_s)->trigger();
        QVERIFY(rig.dialogs.saveRequests.isEmpty()); // empty list: not even asked

        rig.list.append(u"a"_s, u"http://h/a"_s);
        rig.action(u"menu导出到文件"_s)->trigger(); // cancelled
        QTemporaryDir dir;
        rig.dialogs.saveFileAnswers.enqueue(dir.filePath(u"missing/list.txt"_s));
        rig.action(u"menu导出到文件"_s)->trigger();

        QCOMPARE(rig.dialogs.saveRequests.size(), 2);
        QVERIFY(rig.dialogs.messages.isEmpty());
        QVERIFY(!QFile::exists(dir.filePath(u"missing/list.txt"_s)));
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
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
        QVERIFY(writeFile(path, u" 甲 | http://h/1 \r\nno separator\r\n乙|ftp://h/2\r\n丙|HTTP://h/3|x\r\n"_s.toUtf8()));
        rig.find<QLineEdit>(u"Text1"_s)->setText(u"|"_s);
        rig.dialogs.openFileAnswers.enqueue(path);

        if (auto *button = rig.find<QPushButton>(command))
            button->click();
        else
            rig.action(command)->trigger();

        QCOMPARE(rig.find<QTabWidget>(u"SSTab1"_s)->currentIndex(), 1);
        QCOMPARE(rig.dialogs.openFileFilters, QStringList{u"*.txt (*.txt);;*.* (*)"_s});
        QCOMPARE(entries(rig.list), (QStringList{u"old|http://h/old"_s, u"甲|http://h/1"_s, u"丙|HTTP://h/3|x"_s}));
        QCOMPARE(rig.find<QProgressBar>(u"ProgressBar1"_s)->value(), 0);
        QVERIFY(rig.dialogs.messages.isEmpty());
        QCOMPARE(rig.find<QLabel>(u"Panel1"_s)->text(), u"已忽略 2 行：不是“名称|网址”格式"_s);
    }

    // The progress reports turn the event loop, so the window and timers go on during a long import.
    void longImportKeepsTheWindowResponsive()
    {
        WindowRig rig;
        QTemporaryDir dir;
        const QString path = dir.filePath(u"big.txt"_s);
        const int lines = 200000;
        QByteArray text;
        for (int i = 1; i <= lines; ++i)
            text += "name" + QByteArray::number(i) + "->http://h/" + QByteArray::number(i) + "\r\n";
        QVERIFY(writeFile(path, text));
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

    void rowCommands()
    {
        WindowRig rig;
        rig.dialogs.clipboard = u"picture"_s;
        rig.action(u"menu打开链接"_s)->trigger();
        rig.action(u"menu复制网址"_s)->trigger();
        QVERIFY(rig.dialogs.openedAddresses.isEmpty()); // empty list: nothing
        QCOMPARE(rig.dialogs.clipboard, u"picture"_s);

        rig.addRows({u"http://h/1"_s, u"http://h/2"_s, u"http://h/3"_s});
        rig.find<QTableView>(u"ListView1"_s)->setCurrentIndex(rig.list.index(1, 0));
        rig.action(u"menu打开链接"_s)->trigger();
        rig.action(u"menu复制网址"_s)->trigger();
        QCOMPARE(rig.dialogs.openedAddresses, QStringList{u"http://h/2"_s});
        QCOMPARE(rig.dialogs.clipboard, u"http://h/2"_s);
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
