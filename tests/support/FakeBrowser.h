#pragma once

#include "platform/Browser.h"

#include <QHash>
#include <QStringList>
#include <QTimer>

// A scriptable Browser for tests. An unscripted address stays busy until the test ends the load
// with completeLoad(); a scripted one ends by itself on the next turn of the event loop, a failed
// one with status 404.
class FakeBrowser final : public Browser
{
public:
    enum class Outcome { StayBusy, Complete, Fail };

    // What a navigation to an address does, and the page it then shows.
    struct Page
    {
        Outcome outcome = Outcome::Complete;
        QString outerHtml;
        QString characterSet = QStringLiteral("UTF-8");
        QList<BrowserLink> links;
        QString title;
    };

    using Browser::Browser;

    void setPage(const QString &address, const Page &page) { m_pages.insert(address, page); }
    const QStringList &navigations() const { return m_navigations; }
    int stopCount() const { return m_stops; }

    void completeLoad()
    {
        m_busy = false;
        m_loaded = true;
        emit loadProgress(100, 100);
        if (!m_current.title.isEmpty())
            emit titleChanged(m_current.title);
        emit loaded();
    }

    void setSilent(bool silent) override { m_silent = silent; }
    bool silent() const override { return m_silent; }
    void navigate(const QString &address) override
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
            emit loadFailed(404);
        });
    }
    void stop() override { ++m_stops; ++m_generation; m_busy = false; }
    bool isBusy() const override { return m_busy; }
    QString location() const override { return m_navigations.isEmpty() ? QString() : m_navigations.last(); }
    void readDocument(std::function<void(const BrowserDocument &)> done) override
    {
        const BrowserDocument document = m_loaded ? BrowserDocument{m_current.outerHtml, m_current.characterSet}
                                                  : BrowserDocument{};
        QTimer::singleShot(0, this, [done = std::move(done), document] { done(document); });
    }
    void readLinks(std::function<void(const QList<BrowserLink> &)> done) override
    {
        QTimer::singleShot(0, this, [done = std::move(done), links = m_loaded ? m_current.links : QList<BrowserLink>()] {
            done(links);
        });
    }

private:
    QHash<QString, Page> m_pages;
    QStringList m_navigations;
    Page m_current;
    bool m_busy = false;
    bool m_silent = false;
    bool m_loaded = false; // the current page has completed: reads see it
    int m_stops = 0;
    quint64 m_generation = 0; // a stopped or replaced load never ends by itself
};
