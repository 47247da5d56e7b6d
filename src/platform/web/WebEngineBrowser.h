#pragma once

#include "platform/Browser.h"

#include <QHash>
#include <QUrl>
#include <QVariant>

class BrowserPage;
class QWebEngineLoadingInfo;
class QWebEnginePage;
class QWebEngineProfile;

// The embedded browser on a Qt WebEngine page. The profile must outlive the browser.
class WebEngineBrowser final : public Browser
{
    Q_OBJECT
public:
    explicit WebEngineBrowser(QWebEngineProfile *profile, QObject *parent = nullptr);
    ~WebEngineBrowser() override;

    // The page, for a view that shows this browser; it stays owned by the browser.
    QWebEnginePage *page() const;

    void setSilent(bool silent) override { m_silent = silent; }
    bool silent() const override { return m_silent; }
    void navigate(const QString &address) override;
    void stop() override;
    bool isBusy() const override { return m_busy; }
    QString location() const override;
    void readDocument(std::function<void(const BrowserDocument &)> done) override;
    void readLinks(std::function<void(const QList<BrowserLink> &)> done) override;

    // What Navigate loads for an address: the empty address is the blank page, a local path
    // becomes a file address, anything else is taken as the user would type it.
    static QUrl urlForAddress(const QString &address);

    // A script that has not answered by then is answered with nothing.
    static constexpr int scriptTimeoutMs = 30000;

private:
    friend class BrowserPage;

    void navigationHeldBack();
    void loadingChanged(const QWebEngineLoadingInfo &info);
    void runScript(const QString &source, std::function<void(const QVariant &)> done);
    void answerScript(quint64 call, const QVariant &result);

    BrowserPage *m_page;
    bool m_silent = false;
    bool m_busy = false;
    // A load has started as far as the delivered signals tell, and its end has not arrived.
    bool m_deliveredLoading = false;
    // The next load end to arrive belongs to a load that was stopped or replaced: no signal.
    bool m_quietEnd = false;
    // Starts still on their way from a stopped load do not make the browser busy.
    bool m_ignoreStarts = false;
    quint64 m_lastCall = 0;
    QHash<quint64, std::function<void(const QVariant &)>> m_pendingScripts;
};
