#include "urllist/Harvest.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestHarvest : public QObject
{
    Q_OBJECT

private slots:
    void acceptanceRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("href");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");

        QTest::newRow("blanks trimmed from text and address")
            << u"  第一章  "_s << u"  http://h/1  "_s << true << u"第一章"_s << u"http://h/1"_s;
        QTest::newRow("tabs and line breaks become blanks, so the name stays on one list line")
            << u"\t第一章\r\n 标题\u2028"_s << u"http://h/1"_s << true << u"第一章   标题"_s << u"http://h/1"_s;
        QTest::newRow("only line breaks: no name") << u"\n\n"_s << u"http://h/1"_s << false << QString() << QString();
        QTest::newRow("login text skipped") << u"登陆"_s << u"http://h/login"_s << false << QString() << QString();
        QTest::newRow("login text with blanks skipped")
            << u"  登陆 "_s << u"http://h/login"_s << false << QString() << QString();
        QTest::newRow("login among other characters kept")
            << u"请登陆"_s << u"http://h/login"_s << true << u"请登陆"_s << u"http://h/login"_s;
        QTest::newRow("blank text skipped") << u"   "_s << u"http://h/1"_s << false << QString() << QString();
        QTest::newRow("HTTP in capitals kept") << u"s"_s << u"HTTP://H/S"_s << true << u"s"_s << u"HTTP://H/S"_s;
        QTest::newRow("mailto skipped") << u"m"_s << u"mailto:a@h"_s << false << QString() << QString();
        QTest::newRow("file skipped") << u"f"_s << u"file:///tmp/a.htm"_s << false << QString() << QString();
        QTest::newRow("blank address skipped") << u"e"_s << u"   "_s << false << QString() << QString();
    }

    void acceptanceRule()
    {
        QFETCH(QString, text);
        QFETCH(QString, href);
        QFETCH(bool, accepted);
        QFETCH(QString, name);
        QFETCH(QString, address);

        QCOMPARE(harvestAccepted(text, href), accepted);
        const std::vector<UrlRow> rows = harvestRows({BrowserLink{text, href}});
        QCOMPARE(rows.size(), accepted ? std::size_t(1) : std::size_t(0));
        if (accepted) {
            QCOMPARE(rows[0].linkName(), name);
            QCOMPARE(rows[0].url(), address);
            QCOMPARE(rows[0].state, RowState::Idle);
        }
    }

    void documentOrderAndDuplicatesKept()
    {
        const QList<BrowserLink> links{{u"a"_s, u"http://h/x"_s},
                                       {u"登陆"_s, u"http://h/login"_s},
                                       {u"b"_s, u"http://h/y"_s},
                                       {QString(), u"http://h/img"_s},
                                       {u"a"_s, u"http://h/x"_s},
                                       {u"c"_s, u"mailto:c@h"_s},
                                       {u"d"_s, u"http://h/x"_s}};
        const std::vector<UrlRow> rows = harvestRows(links);
        QStringList got;
        for (const UrlRow &row : rows)
            got << row.linkName() + u'=' + row.url();
        QCOMPARE(got, (QStringList{u"a=http://h/x"_s, u"b=http://h/y"_s, u"a=http://h/x"_s, u"d=http://h/x"_s}));
        QVERIFY(harvestRows({}).empty());
    }
};

QTEST_GUILESS_MAIN(TestHarvest)
#include "tst_harvest.moc"
