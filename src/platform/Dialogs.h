#pragma once

#include <QString>

// Everything the program asks of the user or of the desktop, so that the logic never opens a
// widget itself and tests can script the answers.
class Dialogs
{
public:
    enum class Icon { None, Information, Critical, Question };

    virtual ~Dialogs() = default;

    // A modal message box with an OK button and the program's title as caption.
    virtual void message(const QString &text, Icon icon) = 0;
    // A question with Yes and No; true for Yes.
    virtual bool askYesNo(const QString &text) = 0;
    // A single-line input box; the empty text when cancelled.
    virtual QString inputBox(const QString &prompt, const QString &defaultAnswer) = 0;
    // File dialogs; the empty text when cancelled. Filters are in Qt form ("*.txt (*.txt);;...").
    virtual QString openFileName(const QString &filter) = 0;
    virtual QString saveFileName(const QString &filter, const QString &defaultSuffix) = 0;
    // The folder chooser; the empty text when cancelled.
    virtual QString chooseFolder(const QString &prompt, const QString &startFolder) = 0;
    virtual QString clipboardText() = 0;
    virtual void setClipboardText(const QString &text) = 0;
    // Hands an address to the desktop's default handler.
    virtual void openExternally(const QString &address) = 0;
};
