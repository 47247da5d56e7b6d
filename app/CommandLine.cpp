#include "CommandLine.h"

#include "engine/DownloadSettings.h"
#include "platform/AppIdentity.h"
#include "platform/QSettingsStore.h"

#include <QCoreApplication>

namespace CommandLine {

const char *optionValue(int argc, char *argv[], const char *option)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], option) == 0)
            return i + 1 < argc ? argv[i + 1] : "";
    }
    return nullptr;
}

bool hasOption(int argc, char *argv[], const char *option) { return optionValue(argc, argv, option) != nullptr; }

bool helpWanted(int argc, char *argv[]) { return hasOption(argc, argv, "--help") || hasOption(argc, argv, "-h"); }

QStringList programArguments()
{
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return arguments;
}

bool pageModeWanted(int argc, char *argv[])
{
    if (const char *mode = optionValue(argc, argv, "--mode"))
        return qstrcmp(mode, "page") == 0;
    AppIdentity::apply();
    QSettingsStore store;
    const QString stored = store.value(DownloadSettings::keyDownloadMode(), DownloadSettings::modeFast());
    return stored != DownloadSettings::modeFast();
}

} // namespace CommandLine
