#include "platform/web/CookieBridge.h"

#include "platform/SavedCookies.h"

#include <QWebEngineCookieStore>

CookieBridge::CookieBridge(QWebEngineCookieStore *store, const QString &savePath, QObject *parent)
    : QNetworkCookieJar(parent), m_store(store), m_savePath(savePath)
{
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(saveDelayMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &CookieBridge::save);

    load();
    connect(m_store, &QWebEngineCookieStore::cookieAdded, this, &CookieBridge::storeAdded);
    connect(m_store, &QWebEngineCookieStore::cookieRemoved, this, &CookieBridge::storeRemoved);
    m_store->loadAllCookies();
}

CookieBridge::~CookieBridge()
{
    if (m_saveTimer.isActive())
        save();
}

bool CookieBridge::setCookiesFromUrl(const QList<QNetworkCookie> &cookieList, const QUrl &url)
{
    const bool accepted = QNetworkCookieJar::setCookiesFromUrl(cookieList, url);
    // The store applies its own rules; what it keeps comes back through cookieAdded in the form
    // this jar already holds (host-only without a dot, domain cookies with one), so no duplicate.
    for (const QNetworkCookie &cookie : cookieList)
        m_store->setCookie(cookie, url);
    if (accepted)
        changed();
    return accepted;
}

void CookieBridge::storeAdded(const QNetworkCookie &cookie)
{
    if (!updateCookie(cookie))
        insertCookie(cookie);
    changed();
}

void CookieBridge::storeRemoved(const QNetworkCookie &cookie)
{
    if (deleteCookie(cookie))
        changed();
}

void CookieBridge::changed()
{
    if (!m_savePath.isEmpty())
        m_saveTimer.start();
}

void CookieBridge::load()
{
    for (const QNetworkCookie &cookie : SavedCookies::read(m_savePath)) {
        if (!updateCookie(cookie))
            insertCookie(cookie);
    }
}

void CookieBridge::save()
{
    m_saveTimer.stop();
    SavedCookies::write(m_savePath, allCookies());
}
