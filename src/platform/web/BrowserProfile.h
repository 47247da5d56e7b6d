#pragma once

#include <QByteArray>
#include <QString>
#include <QObject>

class CookieBridge;
class QWebEngineProfile;

// The one browser profile of the program: cookies, logins and cache shared by every browser,
// kept on disk under the per-user data location so that a login outlives the session. Make one
// per process, before any browser, and keep it until every browser using it is gone.
class BrowserProfile final : public QObject
{
    Q_OBJECT
public:
    explicit BrowserProfile(QObject *parent = nullptr);
    ~BrowserProfile() override;

    QWebEngineProfile *profile() const { return m_profile; }

    // The User-Agent the browsers send.
    QByteArray userAgent() const;

    // The cookie jar kept in step with the browsers' cookies.
    CookieBridge *cookieJar() const { return m_cookieJar; }

    // Where the profile keeps its data; under the per-user data location.
    static QString storagePath();
    static QString cachePath();
    // The cookie jar's own copy of the cookies, beside the profile's data.
    static QString cookieFilePath();

private:
    QWebEngineProfile *m_profile;
    CookieBridge *m_cookieJar;
};
