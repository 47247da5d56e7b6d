#pragma once

#include "platform/Dialogs.h"

#include <QList>
#include <QQueue>
#include <QStringList>

// A scripted Dialogs for tests: what is shown and asked is recorded, and each kind of question
// takes its answers from a queue, front first. An empty queue answers as a cancelled dialog would
// (No, empty text).
class FakeDialogs final : public Dialogs
{
public:
    struct Message
    {
        QString text;
        Icon icon = Icon::None;
    };

    void message(const QString &text, Icon icon) override { messages.append({text, icon}); }
    bool askYesNo(const QString &text) override
    {
        questions.append(text);
        return !yesNoAnswers.isEmpty() && yesNoAnswers.dequeue();
    }
    QString inputBox(const QString &, const QString &defaultAnswer) override
    {
        offeredAnswers.append(defaultAnswer);
        return next(inputAnswers);
    }
    QString openFileName(const QString &) override { return next(openFileAnswers); }
    QString saveFileName(const QString &, const QString &) override { return next(saveFileAnswers); }
    QString chooseFolder(const QString &, const QString &) override { return {}; }
    QString clipboardText() override { return clipboard; }
    void setClipboardText(const QString &text) override { clipboard = text; }
    void openExternally(const QString &) override {}

    QStringList messageTexts() const
    {
        QStringList texts;
        for (const Message &m : messages)
            texts.append(m.text);
        return texts;
    }

    QQueue<bool> yesNoAnswers;
    QQueue<QString> inputAnswers, openFileAnswers, saveFileAnswers;
    QString clipboard;
    // What was shown and asked, in order; offeredAnswers holds each input box's default text.
    QList<Message> messages;
    QStringList questions, offeredAnswers;

private:
    static QString next(QQueue<QString> &answers) { return answers.isEmpty() ? QString() : answers.dequeue(); }
};
