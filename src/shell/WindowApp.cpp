#include "shell/WindowApp.h"

#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/DownloadSlot.h"
#include "engine/HttpDownloader.h"
#include "engine/PageSourceReplacements.h"
#include "engine/UrlList.h"
#include "platform/QSettingsStore.h"
#include "shell/FormMain.h"
#include "shell/QtDialogs.h"
#include "shell/Resources.h"

#include <QApplication>
#include <QNetworkAccessManager>

using namespace Qt::Literals::StringLiterals;

int runWindowApp(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Quillmoor"_s);
    QApplication::setWindowIcon(Resources::programIcon());
    // Closing the window only hides it; the program ends through its exit command.
    QApplication::setQuitOnLastWindowClosed(false);

    // Declared in the order of need: destroyed in reverse, the window goes first and the
    // downloaders (with the driver) before the network manager, so that a transfer cut short by
    // the exit discards its temporary file.
    QSettingsStore store;
    DownloadSettings settings(store);
    settings.load();
    PageSourceReplacements replacements(store);
    UrlList list;
    DownloadSlots slotBank;
    QNetworkAccessManager network;
    DownloadDriver driver(list, settings, slotBank);
    driver.setDownloaderFactory(HttpDownloader::factory(network));
    QtDialogs dialogs;

    FormMain window(list, settings, driver, replacements, dialogs);
    dialogs.setOwner(&window);
    QObject::connect(&window, &FormMain::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    window.show();
    return QApplication::exec();
}
