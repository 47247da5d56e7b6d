#pragma once

#include "engine/DownloadDriver.h"

#include <QMainWindow>

#include <array>
#include <functional>

class Browser;
class BrowserProfile;
class BrowserTab;
class Dialogs;
class DownloadSettings;
class ListTab;
class PageSourceReplacements;
class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QTabWidget;
class QTimer;
class RunOverview;
class SettingsTab;
class ToolStrip;
class TrayIcon;
class UrlList;

// The main window: tool strip, the tabs, status bar, menu bar, tray icon and the window's own
// timers. It builds the pieces and wires them to each other and to the download driver; the
// commands themselves live in the tabs. Everything handed in must outlive the window.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    enum Tab { BrowserTabIndex = 0, ListTabIndex = 1, SettingsTabIndex = 2, PageBrowsersTabIndex = 3 };

    // With a browser profile the window holds the real browsers: WebBrowser1 and the ten page
    // browsers, which it hands to the driver. Without one there are no page browsers and
    // WebBrowser1 only remembers addresses. The profile must outlive the window.
    MainWindow(UrlList &list, DownloadSettings &settings, DownloadDriver &driver, PageSourceReplacements &replacements,
               Dialogs &dialogs, BrowserProfile *profile = nullptr, QWidget *parent = nullptr);
    ~MainWindow() override;

    bool exitRequested() const { return m_exitRequested; }
    // Whether the desktop has a notification area; asked at every close. Without one the close
    // box acts as the exit command, so the program never runs on with no way back to it.
    void setTrayAvailability(std::function<bool()> available) { m_trayAvailable = std::move(available); }

    TrayIcon *trayIcon() const { return m_tray; }
    BrowserTab *browserTab() const { return m_browserTab; }
    ListTab *listTab() const { return m_listTab; }
    SettingsTab *settingsTab() const { return m_settingsTab; }
    RunOverview *runOverview() const { return m_overview; }
    // WBdown_1..WBdown_10 (index 0 is slot 1); all null without a browser profile.
    const std::array<Browser *, DownloadDriver::SlotCount> &pageBrowsers() const { return m_pageBrowsers; }

    // Command7: asks while a run is on, then quits through Timer2.
    void exitCommand();
    // The handlers of the window's timers, public so that tests can drive them.
    void lightsTick();         // Timer4
    void exitTimerFired();     // Timer2
    void timedDownloadTick();  // Timer3
    // The three maker pages of the help menu, sections of the shipped manual.
    void showMakerPage(const QString &anchor);
    void showAbout();
    void showInternetOptions();

signals:
    // The window has taken its leave (tray icon removed); the program should end now.
    void quitRequested();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildCentralArea(PageSourceReplacements &replacements);
    QWidget *buildPageBrowsersTab();
    void buildStatusBar();
    void buildMenus();
    void buildImportMenu(QMenuBar *bar);
    void buildOperationMenu(QMenuBar *bar);
    void buildHelpMenu(QMenuBar *bar);
    QAction *addMenuAction(QMenu *menu, const QString &name, const QString &caption);
    void buildTimers();
    void connectToolStrip();
    void connectTabs();
    // The run's overview in the status bar, the progress bar and the tray; the list follows the run.
    void connectOverview();
    void centreOnScreen();
    void setTimedDownload(bool on);

    UrlList &m_list;
    DownloadSettings &m_settings;
    DownloadDriver &m_driver;
    Dialogs &m_dialogs;
    BrowserProfile *m_profile;
    std::array<Browser *, DownloadDriver::SlotCount> m_pageBrowsers{};

    ToolStrip *m_toolStrip;
    QTabWidget *m_tabs;
    BrowserTab *m_browserTab;
    ListTab *m_listTab;
    SettingsTab *m_settingsTab;
    QLabel *m_panels[3];
    QLabel *m_overviewPanel;
    RunOverview *m_overview;
    TrayIcon *m_tray = nullptr;

    QTimer *m_exitTimer;   // Timer2
    QTimer *m_timedTimer;  // Timer3
    QTimer *m_lightsTimer; // Timer4
    int m_minutesSinceTimedRun = 0;

    bool m_exitRequested = false;
    bool m_leaving = false; // the exit command stops the run: no notice of its end
    std::function<bool()> m_trayAvailable;
};
