#include "platform/Codec.h"

#include <QTest>

#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void toGbk_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("gbk");
        QTest::addColumn<bool>("lossless");

        QTest::newRow("Chinese") << u"中文"_s << "\xD6\xD0\xCE\xC4"_ba << true;
        QTest::newRow("full-width punctuation") << u"！（）"_s << "\xA3\xA1\xA3\xA8\xA3\xA9"_ba << true;
        QTest::newRow("euro sign is one byte") << u"€"_s << "\x80"_ba << true;
        QTest::newRow("emoji becomes a question mark") << u"a😀b"_s << "a?b"_ba << false;
        QTest::newRow("lone surrogate becomes a question mark") << u"a"_s + QChar(0xD800) + u"b"_s << "a?b"_ba << false;
    }

    void toGbk()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, gbk);
        QFETCH(bool, lossless);
        bool wasLossless = !lossless;
        QCOMPARE(Codec::toGbk(text, &wasLossless), gbk);
        QCOMPARE(wasLossless, lossless);
        if (lossless)
            QCOMPARE(Codec::fromGbk(gbk), text);
    }

    void invalidGbkBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        QTest::newRow("lead byte then blank keeps the blank") << "\x81 x"_ba << u"\uFFFD x"_s;
        QTest::newRow("0xFF between characters") << "\xD6\xD0\xFF\xCE\xC4"_ba << u"中\uFFFD文"_s;
        QTest::newRow("cut-off character at the end") << "a\xD6"_ba << u"a\uFFFD"_s;
        QTest::newRow("NUL bytes kept") << "a\0b"_ba << u"a\0b"_s;
    }

    void invalidGbkBytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(Codec::fromGbk(bytes), expected);
    }

    // A line is UTF-8 when it is valid UTF-8, otherwise GBK.
    void listLines_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");

        QTest::newRow("four-byte emoji") << "\xF0\x9F\x98\x80"_ba << u"😀"_s;
        QTest::newRow("largest code point") << "\xF4\x8F\xBF\xBF"_ba << QString::fromUcs4(U"\U0010FFFF", 1);
        for (const QByteArray &bytes : {"\xC0\xAF"_ba, "\xED\xA0\x80"_ba, "\xF4\x90\x80\x80"_ba, "a\x80"_ba})
            QTest::addRow("not UTF-8 (overlong, surrogate, too large, lone continuation): %s", bytes.toHex().constData())
                << bytes << Codec::fromGbk(bytes);
        QTest::newRow("UTF-8 cut off at the line end") << "ok\xE4\xB8"_ba << Codec::fromGbk("ok\xE4\xB8"_ba);
        QTest::newRow("a stray byte after GBK") << "\xD6\xD0\xD6"_ba << u"中\uFFFD"_s;
    }

    void listLines()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        Codec::ListLineDecoder decoder;
        QCOMPARE(decoder.decode(bytes.cbegin(), bytes.cend()), text);
        QCOMPARE(decoder.decode(bytes.cbegin(), bytes.cend()), text); // the same again, after any GBK line
    }

    void encodeForHtml_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("GBK: emoji becomes a reference") << u"中😀文"_s << u"GBK"_s
                                                        << "\xD6\xD0&#128512;\xCE\xC4"_ba;
        QTest::newRow("gb2312 label is written as GBK") << u"镕€"_s << u"gb2312"_s << "\xE9\x46\x80"_ba;
        QTest::newRow("label case and blanks ignored") << u"中"_s << u" GB2312 "_s << "\xD6\xD0"_ba;
        QTest::newRow("UTF-8 holds everything") << u"中😀"_s << u"UTF-8"_s << "\xE4\xB8\xAD\xF0\x9F\x98\x80"_ba;
        QTest::newRow("unknown label writes UTF-8") << u"中"_s << u"x-no-such-set"_s << "\xE4\xB8\xAD"_ba;
        QTest::newRow("iconv suffix not let through") << u"中😀"_s << u"GBK//IGNORE"_s
                                                      << "\xE4\xB8\xAD\xF0\x9F\x98\x80"_ba;
        QTest::newRow("windows-1252") << u"café 中€"_s << u"windows-1252"_s << "caf\xE9 &#20013;\x80"_ba;
        QTest::newRow("Shift_JIS keeps backslash and tilde") << u"\\~①"_s << u"Shift_JIS"_s << "\\~\x87\x40"_ba;
        QTest::newRow("ISO-2022-JP shifts back before a reference")
            << u"日本😀語"_s << u"ISO-2022-JP"_s << "\x1B$BF|K\\\x1B(B&#128512;\x1B$B8l\x1B(B"_ba;
        QTest::newRow("UTF-16LE") << u"a😀"_s << u"utf-16le"_s << "a\0\x3D\xD8\x00\xDE"_ba;
        QTest::newRow("markup untouched") << u"<a href=\"x?a=1&b=2\">"_s << u"GBK"_s
                                          << "<a href=\"x?a=1&b=2\">"_ba;
        QTest::newRow("lone surrogate becomes a replacement reference")
            << u"a"_s + QChar(0xDC00) + u"b"_s << u"GBK"_s << "a&#65533;b"_ba;
    }

    void encodeForHtml()
    {
        QFETCH(QString, text);
        QFETCH(QString, charset);
        QFETCH(QByteArray, bytes);
        QCOMPARE(Codec::encodeForHtml(text, charset), bytes);
    }

    void oddInputsDoNotCrash()
    {
        QString big;
        for (int i = 0; i < 50000; ++i)
            big += u"😀"_s;
        const QByteArray encoded = Codec::encodeForHtml(big, u"GBK"_s);
        QCOMPARE(encoded.size(), qsizetype(9) * 50000);
        QVERIFY(encoded.startsWith("&#128512;&#128512;"));

        QByteArray junk;
        for (int i = 0; i < 100000; ++i)
            junk.append(char((i * 37 + 11) & 0xFF));
        QVERIFY(!Codec::fromGbk(junk).isEmpty());
        Codec::ListLineDecoder decoder;
        QVERIFY(!decoder.decode(junk.cbegin(), junk.cend()).isEmpty());
        QVERIFY(!Codec::encodeForHtml(QString(1, QChar(0xDC00)), u"GBK"_s).isEmpty());
        QVERIFY(!Codec::encodeForHtml(u"中"_s, QString(100000, u'x')).isEmpty());
    }

    // Each call owns its converter: threads converting at once get the same results.
    void concurrentCallsAgree()
    {
        const QString text = u"a下载设置😀->http://h/"_s.repeated(5000);
        const QByteArray gbk = Codec::encodeForHtml(text, u"GBK"_s);
        const QString back = Codec::fromGbk(gbk);
        QCOMPARE(back, QString(text).replace(u"😀"_s, u"&#128512;"_s)); // across every internal buffer boundary
        std::vector<std::thread> threads;
        std::vector<int> failures(4, 0);
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 10; ++i) {
                    if (Codec::encodeForHtml(text, u"GBK"_s) != gbk || Codec::fromGbk(gbk) != back)
                        ++failures[t];
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(failures, std::vector<int>(4, 0));
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
