#include "WindowRig.h"

#include "shell/AboutDialog.h"
#include "shell/Resources.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;

class TestAboutDialog : public QObject
{
    Q_OBJECT

    QByteArray m_path;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        m_path = qgetenv("PATH");
    }
    void cleanup() { qputenv("PATH", m_path); }

    void texts()
    {
        FakeDialogs dialogs;
        AboutDialog about(dialogs);
        QCOMPARE(about.windowTitle(), u"关于 Quillmoor"_s);
        auto *title = about.findChild<QLabel *>(u"lblTitle"_s);
        QCOMPARE(title->text(), u"Quillmoor"_s);
        QVERIFY(title->font().bold());
        QCOMPARE(title->palette().color(QPalette::WindowText), QColor(Qt::red));
        QCOMPARE(about.findChild<QLabel *>(u"lblVersion"_s)->text(),
                 u"版本 %1.%2.%3"_s.arg(QUILLMOOR_VERSION_MAJOR).arg(QUILLMOOR_VERSION_MINOR).arg(QUILLMOOR_VERSION_PATCH));
        const QString link = about.findChild<QLabel *>(u"Label4"_s)->text();
        QVERIFY(link.startsWith(u"软件升级："_s));
        QVERIFY2(link.contains(u"file://"_s) && !link.contains(u"http"_s), qPrintable(link));
        QCOMPARE(about.findChild<QLabel *>(u"Label4"_s)->toolTip(), u"去看一看..."_s);
        QCOMPARE(about.findChild<QLabel *>(u"Image1"_s)->toolTip(), u"去看一看..."_s);
        auto *ok = about.findChild<QPushButton *>(u"cmdOK"_s);
        QCOMPARE(ok->text(), u"确定"_s);
        QVERIFY(ok->isDefault());
        QCOMPARE(about.findChild<QPushButton *>(u"cmdSysInfo"_s)->text(), u"系统信息(&S)..."_s);
    }

    void makerLinkOpensTheShippedManual()
    {
        for (const QString &control : {u"Label4"_s, u"Image1"_s}) {
            FakeDialogs dialogs;
            AboutDialog about(dialogs);
            about.show();
            QVERIFY(QTest::qWaitForWindowExposed(&about));
            QTest::mouseClick(about.findChild<QLabel *>(control), Qt::LeftButton);
            QCOMPARE(dialogs.openedAddresses.size(), 1);
            const QUrl opened(dialogs.openedAddresses.constFirst());
            QVERIFY(opened.isLocalFile());
            QCOMPARE(opened.toLocalFile(), Resources::helpPagePath());
            QVERIFY2(QFile::exists(opened.toLocalFile()), qPrintable(opened.toLocalFile()));
        }
    }

    void systemInformation_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::newRow("nothing on the PATH: message, dialog stays") << QString();
        QTest::newRow("a later tool of the list: started") << u"xfce4-taskmanager"_s;
    }

    void systemInformation()
    {
        QFETCH(QString, tool);
        QTemporaryDir bin;
        const QString marker = bin.filePath(u"started"_s);
        if (!tool.isEmpty()) {
            QFile script(bin.filePath(tool));
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\n/usr/bin/touch '" + marker.toUtf8() + "'\n");
            script.close();
            script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        qputenv("PATH", tool.isEmpty() ? QByteArray() : bin.path().toUtf8());

        FakeDialogs dialogs;
        AboutDialog about(dialogs);
        about.show();
        about.findChild<QPushButton *>(u"cmdSysInfo"_s)->click();

        QVERIFY(about.isVisible());
        if (!tool.isEmpty()) {
            QTRY_VERIFY(QFile::exists(marker));
            QVERIFY(dialogs.messages.isEmpty());
        } else {
            QCOMPARE(dialogs.messageTexts(), QStringList{u"此时系统信息不可用"_s});
            QCOMPARE(dialogs.messages.constFirst().icon, Dialogs::Icon::None);
        }
    }

    void enterAndEscapeClose()
    {
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            FakeDialogs dialogs;
            AboutDialog about(dialogs);
            about.show();
            QVERIFY(QTest::qWaitForWindowExposed(&about));
            QTest::keyClick(&about, key);
            QVERIFY(!about.isVisible());
        }
    }
};

QTEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"
