#include "platform/Codec.h"

#include <QTest>

#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;

struct HtmlCase { QString text, charset; QByteArray bytes; };
Q_DECLARE_METATYPE(HtmlCase)

// Texts through the program's encodings; reading GBK a line at a time is tested with the list files.
class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void gbkBothWays()
    {
        bool lossless = false;
        QCOMPARE(Codec::toGbk(u"中文€\0"_s, &lossless), "\xD6\xD0\xCE\xC4\x80\0"_ba); // the euro sign in one byte
        QVERIFY(lossless);
        QCOMPARE(Codec::fromGbk("\xD6\xD0\xCE\xC4\x80\0"_ba), u"中文€\0"_s);
        QCOMPARE(Codec::toGbk(u"a😀"_s + QChar(0xD800) + u"b"_s, &lossless), "a??b"_ba);
        QVERIFY(!lossless);
    }

    // A character the set cannot hold becomes a numeric reference; labels as documents give them.
    void encodeForHtml_data()
    {
        QTest::addColumn<HtmlCase>("c");
        QTest::newRow("GBK; markup untouched") << HtmlCase{u"<a href=\"?a=1&b\">中😀"_s, u"GBK"_s, "<a href=\"?a=1&b\">\xD6\xD0&#128512;"_ba};
        QTest::newRow("gb2312 written as GBK; label case and blanks ignored") << HtmlCase{u"镕€"_s, u" GB2312 "_s, "\xE9\x46\x80"_ba};
        QTest::newRow("unknown label: UTF-8") << HtmlCase{u"中😀"_s, u"x-no-such-set"_s, "\xE4\xB8\xAD\xF0\x9F\x98\x80"_ba};
        QTest::newRow("no iconv suffix let through") << HtmlCase{u"中😀"_s, u"GBK//IGNORE"_s, "\xE4\xB8\xAD\xF0\x9F\x98\x80"_ba};
        QTest::newRow("windows-1252") << HtmlCase{u"café 中€"_s, u"windows-1252"_s, "caf\xE9 &#20013;\x80"_ba};
        QTest::newRow("Shift_JIS keeps backslash and tilde") << HtmlCase{u"\\~①"_s, u"Shift_JIS"_s, "\\~\x87\x40"_ba};
        QTest::newRow("ISO-2022-JP shifts back before a reference")
            << HtmlCase{u"日本😀語"_s, u"ISO-2022-JP"_s, "\x1B$BF|K\\\x1B(B&#128512;\x1B$B8l\x1B(B"_ba};
        QTest::newRow("UTF-16LE") << HtmlCase{u"a😀"_s, u"utf-16le"_s, "a\0\x3D\xD8\x00\xDE"_ba};
        QTest::newRow("lone surrogate") << HtmlCase{u"a"_s + QChar(0xDC00) + u"b"_s, u"GBK"_s, "a&#65533;b"_ba};
    }

    void encodeForHtml()
    {
        QFETCH(HtmlCase, c);
        QCOMPARE(Codec::encodeForHtml(c.text, c.charset), c.bytes);
    }

    // Each call owns its converter; the long text crosses every internal buffer boundary.
    void concurrentCallsAgree()
    {
        const QString text = u"a下载设置😀->http://h/"_s.repeated(5000);
        const QByteArray gbk = Codec::encodeForHtml(text, u"GBK"_s);
        QCOMPARE(Codec::fromGbk(gbk), QString(text).replace(u"😀"_s, u"&#128512;"_s));
        std::vector<int> failures(4, 0);
        std::vector<std::thread> threads;
        for (int &failed : failures)
            threads.emplace_back([&] {
                for (int i = 0; i < 10; ++i)
                    failed += Codec::encodeForHtml(text, u"GBK"_s) != gbk || Codec::toGbk(Codec::fromGbk(gbk)) != gbk;
            });
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(failures, std::vector<int>(4, 0));
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
