#pragma once

#include "platform/Dialogs.h"

#include <QList>
#include <QQueue>
#include <QStringList>

#include <functional>

// A scripted Dialogs for tests: every call is recorded, and each kind of question takes its
// answers from a queue. An empty queue answers as a cancelled dialog would (No, empty text).
class FakeDialogs final : public Dialogs
{
public:
    struct Message
    {
        QString text;
        Icon icon = Icon::None;
    };
    struct FolderRequest
    {
        QString prompt;
        QString startFolder;
    };
    struct InputRequest
    {
        QString prompt;
        QString defaultAnswer;
    };
    struct SaveRequest
    {
        QString filter;
        QString defaultSuffix;
    };

    void message(const QString &text, Icon icon) override;
    bool askYesNo(const QString &text) override;
    QString inputBox(const QString &prompt, const QString &defaultAnswer) override;
    QString openFileName(const QString &filter) override;
    QString saveFileName(const QString &filter, const QString &defaultSuffix) override;
    QString chooseFolder(const QString &prompt, const QString &startFolder) override;
    QString clipboardText() override { return clipboard; }
    void setClipboardText(const QString &text) override { clipboard = text; }
    void openExternally(const QString &address) override { openedAddresses.append(address); }

    // Answers, taken front first.
    QQueue<bool> yesNoAnswers;
    QQueue<QString> inputAnswers;
    QQueue<QString> openFileAnswers;
    QQueue<QString> saveFileAnswers;
    QQueue<QString> folderAnswers;
    QString clipboard;

    // What was asked and shown, in order.
    QList<Message> messages;
    QStringList questions;
    QList<InputRequest> inputRequests;
    QStringList openFileFilters;
    QList<SaveRequest> saveRequests;
    QList<FolderRequest> folderRequests;
    QStringList openedAddresses;

    // Runs while a message is "on screen", after it was recorded: lets a test look at the
    // state at that moment.
    std::function<void(const Message &)> onMessage;

    QStringList messageTexts() const;
    void clear();
};
