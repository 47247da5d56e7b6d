#pragma once

#include "engine/Downloader.h"

#include <QPointer>
#include <QTimer>

#include <functional>

class Browser;
struct BrowserDocument;

// The page-mode component: loads the address in one of the page browsers (which share the
// built-in browser's login) and saves the page it shows, in the page's own character set, with
// the source replacements applied and a base element added, by the request's same-name rule.
// Progress is the browser's (its steps, not bytes). A page that makes no progress for the stall
// time is given up; so is a page the browser cannot load (an HTTP error status or a network
// failure), reported as Outcome::PageNotLoaded.
class PageDownloader final : public Downloader
{
    Q_OBJECT
public:
    static constexpr int DefaultStallMs = 60000;

    // The browser must outlive the component; the filter, when set, is applied to every page's
    // markup before it is saved.
    explicit PageDownloader(Browser &browser, QObject *parent = nullptr);

    void setSourceFilter(std::function<QString(const QString &)> filter) { m_sourceFilter = std::move(filter); }
    void setStallTime(int ms) { m_stall.setInterval(ms); }

    void start(const DownloadRequest &request) override;
    void cancel() override;
    bool isBusy() const override;
    ProgressUnit progressUnit() const override { return ProgressUnit::BrowserSteps; }
    // A page does not outlive its run: the browser stops, and nothing is reported.
    void runStopped() override;
    // The browser goes to the blank page, so that a page of the run does not keep running.
    void runEnded() override;

    // blank.htm beside the executable.
    static QString blankPage();

private:
    void onLoaded();
    void onLoadFailed(int statusCode);
    void save(const BrowserDocument &document);
    void end(DownloadResult result);

    Browser &m_browser;
    std::function<QString(const QString &)> m_sourceFilter;
    DownloadRequest m_request;
    bool m_active = false;  // a page of a request is loading or being saved
    bool m_reading = false; // the page's markup is being read
    quint64 m_generation = 0;
    QTimer m_stall;
};
