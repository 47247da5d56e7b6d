#include "shell/BrowserTab.h"

#include "engine/DownloadSettings.h"
#include "engine/SaveNames.h"
#include "platform/Dialogs.h"

#include <QCoreApplication>
#include <QLabel>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

// The list receives the harvested links once the built-in browser provides them.
BrowserTab::BrowserTab(UrlList & /*list*/, DownloadSettings &settings, Dialogs &dialogs, QWidget *parent)
    : QWidget(parent), m_settings(settings), m_dialogs(dialogs)
{
    setObjectName(u"BrowserTab"_s);
    m_browserArea = new QWidget(this);
    m_browserArea->setObjectName(u"WebBrowser1"_s);
    m_browserArea->setAutoFillBackground(true);
    QPalette palette = m_browserArea->palette();
    palette.setColor(QPalette::Window, Qt::white);
    m_browserArea->setPalette(palette);

    m_addressLabel = new QLabel(m_browserArea);
    m_addressLabel->setObjectName(u"WebBrowser1Address"_s);
    m_addressLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *areaLayout = new QVBoxLayout(m_browserArea);
    areaLayout->addWidget(m_addressLabel, 0, Qt::AlignTop | Qt::AlignLeft);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(m_browserArea);
}

void BrowserTab::navigate(const QString &address)
{
    m_address = address;
    m_addressLabel->setText(address);
}

void BrowserTab::showTab()
{
    emit showRequested();
    QCoreApplication::processEvents();
}

QString BrowserTab::clipboardAddress() const
{
    const QString text = m_dialogs.clipboardText();
    return startsWithHttp(text) ? text : QString();
}

void BrowserTab::ShowLoginPage()
{
    showTab();
    navigate(m_settings.loginUrl());
}

void BrowserTab::BrowseAddress()
{
    const QString answer = m_dialogs.inputBox(u"请输入需要浏览的网址："_s, clipboardAddress());
    if (answer.isEmpty())
        return;
    showTab();
    navigate(answer);
}

void BrowserTab::ImportPageFile()
{
    showTab();
    const QString path = m_dialogs.openFileName(u"*.htm (*.htm);;*.html (*.html)"_s);
    if (!path.isEmpty())
        导入网页链接(path);
}

void BrowserTab::importByAddress()
{
    const QString answer = m_dialogs.inputBox(u"请输入需要导入的网址："_s, clipboardAddress());
    if (answer.isEmpty())
        return;
    showTab();
    导入网页链接(answer);
}

void BrowserTab::导入网页链接(const QString &文件路径)
{
    if (!startsWithHttp(文件路径) && !localFileExists(文件路径)) {
        m_dialogs.message(u"该文件不存在！"_s, Dialogs::Icon::Critical);
        return;
    }
    navigate(文件路径);
    // Harvesting needs the loaded document, which the built-in browser provides.
}

void BrowserTab::HarvestLinks()
{
    // The links of the shown page come from the built-in browser; without it there are none.
}
