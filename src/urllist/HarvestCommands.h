#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

class Browser;
class Dialogs;
struct BrowserLink;
class HarvestFilter;
class UrlList;
class UrlRow;

// What the window answers when shown a harvest before its rows go into the list.
enum class HarvestReview { AddAsFound, AddKept, AddNothing };

// What the harvesting commands need of the window: switching SSTab1, the progress bar, and
// the review of a harvest. Any may be left empty; without a review every row goes in as found.
struct HarvestHost
{
    std::function<void(int tab)> showTab;                       // 0 = "登陆和主网页", 1 = "网址列表"
    std::function<void(qint64 value, qint64 maximum)> progress; // ProgressBar1
    // Given the harvest's filter over the list and the harvested page: AddKept adds the rows the
    // filter keeps as the review left it, AddAsFound every harvested row, AddNothing none.
    std::function<HarvestReview(HarvestFilter &filter)> review;
};

// The commands of the browser tab that show pages in the visible browser and turn the links of
// the shown page into rows of the list. The browser, list and dialogs must outlive this object.
class HarvestCommands : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultPageWaitLimitMs = 60000;

    HarvestCommands(Browser &browser, UrlList &list, Dialogs &dialogs, HarvestHost host,
                    QObject *parent = nullptr);

    // Asks for an address (the clipboard's http text as default) and shows it as typed.
    void browseAddress();
    void showLoginPage(const QString &loginUrl);
    // Asks for a saved page file and imports its links.
    void importPageFile();
    // Asks for an address (the clipboard's http text as default) and imports its page's links.
    void importByAddress();
    // Loads an http address, a local file path or a "file:///" address and harvests the page
    // once its load has succeeded. A new import replaces a wait still under way; a failed load,
    // another page shown by command, or the wait limit ends the wait without harvesting.
    void importPage(const QString &address);
    // Appends the accepted links of the shown page; nothing when no page is shown. The links
    // are read asynchronously: harvested() tells when the rows are in.
    void harvestLinks();

    void setPageWaitLimit(int ms);
    int pageWaitLimit() const { return m_waitLimitMs; }
    // True while an import waits for its page to finish loading.
    bool waiting() const { return m_waiting; }
    // True from harvestLinks() until harvested(), the review included: showing another page
    // meanwhile would take the harvested one away from under its review.
    bool harvesting() const { return m_harvests > 0; }

signals:
    void harvested(int rowsAdded);
    void waitTimedOut();

private:
    void appendHarvest(const QList<BrowserLink> &links, const QString &pageAddress);
    std::vector<UrlRow> reviewed(std::vector<UrlRow> rows, const QString &pageAddress);
    void startWait();
    void endWait();
    void onDocumentComplete();
    void onNavigateError();
    void onWaitLimit();
    QString clipboardAddress();
    void showTab(int tab);

    Browser &m_browser;
    UrlList &m_list;
    Dialogs &m_dialogs;
    HarvestHost m_host;
    QTimer m_waitTimer;
    int m_waitLimitMs = defaultPageWaitLimitMs;
    bool m_waiting = false;
    int m_harvests = 0; // links being read or reviewed
};
