#include "BatchMode.h"

#include "engine/DownloadSettings.h"
#include "engine/HttpDownloader.h"
#include "platform/AppIdentity.h"
#include "platform/QSettingsStore.h"
#include "platform/SavedCookies.h"

#ifndef QUILLMOOR_NO_GUI
#include "HarvestMode.h"
#include "platform/web/BrowserEngine.h"
#include "platform/web/BrowserProfile.h"
#include "platform/web/CookieBridge.h"
#include "platform/web/WebEngineBrowser.h"
#include "shell/WindowApp.h"

#include <QApplication>
#endif

#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const char *optionValue(int argc, char *argv[], const char *option)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], option) == 0)
            return i + 1 < argc ? argv[i + 1] : "";
    }
    return nullptr;
}

bool hasOption(int argc, char *argv[], const char *option) { return optionValue(argc, argv, option) != nullptr; }

QStringList programArguments()
{
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return arguments;
}

// Fast-mode batch: no browser is started; the cookies and User-Agent the browsers left on disk
// are sent, so a login made in the window holds here too.
int runFastBatch(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    AppIdentity::apply();
    QSettingsStore store;
    SavedCookieJar cookies(SavedCookies::read(SavedCookies::defaultPath()));
    BatchServices services;
    services.store = &store;
    services.downloaders =
        HttpDownloader::factory(&cookies, SavedCookies::readUserAgent(SavedCookies::userAgentPath()));
    return runBatch(programArguments(), services);
}

#ifndef QUILLMOOR_NO_GUI
// Does this batch run use page mode (by option, or else by the stored setting)?
bool pageModeWanted(int argc, char *argv[])
{
    if (const char *mode = optionValue(argc, argv, "--mode"))
        return qstrcmp(mode, "page") == 0;
    AppIdentity::apply();
    QSettingsStore store;
    const QString stored = store.value(DownloadSettings::keyDownloadMode(), DownloadSettings::modeFast());
    return stored != DownloadSettings::modeFast();
}

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
    if (hasOption(argc, argv, "--harvest")) {
        status = runHarvest(programArguments(), *browsers[0]);
    } else {
        QSettingsStore store;
        BatchServices services;
        services.store = &store;
        services.downloaders = HttpDownloader::factory(profile.cookieJar(), profile.userAgent());
        services.pageBrowsers = [pointers] { return pointers; };
        status = runBatch(programArguments(), services);
    }
    // Every browser goes before the profile they use.
    for (auto &browser : browsers)
        browser.reset();
    return status;
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    if (hasOption(argc, argv, "--help") || hasOption(argc, argv, "-h")) {
        std::fputs(batchUsage().toUtf8().constData(), stdout);
        return 0;
    }
#ifndef QUILLMOOR_NO_GUI
    if (hasOption(argc, argv, "--harvest"))
        return runWithBrowser(argc, argv);
    if (hasOption(argc, argv, "--batch"))
        return pageModeWanted(argc, argv) ? runWithBrowser(argc, argv) : runFastBatch(argc, argv);
    return runWindowApp(argc, argv);
#else
    if (hasOption(argc, argv, "--batch"))
        return runFastBatch(argc, argv);
    std::fputs("quillmoor: this build has no window and no browser; use --batch (fast mode)\n", stderr);
    std::fputs(batchUsage().toUtf8().constData(), stderr);
    return 2;
#endif
}
