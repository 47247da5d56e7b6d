#include "engine/UrlList.h"
#include "shell/AddUrlDialog.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestAddUrl : public QObject
{
    Q_OBJECT

private slots:
    void captionsAndTabOrder()
    {
        UrlList list;
        AddUrlDialog dialog(list);
        QCOMPARE(dialog.objectName(), u"AddURL"_s);
        QCOMPARE(dialog.windowTitle(), u"添加网址"_s);
        QVERIFY(dialog.isModal());
        QCOMPARE(dialog.findChild<QLabel *>(u"Label1"_s)->text(), u"链接名称："_s);
        QStringList labels;
        for (QLabel *l : dialog.findChildren<QLabel *>())
            labels << l->text();
        QVERIFY(labels.contains(u"网址："_s));
        QCOMPARE(dialog.findChild<QPushButton *>(u"Command1"_s)->text(), u"加入列表"_s);
        QCOMPARE(dialog.findChild<QPushButton *>(u"Command2"_s)->text(), u"关闭"_s);

        QStringList order;
        QWidget *w = dialog.findChild<QLineEdit *>(u"Text1"_s);
        for (int i = 0; i < 4; ++i) {
            order.append(w->objectName());
            do
                w = w->nextInFocusChain();
            while (w->focusPolicy() == Qt::NoFocus);
        }
        QCOMPARE(order, (QStringList{u"Text1"_s, u"Text2"_s, u"Command1"_s, u"Command2"_s}));
    }

    void addToList_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("added");

        QTest::newRow("blanks around the name and after the address kept") << u" 名 "_s << u"http://a/b "_s << true;
        QTest::newRow("name of blanks only refused") << u"   "_s << u"http://a/"_s << false;
        QTest::newRow("name of a tab is not blank") << u"\t"_s << u"http://a/"_s << true;
        QTest::newRow("leading blank before http refused") << u"n"_s << u" http://a/"_s << false;
        QTest::newRow("ftp address refused") << u"n"_s << u"ftp://a/"_s << false;
        QTest::newRow("ten thousand characters") << QString(10000, u'名') << u"http://"_s + QString(10000, u'a') << true;
    }

    void addToList()
    {
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(bool, added);

        UrlList list;
        list.append(u"old"_s, u"http://old/"_s);
        AddUrlDialog dialog(list);
        dialog.show();
        auto *nameBox = dialog.findChild<QLineEdit *>(u"Text1"_s);
        auto *addressBox = dialog.findChild<QLineEdit *>(u"Text2"_s);
        nameBox->setText(name);
        addressBox->setText(address);
        QTest::mouseClick(dialog.findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);

        QVERIFY(dialog.isVisible());
        QCOMPARE(list.count(), added ? 2 : 1);
        if (added) {
            QCOMPARE(list.linkName(2), name);
            QCOMPARE(list.url(2), address);
            QVERIFY(list.statusText(2).isEmpty() && list.progressText(2).isEmpty() && list.remarkText(2).isEmpty());
        }
        QCOMPARE(nameBox->text(), added ? QString() : name);
        QCOMPARE(addressBox->text(), added ? QString() : address);
    }

    void eachEntryAddsOneRowAndCloseEnds()
    {
        UrlList list;
        AddUrlDialog dialog(list);
        dialog.show();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto *nameBox = dialog.findChild<QLineEdit *>(u"Text1"_s);
        for (const QString &n : {u"one"_s, u"two"_s}) {
            nameBox->setFocus(Qt::MouseFocusReason);
            QTest::keyClicks(nameBox, n);
            QTest::keyClick(nameBox, Qt::Key_Tab);
            QTest::keyClicks(QApplication::focusWidget(), u"http://h/"_s + n);
            QTest::mouseClick(dialog.findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);
        }
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.url(2), u"http://h/two"_s);

        QTest::mouseClick(dialog.findChild<QPushButton *>(u"Command2"_s), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(list.count(), 2);
    }
};

QTEST_MAIN(TestAddUrl)
#include "tst_addurl.moc"
