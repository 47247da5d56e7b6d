#include "platform/web/BrowserProfile.h"

#include "platform/AppIdentity.h"

#include "platform/web/CookieBridge.h"
#include "platform/SavedCookies.h"

#include <QStandardPaths>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

using namespace Qt::Literals::StringLiterals;

BrowserProfile::BrowserProfile(QObject *parent)
    : QObject(parent), m_profile(new QWebEngineProfile(AppIdentity::name(), this))
{
    m_profile->setPersistentStoragePath(storagePath());
    m_profile->setCachePath(cachePath());
    m_profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    // Session cookies too: a login made once holds for the next start.
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);

    // Runs without a browser (the batch mode) send what the browsers send.
    SavedCookies::writeUserAgent(SavedCookies::userAgentPath(), userAgent());
    m_cookieJar = new CookieBridge(m_profile->cookieStore(), cookieFilePath(), this);
}

BrowserProfile::~BrowserProfile()
{
    // The jar listens to the store, which goes with the profile.
    delete m_cookieJar;
    delete m_profile;
}

QByteArray BrowserProfile::userAgent() const { return m_profile->httpUserAgent().toUtf8(); }

QString BrowserProfile::storagePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + u"/browser"_s;
}

QString BrowserProfile::cookieFilePath() { return SavedCookies::defaultPath(); }

QString BrowserProfile::cachePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + u"/browser"_s;
}
