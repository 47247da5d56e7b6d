#include "engine/BaseHref.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString address = u"http://example.com/dir/page.htm"_s;
const QString inserted = u" <Base href='http://example.com/dir/page.htm' target='_blank'> "_s;
const QString prefix = u"<Base href='http://example.com/dir/page.htm' target='_blank'>"_s;

} // namespace

class TestBaseHref : public QObject
{
    Q_OBJECT

private slots:
    void addBaseHref_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");

        QTest::newRow("upper-case tags: after HEAD")
            << u"<HTML><HEAD><TITLE>t</TITLE></HEAD><BODY>x</BODY></HTML>"_s
            << u"<HTML><HEAD>"_s + inserted + u"<TITLE>t</TITLE></HEAD><BODY>x</BODY></HTML>"_s;
        QTest::newRow("head with attributes: before the body tag")
            << u"<html><head lang=\"zh\"><title>t</title></head><body class=a>x</body></html>"_s
            << u"<html><head lang=\"zh\"><title>t</title></head>"_s + inserted + u"<body class=a>x</body></html>"_s;
        QTest::newRow("head preferred over an earlier body") << u"<body>a<head>b"_s
                                                             << u"<body>a<head>"_s + inserted + u"b"_s;
        QTest::newRow("first head wins") << u"<head>a<head>"_s << u"<head>"_s + inserted + u"a<head>"_s;
        QTest::newRow("html alone: after html") << u"<Html>text</html>"_s << u"<Html>"_s + inserted + u"text</html>"_s;
        QTest::newRow("html with attributes only: prefix") << u"<html lang=en>t"_s << prefix + u"<html lang=en>t"_s;
        QTest::newRow("none of the tags: prefix") << u"plain text"_s << prefix + u"plain text"_s;
        QTest::newRow("existing base in mixed case") << u"<HEAD><BaSe HrEf=\"/x/\">"_s
                                                     << u"<HEAD><BaSe HrEf=\"/x/\">"_s;
        QTest::newRow("base without href is not a base reference")
            << u"<head><base target=_self>"_s << u"<head>"_s + inserted + u"<base target=_self>"_s;
        QTest::newRow("empty source gives the address") << QString() << address;
        QTest::newRow("blank source gives the address") << u"    "_s << address;
        QTest::newRow("tab is not blank") << u"\t"_s << prefix + u"\t"_s;
        QTest::newRow("100,000 characters")
            << QString(50000, u'甲') + u"<body>"_s + QString(50000, u'乙')
            << QString(50000, u'甲') + inserted + u"<body>"_s + QString(50000, u'乙');
    }

    void addBaseHref()
    {
        QFETCH(QString, source);
        QFETCH(QString, expected);
        QCOMPARE(insertBaseElement(source, address), expected);
    }

    void stringLimit()
    {
        const QString atLimit = u"<head>"_s + QString(1000000 - 6, u'x');
        QCOMPARE(insertBaseElement(atLimit, address), u"<head>"_s + inserted + atLimit.mid(6));
        const QString over = atLimit + u"x"_s;
        QCOMPARE(insertBaseElement(over, address), over);
    }

    void bytesKeepEveryOtherByte_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<bool>("changed");

        const QByteArray gbk("\xd6\xd0\xce\xc4\xcd\xf8\xd2\xb3"); // "中文网页"
        const QByteArray t = inserted.toUtf8();
        QTest::newRow("GBK page with CR/LF")
            << QByteArray("<HTML>\r\n<HEAD>" + gbk + "</HEAD>\r\n<BODY>" + gbk + "</BODY></HTML>\r\n")
            << QByteArray("<HTML>\r\n<HEAD>" + t + gbk + "</HEAD>\r\n<BODY>" + gbk + "</BODY></HTML>\r\n") << true;
        const QByteArray utf8 = u"中文网页"_s.toUtf8();
        QTest::newRow("UTF-8 page with byte-order mark")
            << QByteArray("\xef\xbb\xbf<html><head>" + utf8 + "</head></html>")
            << QByteArray("\xef\xbb\xbf<html><head>" + t + utf8 + "</head></html>") << true;
        QTest::newRow("invalid bytes and NULs kept") << QByteArray("\xff\x00\xfe<body>\x80", 10)
                                                     << QByteArray(QByteArray("\xff\x00\xfe", 3) + t + "<body>\x80")
                                                     << true;
        QTest::newRow("existing base in any case") << QByteArray("<HEAD><BASE HREF='/'>" + gbk)
                                                   << QByteArray("<HEAD><BASE HREF='/'>" + gbk) << false;
        QTest::newRow("empty gives the prefix alone") << QByteArray() << prefix.toUtf8() << true;
        QTest::newRow("blank is not empty here") << QByteArray("  ") << QByteArray(prefix.toUtf8() + "  ") << true;
    }

    void bytesKeepEveryOtherByte()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(bool, changed);
        bool didInsert = !changed;
        QCOMPARE(insertBaseElementIntoBytes(before, address, &didInsert), after);
        QCOMPARE(didInsert, changed);
    }

    void addressWrittenAsUtf8AndEscaped()
    {
        QCOMPARE(insertBaseElementIntoBytes("<head>", u"http://h/网页.htm?a=1&b='><script>x</script>"_s),
                 u"<head> <Base href='http://h/网页.htm?a=1&amp;b=&#39;&gt;&lt;script&gt;x&lt;/script&gt;' "
                 "target='_blank'> "_s.toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestBaseHref)
#include "tst_basehref.moc"
