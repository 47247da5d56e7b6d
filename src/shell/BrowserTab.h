#pragma once

#include <QString>
#include <QWidget>

class Browser;
class BrowserProfile;
class Dialogs;
class DownloadSettings;
class HarvestCommands;
class UrlList;

// Tab 0 "登陆和主网页": the visible browser WebBrowser1 and the commands that show pages in it
// and harvest their links. With a browser profile WebBrowser1 is a real browser on it; without
// one (a window built for tests of its other parts) it only remembers the address it was sent to.
class BrowserTab : public QWidget
{
    Q_OBJECT
public:
    BrowserTab(UrlList &list, DownloadSettings &settings, Dialogs &dialogs, BrowserProfile *profile,
               QWidget *parent = nullptr);
    ~BrowserTab() override;

    // Shows the address, exactly as given, in WebBrowser1 on this tab; an import still waiting
    // for its page gives up.
    void navigate(const QString &address);
    // The address last sent to the browser through navigate().
    QString address() const { return m_address; }

    Browser *browser() const { return m_browser; }
    HarvestCommands *commands() const { return m_commands; }

    // The commands of the tab.
    void showLoginPage();
    void browseAddress();
    void importPageFile();
    // The import-by-address command: an address from the clipboard or typed by the user.
    void importByAddress();
    void harvestLinks();

signals:
    // A command wants this tab of SSTab1 shown (0 = this tab, 1 = the list).
    void tabRequested(int tab);
    // ProgressBar1 while links are harvested.
    void progressChanged(qint64 value, qint64 maximum);
    // The visible browser's status text (status-bar panel 1).
    void statusTextChanged(const QString &text);

private:
    DownloadSettings &m_settings;
    Browser *m_browser;
    HarvestCommands *m_commands;
    QString m_address;
};
