#include "shell/WindowApp.h"

#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/HttpDownloader.h"
#include "engine/PageSourceReplacements.h"
#include "engine/UrlList.h"
#include "platform/QSettingsStore.h"
#include "platform/AppIdentity.h"
#include "platform/web/BrowserEngine.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "shell/MainWindow.h"
#include "shell/QtDialogs.h"
#include "shell/Resources.h"

#include <QApplication>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

int runWindowApp(int argc, char *argv[])
{
    BrowserEngine::prepare(BrowserEngine::Display::Screen);
    QApplication app(argc, argv);
    AppIdentity::apply();
    QApplication::setWindowIcon(Resources::programIcon());
    // Closing the window only hides it; the program ends through its exit command.
    QApplication::setQuitOnLastWindowClosed(false);

    // Declared in the order of need: destroyed in reverse, the window (with every browser) goes
    // before the profile, and the downloaders (with the driver) before the profile's cookie jar,
    // so that a transfer cut short by the exit discards its temporary file.
    BrowserProfile profile;
    QSettingsStore store;
    DownloadSettings settings(store);
    settings.load();
    PageSourceReplacements replacements(store);
    UrlList list;
    DownloadDriver driver(list, settings);
    // Fast-mode downloads carry the browsers' cookies (a login made in the window) and User-Agent.
    driver.setDownloaderFactory(
        HttpDownloader::factory(profile.cookieJar(), profile.userAgent()));
    QtDialogs dialogs;

    MainWindow window(list, settings, driver, replacements, dialogs, &profile);
    dialogs.setOwner(&window);
    QObject::connect(&window, &MainWindow::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    window.show();
    return QApplication::exec();
}
