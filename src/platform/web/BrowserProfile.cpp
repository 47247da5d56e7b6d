#include "platform/web/BrowserProfile.h"

#include "platform/web/CookieBridge.h"
#include "platform/SavedCookies.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

using namespace Qt::Literals::StringLiterals;

namespace {

// Sends the browsers' User-Agent so that a server treats fast-mode requests like page loads.
class ProfileNetworkAccessManager final : public QNetworkAccessManager
{
public:
    ProfileNetworkAccessManager(QWebEngineProfile *profile, QObject *parent)
        : QNetworkAccessManager(parent), m_profile(profile)
    {
    }

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &original,
                                 QIODevice *outgoingData) override
    {
        if (original.hasRawHeader("User-Agent"))
            return QNetworkAccessManager::createRequest(op, original, outgoingData);
        QNetworkRequest request(original);
        request.setHeader(QNetworkRequest::UserAgentHeader, m_profile->httpUserAgent());
        return QNetworkAccessManager::createRequest(op, request, outgoingData);
    }

private:
    QWebEngineProfile *m_profile;
};

} // namespace

BrowserProfile::BrowserProfile(QObject *parent)
    : QObject(parent), m_profile(new QWebEngineProfile(u"Quillmoor"_s, this))
{
    m_profile->setPersistentStoragePath(storagePath());
    m_profile->setCachePath(cachePath());
    m_profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    // Session cookies too: a login made once holds for the next start.
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);

    // Runs without a browser (the batch mode) send what the browsers send.
    SavedCookies::writeUserAgent(SavedCookies::userAgentPath(), userAgent());
    m_cookieJar = new CookieBridge(m_profile->cookieStore(), cookieFilePath(), this);
    m_network = new ProfileNetworkAccessManager(m_profile, this);
    m_network->setCookieJar(m_cookieJar);
    // The manager does not own a jar that has a parent of its own.
    m_cookieJar->setParent(this);
}

BrowserProfile::~BrowserProfile()
{
    // The jar listens to the store, which goes with the profile.
    delete m_network;
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
