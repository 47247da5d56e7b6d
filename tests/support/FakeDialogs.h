#pragma once

#include "platform/Dialogs.h"

#include <QQueue>
#include <QStringList>

// A scripted Dialogs for tests: what is shown and asked is recorded, and each kind of question
// takes its answers from a queue, front first. An empty queue answers as a cancelled dialog would
// (No, empty text).
class FakeDialogs final : public Dialogs
{
public:
    void message(const QString &text, Icon) override { messages.append(text); }
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

    QStringList messageTexts() const { return messages; }

    QQueue<bool> yesNoAnswers;
    QQueue<QString> inputAnswers, openFileAnswers, saveFileAnswers;
    QString clipboard;
    // What was shown and asked, in order; offeredAnswers holds each input box's default text.
    QStringList messages, questions, offeredAnswers;

private:
    static QString next(QQueue<QString> &answers) { return answers.isEmpty() ? QString() : answers.dequeue(); }
};
