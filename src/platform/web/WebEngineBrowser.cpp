#include "platform/web/WebEngineBrowser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <QWebEngineCertificateError>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineScriptCollection>
#include <QWebEngineScript>

#include <utility>

using namespace Qt::Literals::StringLiterals;

// The page's own hooks: new windows, closing by script and JavaScript dialogs are answered
// here for the browser that owns it.
class BrowserPage final : public QWebEnginePage
{
public:
    BrowserPage(QWebEngineProfile *profile, WebEngineBrowser *browser)
        : QWebEnginePage(profile, browser), m_browser(browser),
          m_closeMarker(u"window.close "_s + QUuid::createUuid().toString(QUuid::Id128))
    {
        // The engine stops loading the document as soon as its script calls window.close(),
        // even when the close is then refused. The page's close only reports the wish, so a
        // refused close leaves the page loading as if nothing had happened.
        QWebEngineScript closeGuard;
        closeGuard.setInjectionPoint(QWebEngineScript::DocumentCreation);
        closeGuard.setWorldId(QWebEngineScript::MainWorld);
        closeGuard.setRunsOnSubFrames(false);
        closeGuard.setSourceCode(uR"js(window.close = function close() { console.info('%1'); };)js"_s
                                     .arg(m_closeMarker));
        scripts().insert(closeGuard);
    }

protected:
    QWebEnginePage *createWindow(WebWindowType type) override
    {
        emit m_browser->newWindowRequested();
        if (m_browser->cancelNewWindows())
            return nullptr;
        // Left to the view that shows this page, if any.
        return QWebEnginePage::createWindow(type);
    }

    void javaScriptAlert(const QUrl &securityOrigin, const QString &msg) override
    {
        if (!m_browser->silent())
            QWebEnginePage::javaScriptAlert(securityOrigin, msg);
    }

    bool javaScriptConfirm(const QUrl &securityOrigin, const QString &msg) override
    {
        // The leave-page question of a page's beforeunload handler arrives here too: a silent
        // browser leaves, so that a navigation it was told to make is never held back.
        if (m_browser->silent())
            return isLeavePageQuestion(msg);
        const bool yes = QWebEnginePage::javaScriptConfirm(securityOrigin, msg);
        if (!yes && isLeavePageQuestion(msg))
            m_browser->navigationHeldBack();
        return yes;
    }

    bool javaScriptPrompt(const QUrl &securityOrigin, const QString &msg,
                          const QString &defaultValue, QString *result) override
    {
        if (!m_browser->silent())
            return QWebEnginePage::javaScriptPrompt(securityOrigin, msg, defaultValue, result);
        return false;
    }

    // Console messages are dropped, except the close wish of the page's script.
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &message, int,
                                  const QString &) override
    {
        if (message != m_closeMarker)
            return;
        if (m_browser->cancelWindowClosing())
            emit m_browser->closeRequested();
        else
            triggerAction(RequestClose); // asks beforeunload, then windowCloseRequested
    }

private:
    static bool isLeavePageQuestion(const QString &msg)
    {
        static const char text[] =
            "Are you sure you want to leave this page? Changes that you made may not be saved.";
        return msg == QLatin1String(text)
            || msg == QCoreApplication::translate("QWebEnginePage", text);
    }

    WebEngineBrowser *m_browser;
    const QString m_closeMarker;
};

namespace {

// The markup with its document type declaration: without one a page renders in quirks mode.
const QString documentScript = uR"js((function () {
  var root = document.documentElement;
  var type = document.doctype ? new XMLSerializer().serializeToString(document.doctype) + '\n' : '';
  return [root ? type + root.outerHTML : '', document.characterSet || ''];
})())js"_s;

// Each link as [text as the user sees it, absolute address]; SVG links carry their address as
// an object, resolved here against the document's base.
const QString linksScript = uR"js((function () {
  var links = document.links, out = [];
  for (var i = 0; i < links.length; i++) {
    var a = links[i];
    var text = typeof a.innerText === 'string' ? a.innerText : (a.textContent || '');
    var href = a.href;
    if (typeof href !== 'string') {
      href = href && typeof href.baseVal === 'string' ? href.baseVal : '';
      try { href = new URL(href, document.baseURI).href; } catch (e) {}
    }
    out.push([text, href]);
  }
  return out;
})())js"_s;

} // namespace

WebEngineBrowser::WebEngineBrowser(QWebEngineProfile *profile, QObject *parent)
    : Browser(parent), m_page(new BrowserPage(profile, this))
{
    connect(m_page, &QWebEnginePage::loadingChanged, this, &WebEngineBrowser::loadingChanged);
    connect(m_page, &QWebEnginePage::loadProgress, this,
            [this](int progress) { emit loadProgress(progress, 100); });
    connect(m_page, &QWebEnginePage::titleChanged, this, &Browser::titleChanged);
    connect(m_page, &QWebEnginePage::linkHovered, this, &Browser::statusTextChanged);
    // The page never closes itself: a browser that allows closing is closed by its owner.
    connect(m_page, &QWebEnginePage::windowCloseRequested, this, &Browser::closeRequested);
    // A navigation to another section of the shown document moves within it: the engine
    // reports the new address and no load at all, so the address change ends the navigation.
    connect(m_page, &QWebEnginePage::urlChanged, this, [this, shown = m_page->url()](const QUrl &url) mutable {
        const QUrl previous = std::exchange(shown, url);
        if (!m_busy || m_deliveredLoading || m_page->isLoading() || !url.hasFragment()
            || url.adjusted(QUrl::RemoveFragment) != previous.adjusted(QUrl::RemoveFragment))
            return;
        m_busy = false;
        emit loaded();
    });
    connect(m_page, &QWebEnginePage::certificateError, this,
            [](const QWebEngineCertificateError &error) {
                QWebEngineCertificateError refused(error);
                refused.rejectCertificate();
            });
}

WebEngineBrowser::~WebEngineBrowser()
{
    disconnect(m_page, nullptr, this, nullptr);
    // The page answers its unfinished scripts with nothing as it goes.
    delete m_page;
    const auto pending = std::exchange(m_pendingScripts, {});
    for (const auto &done : pending)
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [done] { done(QVariant()); }, Qt::QueuedConnection);
}

QWebEnginePage *WebEngineBrowser::page() const { return m_page; }

QUrl WebEngineBrowser::urlForAddress(const QString &address)
{
    const QString trimmed = address.trimmed();
    if (trimmed.isEmpty())
        return QUrl(u"about:blank"_s);
    if (trimmed.startsWith(u"file:", Qt::CaseInsensitive))
        return QUrl(trimmed, QUrl::TolerantMode);
    if (QDir::isAbsolutePath(trimmed) || QFileInfo::exists(trimmed))
        return QUrl::fromLocalFile(QFileInfo(trimmed).absoluteFilePath());
    return QUrl::fromUserInput(trimmed);
}

void WebEngineBrowser::navigate(const QString &address)
{
    // The previous load ended in the engine but its end is still on its way: it must not end
    // this one.
    m_quietEnd = !m_page->isLoading() && m_deliveredLoading;
    m_ignoreStarts = false;
    m_busy = true;
    m_page->load(urlForAddress(address));
}

void WebEngineBrowser::stop()
{
    // The stopped load's start and end may still be on their way; they pass without a signal.
    m_quietEnd = m_busy || m_page->isLoading() || m_deliveredLoading;
    m_ignoreStarts = m_quietEnd;
    m_page->triggerAction(QWebEnginePage::Stop);
    m_busy = false;
}

void WebEngineBrowser::navigationHeldBack()
{
    // The user chose to stay: the navigation never starts, so no end will come for it.
    if (!m_page->isLoading() && !m_deliveredLoading)
        m_busy = false;
}

void WebEngineBrowser::loadingChanged(const QWebEngineLoadingInfo &info)
{
    if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
        m_deliveredLoading = true;
        if (!m_ignoreStarts)
            m_busy = true;
        return;
    }
    m_deliveredLoading = false;
    if (std::exchange(m_quietEnd, false)) {
        m_ignoreStarts = false;
        return;
    }
    // The engine is loading again (a page script or refresh navigated): that newer load ends
    // with a signal of its own.
    if (m_page->isLoading())
        return;
    m_busy = false;
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        emit loaded();
        break;
    case QWebEngineLoadingInfo::LoadFailedStatus:
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        // Stopped without stop(): the load was cut off (turned into a download, or stopped by
        // the page), so the page it was for never arrived.
        emit loadFailed(info.errorCode());
        break;
    case QWebEngineLoadingInfo::LoadStartedStatus:
        break;
    }
}

QString WebEngineBrowser::location() const
{
    const QUrl url = m_page->url();
    if (url.isEmpty() || url.toString() == u"about:blank"_s)
        return {};
    return url.toString();
}

void WebEngineBrowser::runScript(const QString &source, std::function<void(const QVariant &)> done)
{
    const quint64 call = ++m_lastCall;
    m_pendingScripts.insert(call, std::move(done));
    QPointer<WebEngineBrowser> self(this);
    m_page->runJavaScript(source, QWebEngineScript::ApplicationWorld,
                          [self, call](const QVariant &result) {
                              if (self)
                                  self->answerScript(call, result);
                          });
    QTimer::singleShot(scriptTimeoutMs, this, [this, call] { answerScript(call, QVariant()); });
}

void WebEngineBrowser::answerScript(quint64 call, const QVariant &result)
{
    auto pending = m_pendingScripts.find(call);
    if (pending == m_pendingScripts.end())
        return;
    auto done = std::move(*pending);
    m_pendingScripts.erase(pending);
    // Always later, never from inside the call that asked, and even when this browser is gone.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [done = std::move(done), result] { done(result); },
        Qt::QueuedConnection);
}

void WebEngineBrowser::readDocument(std::function<void(const BrowserDocument &)> done)
{
    runScript(documentScript, [done = std::move(done)](const QVariant &result) {
        BrowserDocument document;
        const QVariantList parts = result.toList();
        if (parts.size() == 2) {
            document.outerHtml = parts.at(0).toString();
            document.characterSet = parts.at(1).toString();
        }
        done(document);
    });
}

void WebEngineBrowser::readLinks(std::function<void(const QList<BrowserLink> &)> done)
{
    runScript(linksScript, [done = std::move(done)](const QVariant &result) {
        QList<BrowserLink> links;
        const QVariantList items = result.toList();
        links.reserve(items.size());
        for (const QVariant &item : items) {
            const QVariantList pair = item.toList();
            links.append({pair.value(0).toString(), pair.value(1).toString()});
        }
        done(links);
    });
}
