#include "BatchMode.h"

#include "engine/HttpDownloader.h"
#include "platform/QSettingsStore.h"

#ifndef QUILLMOOR_NO_GUI
#include "shell/WindowApp.h"
#endif

#include <QCoreApplication>
#include <QNetworkAccessManager>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

bool hasOption(int argc, char *argv[], const char *option)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], option) == 0)
            return true;
    }
    return false;
}

int runHeadless(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Quillmoor"_s);
    QCoreApplication::setApplicationName(u"Quillmoor"_s);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();

    QSettingsStore store;
    QNetworkAccessManager network;
    BatchServices services;
    services.store = &store;
    services.downloaders = HttpDownloader::factory(network);
    return runBatch(arguments, services);
}

} // namespace

int main(int argc, char *argv[])
{
    if (hasOption(argc, argv, "--batch"))
        return runHeadless(argc, argv);
    if (hasOption(argc, argv, "--help") || hasOption(argc, argv, "-h")) {
        std::fputs(batchUsage().toUtf8().constData(), stdout);
        return 0;
    }
#ifndef QUILLMOOR_NO_GUI
    return runWindowApp(argc, argv);
#else
    std::fputs("quillmoor: this build has no window; use --batch\n", stderr);
    std::fputs(batchUsage().toUtf8().constData(), stderr);
    return 2;
#endif
}
