#pragma once

#include "platform/Browser.h"

#include <QHash>
#include <QStringList>

// A scriptable Browser for tests. By default Navigate stays busy until the test finishes the
// load with completeLoad() or failLoad(); a scripted address can instead finish by itself on the
// next turn of the event loop.
class FakeBrowser final : public Browser
{
    Q_OBJECT
public:
    enum class Outcome { StayBusy, Complete, Fail };

    struct Page
    {
        Outcome outcome = Outcome::Complete;
        QString outerHtml;
        QString characterSet = QStringLiteral("UTF-8");
        QList<BrowserLink> links;
        QString title;
        int errorStatus = 404;
    };

    explicit FakeBrowser(QObject *parent = nullptr);

    // Scripts what a navigation to this address does; unscripted addresses stay busy.
    void setPage(const QString &address, const Page &page);

    void setSilent(bool silent) override { m_silent = silent; }
    bool silent() const override { return m_silent; }
    void navigate(const QString &address) override;
    void stop() override;
    bool isBusy() const override { return m_busy; }
    QString location() const override { return m_location; }
    void readDocument(std::function<void(const BrowserDocument &)> done) override;
    void readLinks(std::function<void(const QList<BrowserLink> &)> done) override;

    // Ends the current load by hand.
    void completeLoad();
    void failLoad(int statusCode = 404);

    const QStringList &navigations() const { return m_navigations; }
    int stopCount() const { return m_stops; }

private:
    void finish(quint64 generation);

    QHash<QString, Page> m_pages;
    QStringList m_navigations;
    QString m_location;
    Page m_current;
    bool m_busy = false;
    bool m_silent = false;
    bool m_loaded = false;
    int m_stops = 0;
    quint64 m_generation = 0;
};
