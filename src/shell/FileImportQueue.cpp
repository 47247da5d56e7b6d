#include "shell/FileImportQueue.h"

#include "platform/Browser.h"
#include "shell/BrowserTab.h"
#include "shell/ListTab.h"
#include "urllist/HarvestCommands.h"

#include <QFileInfo>

#include <utility>

using namespace Qt::Literals::StringLiterals;

FileImportQueue::FileImportQueue(ListTab &listTab, BrowserTab &browserTab, QObject *parent)
    : QObject(parent), m_listTab(listTab), m_browserTab(browserTab)
{
    HarvestCommands *commands = browserTab.commands();
    connect(commands, &HarvestCommands::harvested, this, &FileImportQueue::harvestEnded);
    connect(commands, &HarvestCommands::waitTimedOut, this, &FileImportQueue::harvestEnded);
    connect(browserTab.browser(), &Browser::loadFailed, this, &FileImportQueue::harvestEnded);
}

bool FileImportQueue::isSavedPage(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix();
    return suffix.compare(u"htm"_s, Qt::CaseInsensitive) == 0 || suffix.compare(u"html"_s, Qt::CaseInsensitive) == 0;
}

void FileImportQueue::add(const QStringList &paths)
{
    m_pending += paths;
    importNext();
}

void FileImportQueue::importNext()
{
    // A list import lets the window's events run, and with them a hand-over that calls add().
    while (!m_busy && !m_pending.isEmpty() && !m_browserTab.commands()->harvesting()) {
        const QString path = m_pending.takeFirst();
        m_busy = true;
        if (isSavedPage(path) && QFileInfo::exists(path)) {
            m_pageUnderWay = true;
            m_browserTab.commands()->importPage(path);
            return;
        }
        if (isSavedPage(path))
            m_browserTab.commands()->importPage(path); // says that the file does not exist
        else
            m_listTab.importFile(path);
        m_busy = false;
    }
}

void FileImportQueue::harvestEnded()
{
    if (std::exchange(m_pageUnderWay, false))
        m_busy = false;
    importNext();
}
