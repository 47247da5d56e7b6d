#include "platform/SavedCookies.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

using namespace Qt::Literals::StringLiterals;

namespace {

bool expired(const QNetworkCookie &cookie, const QDateTime &now)
{
    return !cookie.isSessionCookie() && cookie.expirationDate() <= now;
}

QString browserFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + u"/browser"_s;
}

} // namespace

namespace SavedCookies {

QString defaultPath() { return browserFolder() + u"/CookieJar"_s; }

QString userAgentPath() { return browserFolder() + u"/UserAgent"_s; }

QList<QNetworkCookie> read(const QString &path)
{
    QList<QNetworkCookie> cookies;
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return cookies;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        for (const QNetworkCookie &cookie : QNetworkCookie::parseCookies(line)) {
            if (!expired(cookie, now))
                cookies.append(cookie);
        }
    }
    return cookies;
}

bool write(const QString &path, const QList<QNetworkCookie> &cookies)
{
    if (path.isEmpty())
        return false;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QNetworkCookie &cookie : cookies) {
        if (!expired(cookie, now))
            file.write(cookie.toRawForm(QNetworkCookie::Full) + '\n');
    }
    return file.commit();
}

QByteArray readUserAgent(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // One line; a header value must not carry line breaks.
    return file.readLine(4096).trimmed();
}

void writeUserAgent(const QString &path, const QByteArray &userAgent)
{
    if (readUserAgent(path) == userAgent)
        return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(userAgent + '\n');
        file.commit();
    }
}

} // namespace SavedCookies

SavedCookieJar::SavedCookieJar(const QList<QNetworkCookie> &cookies, QObject *parent) : QNetworkCookieJar(parent)
{
    setAllCookies(cookies);
}
