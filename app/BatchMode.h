#pragma once

#include "engine/DownloadDriver.h"

#include <QStringList>

#include <array>
#include <functional>

class Browser;
class SettingsStore;

// What the batch mode needs from the build it runs in.
struct BatchServices
{
    SettingsStore *store = nullptr;
    DownloaderFactory downloaders;
    // The ten page browsers for --mode page; empty in a build without the browser.
    std::function<std::array<Browser *, DownloadDriver::SlotCount>()> pageBrowsers;
};

// `quillmoor --batch LISTFILE [options]`: runs the same driver, slots and texts as the window's
// start command, without a window. Returns the process exit status: 0 when every row finished
// without an error remark, 1 when some did not, 2 for bad options or an unreadable list file.
int runBatch(const QStringList &arguments, const BatchServices &services);

// A fast-mode batch as a program of its own: the application object, the stored settings, and the
// cookies and User-Agent the browsers left on disk (a login made in the window holds here too);
// no browser is started. Returns runBatch's exit status.
int runFastBatch(int argc, char *argv[]);

// The usage text printed for bad options.
QString batchUsage();

// Prints the usage text on standard output, for --help; returns the exit status, 0.
int printUsage();
