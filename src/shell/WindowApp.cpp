#include "shell/WindowApp.h"

#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/HttpDownloader.h"
#include "engine/ListStore.h"
#include "engine/PageSourceReplacements.h"
#include "engine/UrlList.h"
#include "platform/QSettingsStore.h"
#include "platform/AppIdentity.h"
#include "platform/web/BrowserEngine.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "platform/SingleInstance.h"
#include "shell/FileImportQueue.h"
#include "shell/ListTab.h"
#include "shell/MainWindow.h"
#include "shell/QtDialogs.h"
#include "shell/Resources.h"

#include <QApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// Every argument that is not an option names a file: made absolute, so that a window started in
// another folder finds it.
QStringList fileArguments()
{
    QStringList files;
    const QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i].startsWith(u'-'))
            std::fprintf(stderr, "quillmoor: option %s ignored (the window takes files only)\n", qPrintable(arguments[i]));
        else
            files << QFileInfo(arguments[i]).absoluteFilePath();
    }
    return files;
}

// Out of the tray, out of the minimized state, and on top.
void bringUp(QWidget &window)
{
    window.show();
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.raise();
    window.activateWindow();
}

// Qt's own texts (the buttons of message boxes, the file dialogs) in the window's language:
// the system's Chinese when Qt has it (zh_TW), else simplified Chinese. Missing files leave
// them English.
void installQtTranslations(QCoreApplication &app)
{
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    const QLocale system = QLocale::system();
    const bool systemChinese = system.language() == QLocale::Chinese
        && QFileInfo::exists(folder + u"/qtbase_"_s + system.name() + u".qm"_s);
    const QLocale chosen = systemChinese ? system : QLocale(QLocale::Chinese, QLocale::China);
    for (const QString &catalogue : {u"qtbase"_s, u"qt"_s}) {
        auto *translator = new QTranslator(&app);
        if (translator->load(chosen, catalogue, u"_"_s, folder))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}

} // namespace

int runWindowApp(int argc, char *argv[])
{
    BrowserEngine::prepare(BrowserEngine::Display::Screen);
    QApplication app(argc, argv);
    AppIdentity::apply();
    installQtTranslations(app);
    // One window per user: a later start hands its files to the window there is, and ends.
    const QStringList files = fileArguments();
    SingleInstance instance(SingleInstance::serverNameForUser());
    if (instance.handOver(files))
        return 0;
    if (!instance.listen())
        std::fputs("quillmoor: the window cannot take its name; later starts will open windows of their own\n", stderr);
    QGuiApplication::setDesktopFileName(AppIdentity::desktopId());
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
    // The list and its rows' outcomes as the last session left them; kept from now on.
    ListStore listStore(list);
    DownloadDriver driver(list, settings);
    // Fast-mode downloads carry the browsers' cookies (a login made in the window) and User-Agent.
    driver.setDownloaderFactory(
        HttpDownloader::factory(profile.cookieJar(), profile.userAgent()));
    QtDialogs dialogs;

    MainWindow window(list, settings, driver, replacements, dialogs, &profile);
    dialogs.setOwner(&window);
    // Queued: a file that cannot be opened is reported once the window is up.
    QObject::connect(&listStore, &ListStore::unusable, &window, [&dialogs](const QString &reason) {
        dialogs.message(u"无法保存网址列表："_s + reason, Dialogs::Icon::Critical);
    }, Qt::QueuedConnection);
    listStore.open(ListStore::defaultPath());
    QObject::connect(&window, &MainWindow::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    window.show();

    FileImportQueue imports(*window.listTab(), *window.browserTab());
    QObject::connect(&instance, &SingleInstance::filesReceived, &window, [&](const QStringList &handedOver) {
        bringUp(window);
        imports.add(handedOver);
    });
    QObject::connect(window.listTab(), &ListTab::filesDropped, &imports, &FileImportQueue::add);
    QTimer::singleShot(0, &imports, [&] { imports.add(files); });
    const int status = QApplication::exec();
    listStore.flush();
    return status;
}
