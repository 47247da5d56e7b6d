#include "engine/DownloadSlot.h"

#include "engine/Downloader.h"
#include "platform/Browser.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

bool DownloadSlot::busy(bool fastMode) const
{
    if (fastMode)
        return downloader && downloader->isBusy();
    return pageBusy || (pageBrowser && pageBrowser->Busy());
}

DownloadSlots::DownloadSlots(QObject *parent) : QObject(parent)
{
    m_timerZ.setObjectName(u"TimerZ"_s);
    m_timerZ.setInterval(1000);
    for (int i = 0; i < SlotCount; ++i) {
        auto timer = std::make_unique<QTimer>();
        timer->setObjectName(u"Timer1_"_s + QString::number(i + 1));
        timer->setInterval(100);
        timer->setSingleShot(true);
        m_slots[static_cast<std::size_t>(i)].number = i + 1;
        m_slots[static_cast<std::size_t>(i)].timer = timer.get();
        m_timers[static_cast<std::size_t>(i)] = std::move(timer);
    }
}

DownloadSlot &DownloadSlots::slot(int number) { return m_slots.at(static_cast<std::size_t>(number - 1)); }

const DownloadSlot &DownloadSlots::slot(int number) const { return m_slots.at(static_cast<std::size_t>(number - 1)); }

void DownloadSlots::setDownloader(int number, Downloader *downloader) { slot(number).downloader = downloader; }

void DownloadSlots::setPageBrowser(int number, Browser *browser) { slot(number).pageBrowser = browser; }

bool DownloadSlots::anyBusy(int upTo, bool fastMode) const
{
    const int last = std::clamp(upTo, 0, SlotCount);
    for (int n = 1; n <= last; ++n) {
        if (slot(n).busy(fastMode))
            return true;
    }
    return false;
}

bool DownloadSlots::pathInUse(const QString &path, int except) const
{
    for (const DownloadSlot &s : m_slots) {
        if (s.number != except && (s.busy(true) || s.busy(false)) && s.slotSavePath == path)
            return true;
    }
    return false;
}

QString DownloadSlots::blankPage()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"blank.htm"_s);
}

void DownloadSlots::ReleasePageBrowsers()
{
    const QString blank = blankPage();
    for (DownloadSlot &s : m_slots) {
        if (s.pageBrowser)
            s.pageBrowser->Navigate(blank);
    }
}
