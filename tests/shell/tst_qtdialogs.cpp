#include "shell/QtDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace {

// Runs `act` on the modal dialog the next call opens, once it is up.
void onNextModal(std::function<void(QWidget *)> act)
{
    auto *poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        act(modal);
    });
    poll->start();
}

} // namespace

class TestQtDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void messageBoxes_data()
    {
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("boxIcon");
        QTest::newRow("none") << int(Dialogs::Icon::None) << int(QMessageBox::NoIcon);
        QTest::newRow("information") << int(Dialogs::Icon::Information) << int(QMessageBox::Information);
        QTest::newRow("critical") << int(Dialogs::Icon::Critical) << int(QMessageBox::Critical);
    }

    void messageBoxes()
    {
        QFETCH(int, icon);
        QFETCH(int, boxIcon);
        QtDialogs dialogs;
        QString title, text;
        int shownIcon = -1;
        onNextModal([&](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            shownIcon = box->icon();
            box->button(QMessageBox::Ok)->click();
        });
        dialogs.message(u"所有选中项删除完毕！"_s, Dialogs::Icon(icon));
        QCOMPARE(title, u"Quillmoor"_s);
        QCOMPARE(text, u"所有选中项删除完毕！"_s);
        QCOMPARE(shownIcon, boxIcon);
    }

    void questionAnswers()
    {
        for (const bool clickYes : {true, false}) {
            QtDialogs dialogs;
            int shownIcon = -1;
            onNextModal([&](QWidget *modal) {
                auto *box = qobject_cast<QMessageBox *>(modal);
                QVERIFY(box);
                shownIcon = box->icon();
                box->button(clickYes ? QMessageBox::Yes : QMessageBox::No)->click();
            });
            QCOMPARE(dialogs.askYesNo(u"确实要清空图片链接表吗?"_s), clickYes);
            QCOMPARE(shownIcon, int(QMessageBox::Question));
        }
    }

    void inputBox_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("answer");
        QTest::newRow("accepted: the typed text") << true << u"http://h/typed"_s;
        QTest::newRow("cancelled: empty") << false << QString();
    }

    void inputBox()
    {
        QFETCH(bool, accept);
        QFETCH(QString, answer);
        QtDialogs dialogs;
        QString offered;
        onNextModal([&](QWidget *modal) {
            auto *input = qobject_cast<QInputDialog *>(modal);
            QVERIFY(input);
            offered = input->textValue();
            input->setTextValue(u"http://h/typed"_s);
            accept ? input->accept() : input->reject();
        });
        QCOMPARE(dialogs.inputBox(u"请输入需要导入的网址："_s, u"http://h/clip"_s), answer);
        QCOMPARE(offered, u"http://h/clip"_s);
    }

    void saveDialogAppendsTheDefaultSuffix()
    {
        QtDialogs dialogs;
        QTemporaryDir dir;
        onNextModal([&](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->defaultSuffix(), u"txt"_s);
            dialog->setDirectory(dir.path());
            auto *name = dialog->findChild<QLineEdit *>(u"fileNameEdit"_s);
            QVERIFY(name);
            name->setText(u"list"_s);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QCOMPARE(dialogs.saveFileName(u"*.TXT (*.TXT)"_s, u"txt"_s), dir.filePath(u"list.txt"_s));
    }
};

QTEST_MAIN(TestQtDialogs)
#include "tst_qtdialogs.moc"
