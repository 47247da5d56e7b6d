#pragma once

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QTimer>

class QWebEngineCookieStore;

// The cookie jar of fast-mode downloads. It holds the same cookies as the
// browsers' cookie store: every cookie the browsers receive or a page's script sets appears
// here, a cookie the browsers drop leaves here, and a cookie a fast-mode response sets is handed
// to the browsers too. The store must outlive the jar.
//
// The store reports changes only, never the cookies it reloads from disk at start, so the jar
// keeps its own copy in savePath (when given) and starts from it: a login of an earlier session
// reaches fast-mode downloads as it reaches the browsers. Session cookies are kept like the others,
// as the profile keeps them.
class CookieBridge final : public QNetworkCookieJar
{
    Q_OBJECT
public:
    explicit CookieBridge(QWebEngineCookieStore *store, const QString &savePath = QString(),
                          QObject *parent = nullptr);
    ~CookieBridge() override;

    bool setCookiesFromUrl(const QList<QNetworkCookie> &cookieList, const QUrl &url) override;

    // Every cookie the jar holds now.
    QList<QNetworkCookie> cookies() const { return allCookies(); }

    // Writes the copy now instead of shortly after the last change.
    void save();

    static constexpr int saveDelayMs = 500;

private:
    void storeAdded(const QNetworkCookie &cookie);
    void storeRemoved(const QNetworkCookie &cookie);
    void load();
    void changed();

    QWebEngineCookieStore *m_store;
    QString m_savePath;
    QTimer m_saveTimer;
};
