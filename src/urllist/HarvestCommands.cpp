#include "urllist/HarvestCommands.h"

#include "urllist/ListFile.h"

#include "engine/DownloadSettings.h"
#include "engine/SaveNames.h"
#include "engine/UrlList.h"
#include "platform/Browser.h"
#include "platform/Dialogs.h"
#include "urllist/Harvest.h"
#include "urllist/HarvestFilter.h"

#include <QPointer>

#include <algorithm>
#include <iterator>
#include <utility>

using namespace Qt::Literals::StringLiterals;

HarvestCommands::HarvestCommands(Browser &browser, UrlList &list, Dialogs &dialogs, HarvestHost host,
                                 QObject *parent)
    : QObject(parent), m_browser(browser), m_list(list), m_dialogs(dialogs), m_host(std::move(host))
{
    m_waitTimer.setObjectName(u"pageWaitTimer"_s);
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &HarvestCommands::onWaitLimit);
    connect(&m_browser, &Browser::loaded, this, &HarvestCommands::onDocumentComplete);
    connect(&m_browser, &Browser::loadFailed, this, &HarvestCommands::onNavigateError);
}

void HarvestCommands::browseAddress()
{
    const QString answer = m_dialogs.inputBox(u"请输入需要浏览的网址："_s, clipboardAddress());
    if (answer.isEmpty())
        return;
    showTab(0);
    // The import's page will not be the one shown: its wait must not harvest this one.
    endWait();
    m_browser.navigate(answer);
}

void HarvestCommands::showLoginPage(const QString &loginUrl)
{
    showTab(0);
    endWait();
    m_browser.navigate(loginUrl);
}

void HarvestCommands::importPageFile()
{
    showTab(0);
    const QString path = m_dialogs.openFileName(u"*.htm (*.htm);;*.html (*.html)"_s);
    if (path.isEmpty())
        return;
    importPage(path);
}

void HarvestCommands::importByAddress()
{
    const QString answer = m_dialogs.inputBox(u"请输入需要导入的网址："_s, clipboardAddress());
    if (answer.isEmpty())
        return;
    showTab(0);
    importPage(answer);
}

void HarvestCommands::importPage(const QString &address)
{
    if (!startsWithHttp(address) && !localFileExists(address)) {
        // Nothing is loaded, so a wait under way for an earlier import goes on.
        m_dialogs.message(u"该文件不存在！"_s, Dialogs::Icon::Critical);
        return;
    }
    endWait();
    m_browser.navigate(address);
    // Armed only after Navigate: a load end delivered inside it may still be the previous
    // page's. A browser no longer busy here has finished this load already and sends no more.
    if (!m_browser.isBusy()) {
        harvestLinks();
        return;
    }
    startWait();
}

void HarvestCommands::harvestLinks()
{
    if (m_browser.location().isEmpty())
        return;
    QPointer<HarvestCommands> self(this);
    ++m_harvests;
    m_browser.readLinks([self, page = m_browser.location()](const QList<BrowserLink> &links) {
        if (self)
            self->appendHarvest(links, page);
    });
}

void HarvestCommands::appendHarvest(const QList<BrowserLink> &links, const QString &pageAddress)
{
    const qsizetype n = links.size();
    ProgressThrottle bar(m_host.progress, n + 1, n);
    bar.reset();
    showTab(1);

    // The rule is applied a block at a time so that the bar moves between blocks; the rows go
    // into the list at once, since a list with a view attached pays for every append.
    const qsizetype block = std::max<qsizetype>(1, n / ProgressThrottle::Reports);
    std::vector<UrlRow> rows;
    for (qsizetype i = 0; i < n; i += block) {
        bar.set(i);
        std::vector<UrlRow> accepted = harvestRows(links.mid(i, block));
        rows.insert(rows.end(), std::make_move_iterator(accepted.begin()), std::make_move_iterator(accepted.end()));
    }
    bar.reset();
    // The review may keep an event loop turning (a dialog), in which the commands may go.
    QPointer<HarvestCommands> self(this);
    rows = reviewed(std::move(rows), pageAddress);
    if (!self)
        return;
    m_list.appendRows(rows);
    --m_harvests;
    emit harvested(static_cast<int>(rows.size()));
}

std::vector<UrlRow> HarvestCommands::reviewed(std::vector<UrlRow> rows, const QString &pageAddress)
{
    if (!m_host.review || rows.empty())
        return rows;
    QStringList listed;
    listed.reserve(m_list.count());
    for (int position = 1; position <= m_list.count(); ++position)
        listed.append(m_list.url(position));
    HarvestFilter filter(rows, listed, pageAddress);
    switch (m_host.review(filter)) {
    case HarvestReview::AddAsFound:
        return rows;
    case HarvestReview::AddKept:
        return filter.kept();
    case HarvestReview::AddNothing:
        break;
    }
    return {};
}

void HarvestCommands::setPageWaitLimit(int ms) { m_waitLimitMs = std::max(0, ms); }

void HarvestCommands::startWait()
{
    m_waiting = true;
    m_waitTimer.start(m_waitLimitMs);
}

void HarvestCommands::endWait()
{
    m_waiting = false;
    m_waitTimer.stop();
}

void HarvestCommands::onDocumentComplete()
{
    if (!m_waiting)
        return;
    endWait();
    harvestLinks();
}

void HarvestCommands::onNavigateError()
{
    // The page asked for never arrived: what the browser shows instead is not harvested.
    endWait();
}

void HarvestCommands::onWaitLimit()
{
    if (!m_waiting)
        return;
    // The page stays in the browser, so the user can still harvest it by hand.
    endWait();
    emit waitTimedOut();
}

QString HarvestCommands::clipboardAddress()
{
    const QString text = m_dialogs.clipboardText();
    return startsWithHttp(text) ? text : QString();
}

void HarvestCommands::showTab(int tab)
{
    if (m_host.showTab)
        m_host.showTab(tab);
}
