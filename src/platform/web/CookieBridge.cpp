#include "platform/web/CookieBridge.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QWebEngineCookieStore>

namespace {

bool expired(const QNetworkCookie &cookie, const QDateTime &now)
{
    return !cookie.isSessionCookie() && cookie.expirationDate() <= now;
}

} // namespace

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
    if (m_savePath.isEmpty())
        return;
    QFile file(m_savePath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        for (const QNetworkCookie &cookie : QNetworkCookie::parseCookies(line)) {
            if (!expired(cookie, now) && !updateCookie(cookie))
                insertCookie(cookie);
        }
    }
}

void CookieBridge::save()
{
    m_saveTimer.stop();
    if (m_savePath.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_savePath).absolutePath());
    QSaveFile file(m_savePath);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QNetworkCookie &cookie : allCookies()) {
        if (!expired(cookie, now))
            file.write(cookie.toRawForm(QNetworkCookie::Full) + '\n');
    }
    file.commit();
}
