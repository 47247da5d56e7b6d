#include "shell/InternetOptionsDialog.h"

#include "platform/Dialogs.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

using namespace Qt::Literals::StringLiterals;

InternetOptionsDialog::InternetOptionsDialog(BrowserProfile *profile, Dialogs &dialogs, QWidget *parent)
    : QDialog(parent), m_profile(profile), m_dialogs(dialogs)
{
    setObjectName(u"InternetOptionsDialog"_s);
    setWindowTitle(u"Internet选项"_s);

    auto *text = new QLabel(u"内置浏览器和十个网页下载浏览器共用一份浏览器配置（Cookie、登陆状态和缓存），"
                            u"快速下载也带着这些 Cookie。"_s,
                            this);
    text->setObjectName(u"lblExplanation"_s);
    text->setWordWrap(true);

    auto *cookies = new QPushButton(u"清除Cookie（退出所有网站的登陆）(&C)"_s, this);
    cookies->setObjectName(u"cmdClearCookies"_s);
    auto *cache = new QPushButton(u"清除缓存(&H)"_s, this);
    cache->setObjectName(u"cmdClearCache"_s);
    cookies->setEnabled(m_profile != nullptr);
    cache->setEnabled(m_profile != nullptr);
    connect(cookies, &QPushButton::clicked, this, &InternetOptionsDialog::clearCookies);
    connect(cache, &QPushButton::clicked, this, &InternetOptionsDialog::clearCache);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *close = buttons->addButton(u"关闭"_s, QDialogButtonBox::RejectRole);
    close->setObjectName(u"cmdClose"_s);
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(cookies);
    layout->addWidget(cache);
    layout->addStretch(1);
    layout->addWidget(buttons);
    resize(420, 180);
}

void InternetOptionsDialog::deleteAllCookies(BrowserProfile &profile)
{
    profile.profile()->cookieStore()->deleteAllCookies();
    // The store reports the removals later, one by one; the jar empties now, so a fast-mode
    // download started right after this carries no login, and its saved copy follows at once.
    CookieBridge *jar = profile.cookieJar();
    const QList<QNetworkCookie> cookies = jar->cookies();
    for (const QNetworkCookie &cookie : cookies)
        jar->deleteCookie(cookie);
    jar->save();
}

void InternetOptionsDialog::clearCookies()
{
    if (!m_profile)
        return;
    deleteAllCookies(*m_profile);
    m_dialogs.message(u"Cookie已清除，所有网站的登陆都已退出。"_s, Dialogs::Icon::Information);
}

void InternetOptionsDialog::clearCache()
{
    if (!m_profile)
        return;
    m_profile->profile()->clearHttpCache();
    m_dialogs.message(u"缓存已清除。"_s, Dialogs::Icon::Information);
}
