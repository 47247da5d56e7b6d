// quillmoor-window: the window, and the runs that need the browser engine (page-mode batches,
// --harvest). `quillmoor` hands these over to it; started by itself it takes every option
// `quillmoor` takes.
#include "BatchMode.h"
#include "CommandLine.h"
#include "HarvestMode.h"

#include "engine/HttpDownloader.h"
#include "platform/AppIdentity.h"
#include "platform/QSettingsStore.h"
#include "platform/web/BrowserEngine.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "platform/web/WebEngineBrowser.h"
#include "shell/WindowApp.h"

#include <QApplication>

#include <array>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

QtMessageHandler defaultMessageHandler = nullptr;

// Without a display the browser engine reports its graphics set-up at length; a script's
// standard error should carry only our own lines.
void quietBrowserMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtCriticalMsg && type != QtFatalMsg
        && (qstrcmp(context.category, "qt.webenginecontext") == 0 || message.startsWith(u"WebEngineContext"_s)))
        return;
    defaultMessageHandler(type, context, message);
}

// Runs without a window that need the browser: page-mode batch and --harvest.
int runWithBrowser(int argc, char *argv[])
{
    BrowserEngine::prepare(BrowserEngine::Display::None);
    if (qEnvironmentVariableIsEmpty("QUILLMOOR_DEBUG"))
        defaultMessageHandler = qInstallMessageHandler(quietBrowserMessages);
    QApplication app(argc, argv);
    AppIdentity::apply();

    BrowserProfile profile;
    std::array<std::unique_ptr<WebEngineBrowser>, DownloadDriver::SlotCount> browsers;
    std::array<Browser *, DownloadDriver::SlotCount> pointers{};
    for (std::size_t i = 0; i < browsers.size(); ++i) {
        browsers[i] = std::make_unique<WebEngineBrowser>(profile.profile());
        browsers[i]->setSilent(true);
        pointers[i] = browsers[i].get();
    }

    int status = 0;
    if (CommandLine::hasOption(argc, argv, "--harvest")) {
        status = runHarvest(CommandLine::programArguments(), *browsers[0]);
    } else {
        QSettingsStore store;
        BatchServices services;
        services.store = &store;
        services.downloaders = HttpDownloader::factory(profile.cookieJar(), profile.userAgent());
        services.pageBrowsers = [pointers] { return pointers; };
        status = runBatch(CommandLine::programArguments(), services);
    }
    // Every browser goes before the profile they use.
    for (auto &browser : browsers)
        browser.reset();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    using namespace CommandLine;
    if (helpWanted(argc, argv))
        return printUsage();
    if (hasOption(argc, argv, "--harvest"))
        return runWithBrowser(argc, argv);
    if (hasOption(argc, argv, "--batch"))
        return pageModeWanted(argc, argv) ? runWithBrowser(argc, argv) : runFastBatch(argc, argv);
    return runWindowApp(argc, argv);
}
