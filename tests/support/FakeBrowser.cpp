#include "FakeBrowser.h"

#include <QTimer>

void FakeBrowser::navigate(const QString &address)
{
    m_navigations.append(address);
    const quint64 generation = ++m_generation;
    m_busy = true;
    m_loaded = false;
    m_current = m_pages.value(address, Page{Outcome::StayBusy, {}, {}, {}, {}});
    emit loadProgress(0, 100);
    if (m_current.outcome == Outcome::StayBusy)
        return;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation != m_generation || !m_busy)
            return;
        if (m_current.outcome == Outcome::Complete)
            return completeLoad();
        m_busy = false;
        emit loadFailed(m_current.errorStatus);
    });
}

void FakeBrowser::stop()
{
    ++m_stops;
    ++m_generation;
    m_busy = false;
}

void FakeBrowser::completeLoad()
{
    m_busy = false;
    m_loaded = true;
    emit loadProgress(100, 100);
    if (!m_current.title.isEmpty())
        emit titleChanged(m_current.title);
    emit loaded();
}

void FakeBrowser::readDocument(std::function<void(const BrowserDocument &)> done)
{
    const BrowserDocument document = m_loaded ? BrowserDocument{m_current.outerHtml, m_current.characterSet}
                                              : BrowserDocument{};
    QTimer::singleShot(0, this, [done = std::move(done), document] { done(document); });
}

void FakeBrowser::readLinks(std::function<void(const QList<BrowserLink> &)> done)
{
    const QList<BrowserLink> links = m_loaded ? m_current.links : QList<BrowserLink>();
    QTimer::singleShot(0, this, [done = std::move(done), links] { done(links); });
}
