#include "platform/Codec.h"
#include "support/FakeBrowser.h"
#include "support/FakeDialogs.h"
#include "support/TestFiles.h"
#include "urllist/DroppedRows.h"
#include "urllist/HarvestCommands.h"
#include "urllist/HarvestFilter.h"
#include "urllist/ListCommands.h"
#include "urllist/ListFile.h"

#include <QAbstractItemModelTester>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;
using Calls = QList<QPair<qint64, qint64>>;

// The separator, the file's bytes, the rows it adds and its dropped lines as droppedReport() gives them.
struct ImportCase { QString separator; QByteArray bytes; QStringList rows; QString dropped; };
// The list's rows as "name=address", the positions selected (none: delete duplicates), the rows left.
struct DeleteCase { QStringList rows; QList<int> selected; QStringList left; };
// The command, the address answered ("%1" is a folder holding page.htm), how the page asked for loads,
// the address offered, and the harvest: -1 none, 0 the earlier page's, which has no links, 1 the page's.
struct CommandCase { QString command, address, load, offered; int harvest; };
// The page's link addresses, the list's, the extensions unticked, the mask ("re:" a regular expression), same site only,
// the review's answer; the list's addresses after, and the extensions offered ("ext=count", none "") or the mask's message.
struct FilterCase { QStringList links, listed, unticked; QString mask; bool sameSite; HarvestReview answer; QStringList after; QString offered; };
Q_DECLARE_METATYPE(ImportCase)
Q_DECLARE_METATYPE(FilterCase)
Q_DECLARE_METATYPE(DeleteCase)
Q_DECLARE_METATYPE(CommandCase)

namespace {

ListProgress recorder(Calls &calls)
{
    return [&calls](qint64 value, qint64 maximum) { calls.append({value, maximum}); };
}

// The bar got to `end` and was reset at the end.
bool reachedEndAndReset(const Calls &calls, qint64 end, qint64 maximum)
{
    return calls.contains({end, maximum}) && calls.last() == qMakePair(qint64(0), maximum);
}

// "count: line fault, ..." for the dropped lines an import reports.
QString droppedReport(const ListImport &imported)
{
    QStringList lines;
    for (const DroppedLine &line : imported.firstDropped)
        lines << QString::number(line.lineNumber) + QStringList{u" separator"_s, u" name"_s, u" http"_s}.at(int(line.fault));
    return QString::number(imported.droppedLines) + u": "_s + lines.join(u", "_s);
}

// The harvest commands on a scripted browser and dialogs, recording the tabs shown and the bar.
struct Rig
{
    Rig() { commands->setPageWaitLimit(100); }

    FakeBrowser fake;
    UrlList list;
    FakeDialogs dialogs;
    QList<int> tabs;
    Calls progress;
    std::function<HarvestReview(HarvestFilter &)> review; // unset: every row as found
    std::unique_ptr<HarvestCommands> commands = std::make_unique<HarvestCommands>(
        fake, list, dialogs, HarvestHost{[this](int tab) { tabs.append(tab); }, recorder(progress),
                                         [this](HarvestFilter &f) { return review ? review(f) : HarvestReview::AddAsFound; }});
    QSignalSpy harvested{commands.get(), &HarvestCommands::harvested};
    QSignalSpy timedOut{commands.get(), &HarvestCommands::waitTimedOut};
};

} // namespace

// The list model, its files and commands, and the harvest commands.
class TestLists : public QObject
{
    Q_OBJECT

private slots:
    // Dropped "text", "html" or "urls" (split at blanks) give files "file:PATH", when there are any; else
    // rows "name=address": the links of markup named by their texts, else addresses, each line naming its own.
    void dropsAndPastes()
    {
        struct Drop { QString kind, content; QStringList items; };
        const QList<Drop> drops{
            {u"text"_s, u"第一章->http://h/1.html\r\n http://h/a/b%20c.zip http://h/\nnone\n见 HTTPS://h/p?q=1。"_s,
             {u"第一章=http://h/1.html"_s, u"b c=http://h/a/b%20c.zip"_s, u"h=http://h/"_s, u"见=HTTPS://h/p?q=1"_s}},
            {u"html"_s, u"<a href=\"http://h/1?a=1&amp;b=2\"><b>封面</b>\n图</a><a href=x.htm>x</a><A HREF='https://h/z.bin'> </A>"_s,
             {u"封面 图=http://h/1?a=1&b=2"_s, u"z=https://h/z.bin"_s}},
            {u"urls"_s, u"http://h/d/e.pdf"_s, {u"e=http://h/d/e.pdf"_s}},
            {u"urls"_s, u"file:///t/l.txt http://h/x file:///t/p.htm"_s, {u"file:/t/l.txt"_s, u"file:/t/p.htm"_s}},
            {u"text"_s, u"hello ftp://h/x"_s, {}}};
        for (const Drop &drop : drops) {
            QMimeData data;
            drop.kind == u"html"_s ? data.setHtml(drop.content)
                : drop.kind == u"urls"_s ? data.setUrls(QUrl::fromStringList(drop.content.split(u' '))) : data.setText(drop.content);
            const DroppedItems items = droppedItems(data);
            QStringList found = QStringList(items.files).replaceInStrings(QRegularExpression(u"^"_s), u"file:"_s);
            for (const UrlRow &row : items.rows)
                found << row.linkName() + u'=' + row.url();
            QCOMPARE(found, drop.items);
        }
    }

    // Positions to remove come in any order, repeated or missing; a few blocks go with one signal each,
    // many at once. Rows may go while a slot holds a position: a write where no row stands is dropped.
    // The ready hint follows a removal and a new order.
    void changesPassTheModelTester()
    {
        UrlList list;
        const auto appendNumbered = [&list](int count) { // rows "1".."count" with addresses http://h/1.., at once
            std::vector<UrlRow> rows;
            for (int i = 1; i <= count; ++i)
                rows.emplace_back(QString::number(i), u"http://h/"_s + QString::number(i));
            list.appendRows(rows);
        };
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        list.markAllReady();
        appendNumbered(8);
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
        appendNumbered(200);
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
        QTest::newRow("downloading") << int(RowState::Downloading) << QStringList{u"线程7正在下载..."_s, progress, {}, {}};
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
        if (RowState(state) > RowState::Ready) {
            list.markAllReady();
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

    void importRules_data()
    {
        QTest::addColumn<ImportCase>("c");
        const auto row = [](const char *name, const QByteArray &bytes, const QStringList &rows, const QString &dropped = u"0: "_s,
                            const QString &separator = u"->"_s) { QTest::newRow(name) << ImportCase{separator, bytes, rows, dropped}; };
        row("blanks trimmed, tabs kept; split before the first address, which stays as written",
            "   a b  ->   http://h/x y   \n\tn\t->http://h/t\na->b -> HTTP://x/?u->http://y",
            {u"a b=http://h/x y"_s, u"\tn\t=http://h/t"_s, u"a->b=HTTP://x/?u->http://y"_s});
        row("letters in any case", "at at http://x", {u"at=http://x"_s}, u"0: "_s, u"AT"_s);
        row("empty separator", "n->http://h/a", {}, u"1: 1 separator"_s, QString());
        // A blank name is not rescued by a later separator; a tab before the address is no blank.
        row("order and duplicates kept; the first five refused lines listed, blank ones not counted",
            "b->http://h/2\nn http://h/a\n   ->http://h/a->http://h/b\nn->   \nn->ftp://h/a\nn->\thttp://h/a\n"
            "junk\n\n \t\na->http://h/1\na->http://h/1",
            {u"b=http://h/2"_s, u"a=http://h/1"_s, u"a=http://h/1"_s}, u"6: 2 separator, 3 name, 4 http, 5 http, 6 http"_s);
        row("CR LF, lone CR, lone LF; CR CR LF holds an empty line; no final line end",
            "a->http://1\r\nb->http://2\rc->http://3\nd->http://4\r\r\njunk\r\ne->http://5",
            {u"a=http://1"_s, u"b=http://2"_s, u"c=http://3"_s, u"d=http://4"_s, u"e=http://5"_s}, u"1: 6 separator"_s);
        // A line is UTF-8 when valid UTF-8, else GBK: an overlong form, a surrogate, a code point beyond U+10FFFF,
        // a lone continuation byte or a character cut off at the line end is no UTF-8. A byte that starts no GBK
        // character is one U+FFFD. A UTF-8 byte-order mark may open the file, whatever its first line is.
        const auto gbk = [](const char *name) { return Codec::fromGbk(name) + u"=http"_s; };
        row("each line decoded alone",
            "\xEF\xBB\xBF\xD6\xD0\xCE\xC4->http\n\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF->http\n\xE0\x80\xAF->http\n"
            "\xED\xA0\x80->http\n\xF4\x90\x80\x80->http\na\x80->http\nn->http\xE4\xB8\n\x81 \xD6\xD0\xFF\xCE\xC4->http\nn->http\xD6",
            {u"中文=http"_s, u"😀"_s + QString::fromUcs4(U"\U0010FFFF", 1) + u"=http"_s, gbk("\xE0\x80\xAF"), gbk("\xED\xA0\x80"),
             gbk("\xF4\x90\x80\x80"), gbk("a\x80"), u"n=http"_s + Codec::fromGbk("\xE4\xB8"), u"\uFFFD 中\uFFFD文=http"_s,
             u"n=http\uFFFD"_s});
        // The file is read a mebibyte at a time: here a CR LF and a character are cut between pieces.
        const qsizetype piece = 1 << 20;
        const QString name(piece / 2, u'名');
        row("lines longer than a read piece", "a->http://" + QByteArray(piece - 11, 'x') + "\r\nbad\r\n" + name.toUtf8() + "->http://b",
            {u"a=http://"_s + QString(piece - 11, u'x'), name + u"=http://b"_s}, u"1: 2 separator"_s);
        row("50,000 lines", "n->http://1\r\njunk\r\n"_ba.repeated(25000), QStringList(25000, u"n=http://1"_s),
            u"25000: 2 separator, 4 separator, 6 separator, 8 separator, 10 separator"_s);
    }

    // An import appends, in a few batches and a few hundred moves of the bar whatever the file's size.
    void importRules()
    {
        QFETCH(ImportCase, c);
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath(u"list.txt"_s), c.bytes));
        UrlList list;
        list.append(u"old"_s, u"http://h/old"_s);
        QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
        Calls calls;
        const ListImport imported = importListFile(dir.filePath(u"list.txt"_s), list, c.separator, recorder(calls));
        QVERIFY(imported.read);
        QCOMPARE(TestFiles::rows(list), QStringList{u"old=http://h/old"_s} + c.rows);
        QCOMPARE(imported.rows, qint64(c.rows.size()));
        QCOMPARE(droppedReport(imported), c.dropped);
        QVERIFY(inserted.count() <= 10);
        QVERIFY(calls.size() <= 600 && reachedEndAndReset(calls, calls.last().second - 1, calls.last().second));
    }

    // Exact bytes over an older, longer file; a write that fails part-way (a file size limit, which holds
    // even for root) keeps the file as it was. A file that is not there is not read.
    void exportAndReadBack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"list.txt"_s);
        QVERIFY(TestFiles::write(path, QByteArray(4096, 'z')));
        UrlList list;
        list.appendRows({UrlRow(u"链接 "_s, u"http://h/a b"_s), UrlRow(u" x"_s, u"ftp://h/b"_s),
                         UrlRow(u"a->b"_s, u"http://h/?x->y"_s)});
        list.markAllReady(); // states are not written
        Calls calls;
        QVERIFY(exportListFile(path, list, recorder(calls)));
        QVERIFY(reachedEndAndReset(calls, 3, 3));
        const QByteArray bytes = u"链接 ->http://h/a b\r\n x->ftp://h/b\r\na->b->http://h/?x->y\r\n"_s.toUtf8();
        QCOMPARE(TestFiles::read(path), bytes);
        UrlList big;
        big.appendRows(std::vector<UrlRow>(40000, UrlRow(u"name"_s, u"http://h/some/long/address"_s)));
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit limited{64 * 1024, saved.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool written = exportListFile(path, big);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!written);
        QCOMPARE(TestFiles::read(path), bytes);
        QCOMPARE(TestFiles::entries(dir.path()), QStringList{u"list.txt"_s});
        QVERIFY(!importListFile(dir.filePath(u"missing.txt"_s), big, u"->"_s).read);
    }

    // With positions, deletes the rows selected; without, the rows of duplicate addresses. Either way in one removal.
    void listCommands_data()
    {
        QTest::addColumn<DeleteCase>("c");
        const QStringList abcd{u"A=http://a"_s, u"B=http://b"_s, u"C=http://c"_s, u"D=http://d"_s};
        QTest::newRow("selected in two blocks") << DeleteCase{abcd, {1, 3, 4}, {u"B=http://b"_s}};
        QTest::newRow("selected in one block; positions outside the list or given twice ignored")
            << DeleteCase{abcd, {0, 2, 3, 3, 5, -1}, {u"A=http://a"_s, u"D=http://d"_s}};
        QTest::newRow("duplicates: sorted regardless of case; of equal addresses the first stays")
            << DeleteCase{{u"a=http://h/b"_s, u"b=http://h/C"_s, u"c=http://h/A"_s, u"d=http://h/b"_s}, {},
                          {u"c=http://h/A"_s, u"a=http://h/b"_s, u"b=http://h/C"_s}};
        QTest::newRow("duplicates: equal is exact, and a case variant between equals hides nothing")
            << DeleteCase{{u"a=http://h/x"_s, u"b=http://h/X"_s, u"c=http://h/x "_s, u"d=http://h/x"_s}, {},
                          {u"b=http://h/X"_s, u"a=http://h/x"_s, u"c=http://h/x "_s}};
        QStringList many, firsts;
        for (int i = 0; i < 100000; ++i) {
            many << u"%1=http://h/%2"_s.arg(i).arg(999 - i % 1000, 3, 10, QChar(u'0'));
            if (i < 1000)
                firsts.prepend(many.last());
        }
        QTest::newRow("duplicates of a large list") << DeleteCase{many, {}, firsts};
    }

    void listCommands()
    {
        QFETCH(DeleteCase, c);
        UrlList list;
        for (const QString &row : std::as_const(c.rows))
            list.append(row.section(u'=', 0, 0), row.section(u'=', 1));
        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        Calls calls;
        if (c.selected.isEmpty())
            QCOMPARE(deleteDuplicateRows(list, recorder(calls)), int(c.rows.size() - c.left.size()));
        else
            deleteSelectedRows(list, std::vector<int>(c.selected.begin(), c.selected.end()), recorder(calls));
        QCOMPARE(TestFiles::rows(list), c.left);
        QCOMPARE(removed.count(), 1);
        QVERIFY(reachedEndAndReset(calls, c.rows.size(), c.rows.size()));
    }

    // Each command runs cancelled, then answered with the address the clipboard holds, while an earlier import
    // waits for a page still loading. The page asked for may end inside navigate(), complete, fail or outlast the
    // wait limit; one that finishes after the wait is left to the user.
    void commands_data()
    {
        QTest::addColumn<CommandCase>("c");
        const QString http = u"HTTP://h/p"_s, file = u"%1/page.htm"_s, import = u"import"_s, completes = u"completes"_s;
        QTest::newRow("import by address waits, then harvests") << CommandCase{import, http, completes, http, 1};
        QTest::newRow("a saved page by file address") << CommandCase{import, u"file://"_s + file, completes, {}, 1};
        QTest::newRow("a saved page chosen as a file") << CommandCase{u"file"_s, file, completes, {}, 1};
        QTest::newRow("a missing file") << CommandCase{import, u"%1/gone.htm"_s, u"refused, old completes"_s, {}, 0};
        QTest::newRow("the page's end inside navigate()") << CommandCase{import, http, u"own end inside"_s, http, 1};
        QTest::newRow("an old end inside navigate()") << CommandCase{import, http, u"old end inside, completes"_s, http, 1};
        QTest::newRow("a failed load") << CommandCase{import, http, u"fails"_s, http, -1};
        QTest::newRow("the wait limit") << CommandCase{import, http, {}, http, -1};
        QTest::newRow("browse as typed; the wait ends") << CommandCase{u"browse"_s, u" www.例子.org "_s, completes, {}, -1};
        QTest::newRow("browse offers an http address") << CommandCase{u"browse"_s, http, completes, http, -1};
        QTest::newRow("the login page; the wait ends") << CommandCase{u"login"_s, http, completes, {}, -1};
    }

    // A harvest appends the shown page's accepted links in document order, duplicates kept: blanks trimmed, tabs and
    // line breaks made blanks (a name stays on one list line); no row for a blank name, the login text alone or another
    // scheme. One append and a few hundred moves of the bar however many links; nothing with no page shown or the
    // commands gone.
    void commands()
    {
        QFETCH(CommandCase, c);
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath(u"page.htm"_s), "<html></html>"));
        c.address.replace(u"%1"_s, dir.path());
        QList<BrowserLink> links{{u"  第一章  "_s, u"  HTTP://h/1  "_s}, {u"\t第一章\r\n 标题\u2028"_s, u"http://h/1"_s},
                                 {u" \n\t"_s, u"http://h/2"_s}, {u"  登陆 "_s, u"http://h/x"_s}, {u"请登陆"_s, u"http://h/l"_s},
                                 {u"f"_s, u"file:///tmp/a.htm"_s}, {u"第一章"_s, u"HTTP://h/1"_s}};
        const QStringList rows{u"old=http://h/old"_s, u"第一章=HTTP://h/1"_s, u"第一章   标题=http://h/1"_s,
                               u"请登陆=http://h/l"_s, u"第一章=HTTP://h/1"_s};
        for (int i = 0; i < 100000; ++i)
            links.append({u"n"_s, u"http://h/n"_s + QString::number(i)});
        const int harvested = c.harvest > 0 ? int(rows.size()) - 1 + 100000 : 0;
        Rig rig;
        rig.list.append(u"old"_s, u"http://h/old"_s);
        QSignalSpy inserted(&rig.list, &UrlList::rowsInserted);
        HarvestCommands &commands = *rig.commands;
        commands.harvestLinks(); // no page shown yet
        const auto outcome = c.load == u"fails"_s ? FakeBrowser::Outcome::Fail : FakeBrowser::Outcome::StayBusy;
        rig.fake.setPage(c.address, FakeBrowser::Page{outcome, {}, u"UTF-8"_s, links, {}});
        commands.importPage(u"http://h/slow"_s);
        QObject::connect(&rig.fake, &Browser::loadProgress, &rig.fake, [&](int progress) {
            if (progress == 0 && c.load.contains(u"inside"_s))
                c.load.startsWith(u"own"_s) ? rig.fake.completeLoad() : emit rig.fake.loaded();
        });
        rig.dialogs.clipboard = c.address;
        const auto run = [&] {
            c.command == u"file"_s ? commands.importPageFile() : c.command == u"import"_s ? commands.importByAddress()
                                                                                          : commands.browseAddress();
        };
        if (c.command != u"login"_s)
            run();
        (c.command == u"file"_s ? rig.dialogs.openFileAnswers : rig.dialogs.inputAnswers).enqueue(c.address);
        c.command == u"login"_s ? commands.showLoginPage(c.address) : run();
        const bool refused = c.load.startsWith(u"refused"_s);
        QCOMPARE(rig.dialogs.offeredAnswers.value(0), c.offered);
        QCOMPARE(rig.fake.navigations().last(), refused ? u"http://h/slow"_s : c.address);
        QCOMPARE(rig.dialogs.messageTexts(), refused ? QStringList{u"该文件不存在！"_s} : QStringList());
        QCOMPARE(commands.waiting(), (c.command == u"import"_s || c.command == u"file"_s) && !c.load.startsWith(u"own"_s));
        if (c.load.endsWith(u"completes"_s))
            rig.fake.completeLoad();
        QCOMPARE(rig.timedOut.wait(c.load.isEmpty() ? 5000 : 300), c.load.isEmpty());
        rig.fake.completeLoad();
        QTRY_COMPARE(rig.harvested.count(), c.harvest < 0 ? 0 : 1);
        QTest::qWait(50);
        QCOMPARE(rig.harvested.count(), c.harvest < 0 ? 0 : 1);
        if (c.harvest >= 0)
            QCOMPARE(rig.harvested.at(0).at(0).toInt(), harvested);
        QCOMPARE(TestFiles::rows(rig.list).mid(0, rows.size()), c.harvest > 0 ? rows : rows.first(1));
        QCOMPARE(rig.list.count(), 1 + harvested);
        QCOMPARE(inserted.count(), c.harvest > 0 ? 1 : 0);
        QVERIFY(rig.progress.size() <= 300 && (c.harvest <= 0 || rig.progress.last() == qMakePair(qint64(0), qint64(links.size() + 1))));
        // The browser's tab for each command (the file command's even when cancelled), the list's for a harvest.
        QCOMPARE(rig.tabs, QList<int>(c.command == u"file"_s ? 2 : 1, 0) + (c.harvest < 0 ? QList<int>() : QList<int>{1}));
        QCOMPARE(rig.fake.stopCount(), 0);
        commands.harvestLinks(); // the commands gone before the links come
        rig.commands.reset();
        QTest::qWait(20);
        QCOMPARE(rig.list.count(), 1 + harvested);
    }

    void harvestReview_data()
    {
        QTest::addColumn<FilterCase>("c");
        const QStringList mixed{u"http://h/a.PDF?x=1#p"_s, u"http://h/b.htm"_s, u"http://h/dir/"_s, u"http://h/c"_s};
        const QStringList paths{u"http://h/d/a.pdf"_s, u"http://h/d/x/B.PDF"_s, u"http://h/d/a.pdf.htm"_s, u"http://h/a.pdf"_s};
        const auto kept = HarvestReview::AddKept;
        QTest::newRow("fragments and repeats go, and what the list holds")
            << FilterCase{{u"http://h/a#1"_s, u"http://h/a#2"_s, u"HTTP://H/a"_s, u"http://h/old#x"_s, u"http://h/b"_s}, {u"http://h/old"_s},
                          {}, {}, false, kept, {u"http://h/old"_s, u"http://h/a"_s, u"http://h/b"_s}, u"=2"_s};
        QTest::newRow("as found when the review wants it") << FilterCase{{u"http://h/a#1"_s, u"http://h/a#1"_s}, {}, {}, {}, false,
                HarvestReview::AddAsFound, {u"http://h/a#1"_s, u"http://h/a#1"_s}, u"=1"_s};
        QTest::newRow("cancelled: nothing") << FilterCase{mixed, {}, {}, {}, false, HarvestReview::AddNothing, {}, u"=2,htm=1,pdf=1"_s};
        QTest::newRow("an extension unticked, from the path only")
            << FilterCase{mixed, {}, {u"htm"_s}, {}, false, kept, {u"http://h/a.PDF?x=1"_s, u"http://h/dir/"_s, u"http://h/c"_s}, u"=2,htm=1,pdf=1"_s};
        QTest::newRow("no extension unticked") << FilterCase{mixed, {}, {u""_s}, {}, false, kept, {u"http://h/a.PDF?x=1"_s, u"http://h/b.htm"_s}, u"=2,htm=1,pdf=1"_s};
        QTest::newRow("wildcard: whole address, any case, across slashes")
            << FilterCase{paths, {}, {}, u"*/d/*.pdf"_s, false, kept, paths.first(2), u"htm=1,pdf=3"_s};
        QTest::newRow("regular expression: anywhere, case as written")
            << FilterCase{paths, {}, {}, u"re:d/.*\\.pdf"_s, false, kept, {paths.at(0), paths.at(2)}, u"htm=1,pdf=3"_s};
        QTest::newRow("same site as the page") << FilterCase{{u"http://h/a"_s, u"https://H/b"_s, u"http://other/c"_s, u"http://h.other/d"_s},
                {}, {}, {}, true, kept, {u"http://h/a"_s, u"https://H/b"_s}, u"=4"_s};
        QTest::newRow("a bad regular expression: its message, nothing added")
            << FilterCase{paths, {}, {}, u"re:(pdf"_s, false, kept, {}, u"正则表达式有误："_s};
    }

    // Before the harvest goes in, the review is shown what there is and chooses what goes in.
    void harvestReview()
    {
        QFETCH(FilterCase, c);
        Rig rig;
        for (const QString &address : c.listed)
            rig.list.append(u"old"_s, address);
        QString offered;
        rig.review = [&c, &offered](HarvestFilter &filter) {
            filter.setExcludedExtensions(QSet<QString>(c.unticked.begin(), c.unticked.end()));
            filter.setSameSiteOnly(c.sameSite);
            offered = filter.setMask(c.mask.startsWith(u"re:"_s) ? c.mask.mid(3) : c.mask, c.mask.startsWith(u"re:"_s));
            for (const auto &[extension, count] : filter.extensions())
                offered += (offered.isEmpty() ? u""_s : u","_s) + extension + u'=' + QString::number(count);
            return c.answer;
        };
        QList<BrowserLink> links;
        for (const QString &address : c.links)
            links.append({u"n"_s, address});
        rig.fake.setPage(u"http://h/index.htm"_s, FakeBrowser::Page{FakeBrowser::Outcome::Complete, {}, u"UTF-8"_s, links, {}});
        rig.commands->importPage(u"http://h/index.htm"_s);
        QTRY_COMPARE(rig.harvested.count(), 1);
        QCOMPARE(offered.left(c.offered.size()), c.offered);
        QStringList after;
        for (int position = 1; position <= rig.list.count(); ++position)
            after << rig.list.url(position);
        QCOMPARE(after, c.after);
    }
};

QTEST_GUILESS_MAIN(TestLists)
#include "tst_lists.moc"
