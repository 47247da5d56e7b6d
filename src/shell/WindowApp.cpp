#include "shell/WindowApp.h"

#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/HttpDownloader.h"
#include "engine/PageSourceReplacements.h"
#include "engine/UrlList.h"
#include "platform/QSettingsStore.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "shell/MainWindow.h"
#include "shell/QtDialogs.h"
#include "shell/Resources.h"

#include <QApplication>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

void prepareBrowserEngine()
{
    // The engine reaches beyond the machine only for the pages it is told to load: no
    // background requests, no component updates.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (flags.trimmed().isEmpty())
        flags = "--disable-background-networking --disable-component-update";
    // Without a display there is no graphics hardware to use; the engine draws in software.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if ((platform.startsWith("offscreen") || platform.startsWith("minimal")) && !flags.contains("--disable-gpu"))
        flags += " --disable-gpu";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    // The engine refuses its sandbox when run as root.
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

int runWindowApp(int argc, char *argv[])
{
    prepareBrowserEngine();
    QApplication app(argc, argv);
    QApplication::setOrganizationName(Resources::programName());
    QApplication::setApplicationName(Resources::programName());
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
