#pragma once

#include "platform/Browser.h"

#include <QHash>
#include <QStringList>

// A scriptable Browser for tests. An unscripted address stays busy until the test ends the load
// with completeLoad(); a scripted one ends by itself on the next turn of the event loop.
class FakeBrowser final : public Browser
{
    Q_OBJECT
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
        int errorStatus = 404;
    };

    using Browser::Browser;

    void setPage(const QString &address, const Page &page) { m_pages.insert(address, page); }
    void completeLoad();
    const QStringList &navigations() const { return m_navigations; }
    int stopCount() const { return m_stops; }

    void setSilent(bool silent) override { m_silent = silent; }
    bool silent() const override { return m_silent; }
    void navigate(const QString &address) override;
    void stop() override;
    bool isBusy() const override { return m_busy; }
    QString location() const override { return m_navigations.isEmpty() ? QString() : m_navigations.last(); }
    void readDocument(std::function<void(const BrowserDocument &)> done) override;
    void readLinks(std::function<void(const QList<BrowserLink> &)> done) override;

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
