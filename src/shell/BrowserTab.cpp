#include "shell/BrowserTab.h"

#include "engine/DownloadSettings.h"
#include "platform/Browser.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/WebEngineBrowser.h"
#include "shell/HarvestFilterDialog.h"
#include "urllist/HarvestCommands.h"
#include "urllist/HarvestFilter.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMetaObject>
#include <QVBoxLayout>
#include <QWebEngineView>

using namespace Qt::Literals::StringLiterals;

namespace {

// Stands in for the browser where the window has no browser profile: it remembers the address
// and shows it, but loads nothing, so no page is ever shown.
class AddressOnlyBrowser final : public Browser
{
public:
    AddressOnlyBrowser(QLabel *label, QObject *parent) : Browser(parent), m_label(label) {}

    void setSilent(bool silent) override { m_silent = silent; }
    bool silent() const override { return m_silent; }
    void navigate(const QString &address) override { m_label->setText(address); }
    void stop() override {}
    bool isBusy() const override { return false; }
    QString location() const override { return {}; }
    void readDocument(std::function<void(const BrowserDocument &)> done) override
    {
        QMetaObject::invokeMethod(this, [done = std::move(done)] { done({}); }, Qt::QueuedConnection);
    }
    void readLinks(std::function<void(const QList<BrowserLink> &)> done) override
    {
        QMetaObject::invokeMethod(this, [done = std::move(done)] { done({}); }, Qt::QueuedConnection);
    }

private:
    QLabel *m_label;
    bool m_silent = false;
};

} // namespace

BrowserTab::BrowserTab(UrlList &list, DownloadSettings &settings, Dialogs &dialogs, BrowserProfile *profile,
                       QWidget *parent)
    : QWidget(parent), m_settings(settings)
{
    setObjectName(u"BrowserTab"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);

    if (profile) {
        // The view first, so that it goes before the page it shows.
        auto *view = new QWebEngineView(this);
        auto *browser = new WebEngineBrowser(profile->profile(), this);
        view->setObjectName(u"WebBrowser1"_s);
        view->setPage(browser->page());
        layout->addWidget(view);
        m_browser = browser;
    } else {
        auto *area = new QWidget(this);
        area->setObjectName(u"WebBrowser1"_s);
        area->setAutoFillBackground(true);
        QPalette palette = area->palette();
        palette.setColor(QPalette::Window, Qt::white);
        area->setPalette(palette);
        auto *label = new QLabel(area);
        label->setObjectName(u"WebBrowser1Address"_s);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        auto *areaLayout = new QVBoxLayout(area);
        areaLayout->addWidget(label, 0, Qt::AlignTop | Qt::AlignLeft);
        layout->addWidget(area);
        m_browser = new AddressOnlyBrowser(label, this);
    }
    m_browser->setObjectName(u"WebBrowser1Browser"_s);

    // New windows a page opens are left to the engine's default; a page's script never closes
    // the browser.
    m_browser->setCancelNewWindows(false);
    m_browser->setCancelWindowClosing(true);
    connect(m_browser, &Browser::statusTextChanged, this, &BrowserTab::statusTextChanged);

    HarvestHost host;
    host.showTab = [this](int tab) {
        emit tabRequested(tab);
        QCoreApplication::processEvents();
    };
    host.progress = [this](qint64 value, qint64 maximum) { emit progressChanged(value, maximum); };
    host.review = [this](HarvestFilter &filter) {
        if (!m_settings.filterHarvest())
            return HarvestReview::AddAsFound;
        HarvestFilterDialog dialog(filter, window());
        return dialog.exec() == QDialog::Accepted ? HarvestReview::AddKept : HarvestReview::AddNothing;
    };
    m_commands = new HarvestCommands(*m_browser, list, dialogs, std::move(host), this);

    // Start-up: silent, parked on the empty page, stopped.
    m_browser->setSilent(true);
    m_browser->navigate(QString());
    m_browser->stop();
}

BrowserTab::~BrowserTab()
{
    // The commands listen to the browser: they go first.
    delete m_commands;
    m_commands = nullptr;
}

void BrowserTab::navigate(const QString &address)
{
    m_address = address;
    // Shown like the login page: an import still waiting for its page gives up, so that it never
    // harvests this one.
    m_commands->showLoginPage(address);
}

void BrowserTab::showLoginPage() { m_commands->showLoginPage(m_settings.loginUrl()); }

void BrowserTab::browseAddress() { m_commands->browseAddress(); }

void BrowserTab::importPageFile() { m_commands->importPageFile(); }

void BrowserTab::importByAddress() { m_commands->importByAddress(); }

void BrowserTab::harvestLinks() { m_commands->harvestLinks(); }
