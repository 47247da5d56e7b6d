#include "engine/PageSourceReplacements.h"
#include "platform/MemorySettingsStore.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

using Pairs = std::vector<PageSourceReplacements::Pair>;
Q_DECLARE_METATYPE(Pairs)

class TestPageSourceReplacements : public QObject
{
    Q_OBJECT

private slots:
    void apply_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<Pairs>("pairs");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");

        const Pairs chain{{u"a"_s, u"b"_s}, {u"b"_s, u"c"_s}};
        QTest::newRow("switched off leaves the source alone") << false << chain << u"aab"_s << u"aab"_s;
        QTest::newRow("pairs apply in list order, each on the result of the one before")
            << true << chain << u"ab"_s << u"cc"_s;
        QTest::newRow("every occurrence is replaced")
            << true << Pairs{{u"<br>"_s, u"\n"_s}} << u"x<br>y<br><br>"_s << u"x\ny\n\n"_s;
        QTest::newRow("matching is case-sensitive")
            << true << Pairs{{u"HEAD"_s, u"x"_s}} << u"<head><HEAD>"_s << u"<head><x>"_s;
        QTest::newRow("a replacement holding its own text does not loop")
            << true << Pairs{{u"a"_s, u"aa"_s}} << u"aba"_s << u"aabaa"_s;
        QTest::newRow("empty replacement deletes")
            << true << Pairs{{u"广告"_s, QString()}} << u"正文广告正文"_s << u"正文正文"_s;
    }

    void apply()
    {
        QFETCH(bool, enabled);
        QFETCH(Pairs, pairs);
        QFETCH(QString, source);
        QFETCH(QString, expected);

        MemorySettingsStore store;
        PageSourceReplacements replacements(store);
        for (const auto &pair : pairs)
            QVERIFY(replacements.add(pair.find, pair.replacement));
        replacements.setEnabled(enabled);
        QCOMPARE(replacements.apply(source), expected);
    }

    void storedFormRoundTrips_data()
    {
        QTest::addColumn<Pairs>("pairs");
        QTest::newRow("separators and escapes inside the texts")
            << Pairs{{u"a\tb"_s, u"c\nd"_s}, {u"\\t"_s, u"\\"_s}, {u"\r\n"_s, u"\\\\n"_s}};
        QTest::newRow("blanks, trailing backslash and empty last replacement kept")
            << Pairs{{u" a "_s, u"  "_s}, {u"end\\"_s, u"\\"_s}, {u"中文"_s, QString()}};
        QTest::newRow("ten thousand characters") << Pairs{{QString(10000, u'\\'), QString(10000, u'\n')}};
    }

    void storedFormRoundTrips()
    {
        QFETCH(Pairs, pairs);
        QCOMPARE(PageSourceReplacements::decode(PageSourceReplacements::encode(pairs)), pairs);
    }

    void storedFormIsReadable()
    {
        const Pairs pairs{{u"a\tb"_s, u"c"_s}, {u"d"_s, u"e\\"_s}};
        QCOMPARE(PageSourceReplacements::encode(pairs), u"a\\tb\tc\nd\te\\\\"_s);
    }

    void junkStoredTextGivesOnlyUsablePairs()
    {
        const auto pairs = PageSourceReplacements::decode(u"no tab here\n\tempty find\n\n x \t y \nlast\\"_s);
        QCOMPARE(pairs, (Pairs{{u" x "_s, u" y "_s}}));
    }

    void changesAreStoredAtOnceAndReadBack()
    {
        MemorySettingsStore store;
        {
            PageSourceReplacements replacements(store);
            QVERIFY(!replacements.enabled());
            QCOMPARE(replacements.count(), 0);
            QVERIFY(!replacements.add(QString(), u"x"_s));
            QVERIFY(store.values().isEmpty());

            QVERIFY(replacements.add(u"a"_s, u"1"_s));
            QVERIFY(replacements.add(u"b"_s, u"2"_s));
            QVERIFY(replacements.add(u"c"_s, u"3"_s));
            QVERIFY(replacements.removeAt(1));
            QVERIFY(!replacements.removeAt(2));
            replacements.setEnabled(true);
            QCOMPARE(store.values().value(u"替换源代码"_s), u"1"_s);
        }
        PageSourceReplacements again(store);
        QVERIFY(again.enabled());
        QCOMPARE(again.pairs(), (Pairs{{u"a"_s, u"1"_s}, {u"c"_s, u"3"_s}}));
        QCOMPARE(again.apply(u"abc"_s), u"1b3"_s);

        again.setEnabled(false);
        QCOMPARE(store.values().value(u"替换源代码"_s), u"0"_s);
        again.removeAt(0);
        again.removeAt(0);
        QCOMPARE(store.values().value(u"替换内容"_s), QString());
        QCOMPARE(PageSourceReplacements(store).count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestPageSourceReplacements)
#include "tst_pagesourcereplacements.moc"
