#include "shell/MainWindow.h"

#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/PageSourceReplacements.h"
#include "engine/RunOverview.h"
#include "engine/UrlList.h"
#include "platform/Dialogs.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/WebEngineBrowser.h"
#include "shell/AboutDialog.h"
#include "shell/BrowserTab.h"
#include "shell/InternetOptionsDialog.h"
#include "shell/LayoutUnits.h"
#include "shell/ListTab.h"
#include "shell/Resources.h"
#include "shell/SettingsTab.h"
#include "shell/ToolStrip.h"
#include "shell/TrayIcon.h"
#include "platform/AppIdentity.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineView>

#include <algorithm>
#include <climits>

using namespace Qt::Literals::StringLiterals;

namespace {

QTimer *makeTimer(const QString &name, int intervalMs, QObject *parent)
{
    auto *timer = new QTimer(parent);
    timer->setObjectName(name);
    timer->setInterval(intervalMs);
    return timer;
}

} // namespace

MainWindow::MainWindow(UrlList &list, DownloadSettings &settings, DownloadDriver &driver,
                       PageSourceReplacements &replacements, Dialogs &dialogs, BrowserProfile *profile,
                       QWidget *parent)
    : QMainWindow(parent), m_list(list), m_settings(settings), m_driver(driver), m_dialogs(dialogs),
      m_profile(profile),
      m_trayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); })
{
    setObjectName(u"FormMain"_s);
    setWindowTitle(AppIdentity::name());
    setWindowIcon(Resources::programIcon());

    buildCentralArea(replacements);
    buildStatusBar();
    buildMenus();
    buildTimers();
    connectToolStrip();
    connectTabs();
    connectOverview();

    // The driver, the browser and the list import write the status bar.
    connect(&m_driver, &DownloadDriver::elapsedTextChanged, m_panels[1], &QLabel::setText);
    connect(&m_driver, &DownloadDriver::statusTextChanged, m_panels[0], &QLabel::setText);
    connect(&m_driver, &DownloadDriver::runRefused, this,
            [this](const QString &reason) { m_dialogs.message(reason, Dialogs::Icon::Critical); });
    connect(m_browserTab, &BrowserTab::statusTextChanged, m_panels[0], &QLabel::setText);
    connect(m_listTab, &ListTab::statusTextChanged, m_panels[0], &QLabel::setText);
    m_driver.setPageSourceFilter([&replacements](const QString &source) { return replacements.apply(source); });

    // Start-up, in order. The tray menu belongs to the tray icon and never shows in the menu bar.
    // WebBrowser1 was parked on the empty page as it was made; the page browsers are parked the
    // same way and handed to the driver.
    m_tabs->setTabVisible(PageBrowsersTabIndex, false);
    for (Browser *browser : m_pageBrowsers) {
        if (!browser)
            continue;
        browser->setSilent(true);
        browser->navigate(QString());
        browser->stop();
    }
    if (m_profile)
        m_driver.setPageBrowsers(m_pageBrowsers);
    m_settingsTab->showSettings();
    m_tray = new TrayIcon(*this);
    connect(m_tray, &TrayIcon::startRequested, this, [this] { m_driver.start(); });
    connect(m_tray, &TrayIcon::stopRequested, this, [this] { m_driver.stop(); });
    connect(m_tray, &TrayIcon::exitRequested, this, &MainWindow::exitCommand);
    m_tray->add(AppIdentity::name());

    m_tabs->setCurrentIndex(ListTabIndex);
    resize(QSize(twipsToPixels(10740), twipsToPixels(6630)).expandedTo(minimumSizeHint()));
    centreOnScreen();
    lightsTick();
    m_lightsTimer->start();
}

MainWindow::~MainWindow()
{
    // The browsers go with the window; the driver outlives it.
    if (m_profile)
        m_driver.setPageBrowsers({});
}

void MainWindow::buildCentralArea(PageSourceReplacements &replacements)
{
    auto *central = new QWidget(this);
    m_toolStrip = new ToolStrip(central);
    m_tabs = new QTabWidget(central);
    m_tabs->setObjectName(u"SSTab1"_s);
    m_browserTab = new BrowserTab(m_list, m_settings, m_dialogs, m_profile, m_tabs);
    m_listTab = new ListTab(m_list, m_dialogs, *m_toolStrip->progressBar(), m_tabs);
    m_settingsTab = new SettingsTab(m_settings, replacements, m_dialogs, m_tabs);
    m_tabs->addTab(m_browserTab, u"登陆和主网页"_s);
    m_tabs->addTab(m_listTab, u"网址列表"_s);
    m_tabs->addTab(m_settingsTab, u"下载设置"_s);
    m_tabs->addTab(buildPageBrowsersTab(), u"网页下载"_s);

    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(1, 0, 1, 0);
    layout->setSpacing(2);
    layout->addWidget(m_toolStrip);
    layout->addWidget(m_tabs, 1);
    setCentralWidget(central);
}

QWidget *MainWindow::buildPageBrowsersTab()
{
    // Tab k of SSTab2 holds the page browser of slot k.
    auto *page = new QWidget(m_tabs);
    page->setObjectName(u"PageBrowsersTab"_s);
    auto *inner = new QTabWidget(page);
    inner->setObjectName(u"SSTab2"_s);
    for (int n = 1; n <= DownloadDriver::SlotCount; ++n) {
        auto *tab = new QWidget(inner);
        tab->setObjectName(u"WBdownTab_%1"_s.arg(n));
        inner->addTab(tab, u"线程%1"_s.arg(n));
        if (!m_profile)
            continue;
        // The view is made before its browser and lies deeper in the window, so it goes first.
        auto *view = new QWebEngineView(tab);
        view->setObjectName(u"WBdown_%1"_s.arg(n));
        auto *browser = new WebEngineBrowser(m_profile->profile(), this);
        browser->setObjectName(u"WBdownBrowser_%1"_s.arg(n));
        view->setPage(browser->page());
        auto *tabLayout = new QVBoxLayout(tab);
        tabLayout->setContentsMargins(2, 2, 2, 2);
        tabLayout->addWidget(view);
        m_pageBrowsers[static_cast<std::size_t>(n - 1)] = browser;
    }
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(inner);
    return page;
}

void MainWindow::buildStatusBar()
{
    auto *bar = new QStatusBar(this);
    bar->setObjectName(u"StatusBar1"_s);
    for (int i = 0; i < 3; ++i) {
        m_panels[i] = new QLabel(bar);
        m_panels[i]->setObjectName(u"Panel%1"_s.arg(i + 1));
        m_panels[i]->setFrameShape(QFrame::Panel);
        m_panels[i]->setFrameShadow(QFrame::Sunken);
    }
    m_panels[1]->setMinimumWidth(twipsToPixels(1700));
    m_panels[2]->setMinimumWidth(twipsToPixels(1700));
    // The run's overview, shown from the first run on.
    m_overviewPanel = new QLabel(bar);
    m_overviewPanel->setObjectName(u"PanelOverview"_s);
    m_overviewPanel->setFrameShape(QFrame::Panel);
    m_overviewPanel->setFrameShadow(QFrame::Sunken);
    m_overviewPanel->setVisible(false);
    bar->addWidget(m_panels[0], 1);
    bar->addPermanentWidget(m_overviewPanel);
    bar->addPermanentWidget(m_panels[1]);
    bar->addPermanentWidget(m_panels[2]);
    setStatusBar(bar);
}

QAction *MainWindow::addMenuAction(QMenu *menu, const QString &name, const QString &caption)
{
    QAction *action = menu->addAction(caption);
    action->setObjectName(name);
    return action;
}

void MainWindow::buildMenus()
{
    QMenuBar *bar = menuBar();
    buildImportMenu(bar);
    bar->addMenu(m_listTab->listMenu());
    buildOperationMenu(bar);
    buildHelpMenu(bar);
}

void MainWindow::buildImportMenu(QMenuBar *bar)
{
    QMenu *import = bar->addMenu(u"导入(&I)"_s);
    import->setObjectName(u"menu导入"_s);
    connect(addMenuAction(import, u"menu导入网页"_s, u"导入网页文件(&W)"_s), &QAction::triggered, m_browserTab,
            &BrowserTab::importPageFile);
    connect(addMenuAction(import, u"menu导入文件"_s, u"导入文本文件(&F)"_s), &QAction::triggered, m_listTab,
            &ListTab::importTextFile);
    connect(addMenuAction(import, u"menu导入网址"_s, u"导入网址(&L)"_s), &QAction::triggered, m_browserTab,
            &BrowserTab::importByAddress);
    connect(addMenuAction(import, u"menu添加网址"_s, u"添加网址(&A)"_s), &QAction::triggered, m_listTab,
            &ListTab::addUrl);
    connect(addMenuAction(import, u"menu浏览网址"_s, u"浏览网址(&L)"_s), &QAction::triggered, m_browserTab,
            &BrowserTab::browseAddress);
    connect(addMenuAction(import, u"menu导入主网页所有链接"_s, u"导入主网页所有链接(&B)"_s), &QAction::triggered,
            m_browserTab, &BrowserTab::harvestLinks);
}

void MainWindow::buildOperationMenu(QMenuBar *bar)
{
    QMenu *operation = bar->addMenu(u"操作(&O)"_s);
    operation->setObjectName(u"menu操作"_s);
    connect(addMenuAction(operation, u"menu设置Internet选项"_s, u"设置Internet选项(&I)"_s), &QAction::triggered,
            this, &MainWindow::showInternetOptions);
    connect(addMenuAction(operation, u"menu开始下载"_s, u"开始下载(&D)"_s), &QAction::triggered, this,
            [this] { m_driver.start(); });
    connect(addMenuAction(operation, u"menu停止下载"_s, u"停止下载(&S)"_s), &QAction::triggered, this,
            [this] { m_driver.stop(); });
}

void MainWindow::buildHelpMenu(QMenuBar *bar)
{
    QMenu *help = bar->addMenu(u"帮助(&H)"_s);
    help->setObjectName(u"menu帮助"_s);
    connect(addMenuAction(help, u"menu关于"_s, u"关于(&A)"_s), &QAction::triggered, this, &MainWindow::showAbout);
    connect(addMenuAction(help, u"menu软件升级"_s, u"软件升级(&D)"_s), &QAction::triggered, this,
            [this] { showMakerPage(Resources::updateAnchor()); });
    connect(addMenuAction(help, u"menu作者主页"_s, u"作者主页(&W)"_s), &QAction::triggered, this,
            [this] { showMakerPage(Resources::authorAnchor()); });
    connect(addMenuAction(help, u"menu作者的其他软件"_s, u"作者的其他软件(&O)"_s), &QAction::triggered, this,
            [this] { showMakerPage(Resources::otherSoftwareAnchor()); });
}

void MainWindow::buildTimers()
{
    m_exitTimer = makeTimer(u"Timer2"_s, 100, this);
    m_exitTimer->setSingleShot(true);
    m_timedTimer = makeTimer(u"Timer3"_s, 60000, this);
    m_lightsTimer = makeTimer(u"Timer4"_s, 300, this);
    connect(m_exitTimer, &QTimer::timeout, this, &MainWindow::exitTimerFired);
    connect(m_timedTimer, &QTimer::timeout, this, &MainWindow::timedDownloadTick);
    connect(m_lightsTimer, &QTimer::timeout, this, &MainWindow::lightsTick);
}

void MainWindow::connectToolStrip()
{
    connect(m_toolStrip->loginButton(), &QPushButton::clicked, m_browserTab, &BrowserTab::showLoginPage);
    connect(m_toolStrip->importPageButton(), &QPushButton::clicked, m_browserTab, &BrowserTab::importPageFile);
    connect(m_toolStrip->importFileButton(), &QPushButton::clicked, m_listTab, &ListTab::importTextFile);
    connect(m_toolStrip->startButton(), &QPushButton::clicked, this, [this] { m_driver.start(); });
    connect(m_toolStrip->stopButton(), &QPushButton::clicked, this, [this] { m_driver.stop(); });
    connect(m_toolStrip->exitButton(), &QPushButton::clicked, this, &MainWindow::exitCommand);
}

void MainWindow::connectTabs()
{
    connect(m_browserTab, &BrowserTab::tabRequested, this, [this](int tab) { m_tabs->setCurrentIndex(tab); });
    connect(m_browserTab, &BrowserTab::progressChanged, this, [this](qint64 value, qint64 maximum) {
        QProgressBar *progress = m_toolStrip->progressBar();
        const auto clamp = [](qint64 v) { return static_cast<int>(std::clamp<qint64>(v, 0, INT_MAX)); };
        progress->setMaximum(clamp(maximum));
        progress->setValue(clamp(value));
    });
    connect(m_listTab, &ListTab::showRequested, this, [this] { m_tabs->setCurrentIndex(ListTabIndex); });
    connect(m_listTab, &ListTab::retryRequested, this, [this] {
        if (m_driver.isRunning())
            m_driver.settingsChanged(); // free slots take the rows at once
        else
            m_driver.start(DownloadDriver::StartFrom::Ready);
    });
    connect(m_listTab, &ListTab::cancelRowRequested, &m_driver, &DownloadDriver::cancelRow);
    connect(m_listTab, &ListTab::browseRequested, this, [this](const QString &address) {
        m_tabs->setCurrentIndex(BrowserTabIndex);
        m_browserTab->navigate(address);
    });
    m_listTab->setSeparatorSource([this] { return m_settingsTab->separatorText(); });
    connect(m_settingsTab, &SettingsTab::modeAboutToChange, this,
            [this](bool newModeIsFast) {
                m_driver.prepareModeChange(newModeIsFast ? DownloadDriver::Mode::Fast : DownloadDriver::Mode::Page);
            });
    connect(m_settingsTab, &SettingsTab::runSettingsChanged, &m_driver, &DownloadDriver::settingsChanged);
    connect(m_settingsTab, &SettingsTab::timedDownloadToggled, this, &MainWindow::setTimedDownload);
}

void MainWindow::connectOverview()
{
    connect(&m_driver, &DownloadDriver::runStarted, this, [this] {
        m_overviewPanel->setVisible(true);
        m_overviewPanel->setMinimumWidth(0);
        m_listTab->startFollowing();
    });
    m_overview = new RunOverview(this);
    m_overview->follow(m_driver, m_list);
    connect(m_overview, &RunOverview::changed, this, [this] {
        m_overviewPanel->setText(m_overview->text());
        // Never narrower during a run: the panels beside it stay still as the text changes.
        m_overviewPanel->setMinimumWidth(std::max(m_overviewPanel->minimumWidth(), m_overviewPanel->sizeHint().width()));
        QProgressBar *progress = m_toolStrip->progressBar();
        progress->setMaximum(std::max(1, m_overview->rowsInRun()));
        progress->setValue(m_overview->ended());
        if (m_overview->isRunning())
            m_listTab->follow(m_overview->lastRunning());
    });
    connect(&m_driver, &DownloadDriver::runEnded, this, [this] {
        if (m_leaving || !m_tray || !m_trayAvailable || !m_trayAvailable())
            return;
        const bool finished = m_overview->rowsLeft() == 0;
        m_tray->showMessage(finished ? u"下载完成"_s : u"下载已停止"_s, m_overview->text());
    });
}

void MainWindow::centreOnScreen()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = geometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

void MainWindow::lightsTick()
{
    const std::vector<bool> busy = m_driver.slotsBusy();
    for (std::size_t i = 0; i < busy.size(); ++i) {
        if (StatusLight *light = m_toolStrip->light(static_cast<int>(i) + 1))
            light->setFillColour(busy[i] ? StatusLight::Red : StatusLight::Green);
    }
    m_panels[2]->setText(m_list.linkCountText());
}

void MainWindow::exitCommand()
{
    if (m_driver.isRunning()) {
        if (!m_dialogs.askYesNo(u"目前正在下载中，一定要退出吗？"_s))
            return;
        m_leaving = true;
        m_driver.stop();
        QCoreApplication::processEvents();
    }
    m_exitTimer->start();
}

void MainWindow::exitTimerFired()
{
    m_exitRequested = true;
    m_tray->remove();
    close();
    emit quitRequested();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_exitRequested) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_trayAvailable && m_trayAvailable())
        hide();
    else
        exitCommand();
}

void MainWindow::setTimedDownload(bool on)
{
    m_minutesSinceTimedRun = 0;
    if (on)
        m_timedTimer->start();
    else
        m_timedTimer->stop();
}

void MainWindow::timedDownloadTick()
{
    if (++m_minutesSinceTimedRun < m_settings.intervalMinutes())
        return;
    m_minutesSinceTimedRun = 0;
    if (!m_driver.isRunning() && m_list.count() > 0)
        m_driver.start();
}

void MainWindow::showMakerPage(const QString &anchor)
{
    m_tabs->setCurrentIndex(BrowserTabIndex);
    showMaximized();
    m_browserTab->navigate(Resources::helpPageUrl(anchor).toString());
}

void MainWindow::showAbout()
{
    AboutDialog about(m_dialogs, this);
    about.exec();
}

void MainWindow::showInternetOptions()
{
    InternetOptionsDialog dialog(m_profile, m_dialogs, this);
    dialog.exec();
}
