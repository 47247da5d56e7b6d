#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QString>

// The browsers' cookies and User-Agent as the program keeps a copy of them on disk, so that runs
// without a browser (the batch mode) send the same login as the window's downloads.
namespace SavedCookies {

// Beside the browser profile's data, under the per-user data location.
QString defaultPath();
QString userAgentPath();

// One cookie per line in Set-Cookie form; expired cookies are left out.
QList<QNetworkCookie> read(const QString &path);
// Replaces the file (owner-only permissions); false when it cannot be written.
bool write(const QString &path, const QList<QNetworkCookie> &cookies);

QByteArray readUserAgent(const QString &path);
void writeUserAgent(const QString &path, const QByteArray &userAgent);

} // namespace SavedCookies

// A jar that starts with the saved cookies and keeps whatever responses set during the run.
class SavedCookieJar final : public QNetworkCookieJar
{
    Q_OBJECT
public:
    explicit SavedCookieJar(const QList<QNetworkCookie> &cookies, QObject *parent = nullptr);
};
