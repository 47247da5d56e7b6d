#pragma once

#include "platform/Dialogs.h"

#include <QPointer>
#include <QWidget>

// The Dialogs of the running program: Qt message boxes, input box, file and folder dialogs,
// the system clipboard and the desktop's handler for addresses. Every box is titled with the
// program's name and is modal to the main window once that is set.
class QtDialogs final : public Dialogs
{
public:
    explicit QtDialogs(QWidget *owner = nullptr) : m_owner(owner) {}

    void setOwner(QWidget *owner) { m_owner = owner; }

    void message(const QString &text, Icon icon) override;
    bool askYesNo(const QString &text) override;
    QString inputBox(const QString &prompt, const QString &defaultAnswer) override;
    QString openFileName(const QString &filter) override;
    QString saveFileName(const QString &filter, const QString &defaultSuffix) override;
    QString chooseFolder(const QString &prompt, const QString &startFolder) override;
    QString clipboardText() override;
    void setClipboardText(const QString &text) override;
    void openExternally(const QString &address) override;

private:
    QWidget *owner() const;

    QPointer<QWidget> m_owner;
};
