#pragma once

#include <QDialog>

class BrowserProfile;
class Dialogs;
class QPushButton;

// "设置Internet选项": the tools of the browser profile that every browser of the program shares:
// clear the cookies (logs out of every site, fast-mode downloads included) and clear the cache.
// Without a profile the tools are offered but disabled.
class InternetOptionsDialog : public QDialog
{
    Q_OBJECT
public:
    InternetOptionsDialog(BrowserProfile *profile, Dialogs &dialogs, QWidget *parent = nullptr);

    // The commands of the two buttons, each followed by its confirmation message.
    void clearCookies();
    void clearCache();

    // Deletes every cookie of the browsers and of the fast-mode jar, and the jar's saved copy.
    static void deleteAllCookies(BrowserProfile &profile);

private:
    BrowserProfile *m_profile;
    Dialogs &m_dialogs;
};
