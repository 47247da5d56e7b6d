#include "support/FakeDialogs.h"

void FakeDialogs::message(const QString &text, Icon icon)
{
    messages.append({text, icon});
    if (onMessage)
        onMessage(messages.constLast());
}

bool FakeDialogs::askYesNo(const QString &text)
{
    questions.append(text);
    return yesNoAnswers.isEmpty() ? false : yesNoAnswers.dequeue();
}

QString FakeDialogs::inputBox(const QString &prompt, const QString &defaultAnswer)
{
    inputRequests.append({prompt, defaultAnswer});
    return inputAnswers.isEmpty() ? QString() : inputAnswers.dequeue();
}

QString FakeDialogs::openFileName(const QString &filter)
{
    openFileFilters.append(filter);
    return openFileAnswers.isEmpty() ? QString() : openFileAnswers.dequeue();
}

QString FakeDialogs::saveFileName(const QString &filter, const QString &defaultSuffix)
{
    saveRequests.append({filter, defaultSuffix});
    return saveFileAnswers.isEmpty() ? QString() : saveFileAnswers.dequeue();
}

QString FakeDialogs::chooseFolder(const QString &prompt, const QString &startFolder)
{
    folderRequests.append({prompt, startFolder});
    return folderAnswers.isEmpty() ? QString() : folderAnswers.dequeue();
}

QStringList FakeDialogs::messageTexts() const
{
    QStringList texts;
    for (const Message &m : messages)
        texts.append(m.text);
    return texts;
}

void FakeDialogs::clear()
{
    messages.clear();
    questions.clear();
    inputRequests.clear();
    openFileFilters.clear();
    saveRequests.clear();
    folderRequests.clear();
    openedAddresses.clear();
}
