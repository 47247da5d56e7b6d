#include "shell/QtDialogs.h"

#include "shell/Resources.h"
#include "platform/AppIdentity.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

using namespace Qt::Literals::StringLiterals;

QWidget *QtDialogs::owner() const
{
    // A hidden owner would hide the box with it; then the box stands on its own.
    return m_owner && m_owner->isVisible() ? m_owner.data() : nullptr;
}

void QtDialogs::message(const QString &text, Icon icon)
{
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    switch (icon) {
    case Icon::None: boxIcon = QMessageBox::NoIcon; break;
    case Icon::Information: boxIcon = QMessageBox::Information; break;
    case Icon::Critical: boxIcon = QMessageBox::Critical; break;
    case Icon::Question: boxIcon = QMessageBox::Question; break;
    }
    QMessageBox box(boxIcon, AppIdentity::name(), text, QMessageBox::Ok, owner());
    box.exec();
}

bool QtDialogs::askYesNo(const QString &text)
{
    QMessageBox box(QMessageBox::Question, AppIdentity::name(), text, QMessageBox::Yes | QMessageBox::No, owner());
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

QString QtDialogs::inputBox(const QString &prompt, const QString &defaultAnswer)
{
    bool ok = false;
    const QString answer =
        QInputDialog::getText(owner(), AppIdentity::name(), prompt, QLineEdit::Normal, defaultAnswer, &ok);
    return ok ? answer : QString();
}

QString QtDialogs::openFileName(const QString &filter)
{
    return QFileDialog::getOpenFileName(owner(), {}, {}, filter);
}

QString QtDialogs::saveFileName(const QString &filter, const QString &defaultSuffix)
{
    QFileDialog dialog(owner(), {}, {}, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

QString QtDialogs::chooseFolder(const QString &prompt, const QString &startFolder)
{
    return QFileDialog::getExistingDirectory(owner(), prompt, startFolder);
}

QString QtDialogs::clipboardText() { return QApplication::clipboard()->text(); }

void QtDialogs::setClipboardText(const QString &text)
{
    QClipboard *clipboard = QApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

void QtDialogs::openExternally(const QString &address)
{
    // Addresses and local paths alike; the result is not examined.
    const QUrl url = QFileInfo::exists(address) ? QUrl::fromLocalFile(QFileInfo(address).absoluteFilePath())
                                                : QUrl::fromUserInput(address);
    QDesktopServices::openUrl(url);
}
