#pragma once

#include <QString>
#include <QWidget>

class Dialogs;
class DownloadSettings;
class QLabel;
class UrlList;

// Tab 0 "登陆和主网页": the visible browser WebBrowser1 and the commands that show pages in it.
// Until the built-in browser is in place the browser area only remembers the address it was
// sent to.
class BrowserTab : public QWidget
{
    Q_OBJECT
public:
    BrowserTab(UrlList &list, DownloadSettings &settings, Dialogs &dialogs, QWidget *parent = nullptr);

    // The visible browser's Navigate: the address exactly as given.
    void navigate(const QString &address);
    // The address last sent to the browser.
    QString address() const { return m_address; }

    // The commands of the tab.
    void ShowLoginPage();
    void BrowseAddress();
    void ImportPageFile();
    // The import-by-address command: an address from the clipboard or typed by the user.
    void importByAddress();
    void HarvestLinks();
    // Loads a page (an http address or a saved page file) and imports its links.
    void 导入网页链接(const QString &文件路径);

signals:
    // The tab wants to be the shown tab of the window.
    void showRequested();
    // The visible browser's status text (status-bar panel 1).
    void statusTextChanged(const QString &text);

private:
    void showTab();
    QString clipboardAddress() const;

    DownloadSettings &m_settings;
    Dialogs &m_dialogs;
    QWidget *m_browserArea;
    QLabel *m_addressLabel;
    QString m_address;
};
