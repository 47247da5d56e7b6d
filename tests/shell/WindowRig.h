#pragma once

#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/PageSourceReplacements.h"
#include "engine/UrlList.h"
#include "platform/MemorySettingsStore.h"
#include "shell/MainWindow.h"
#include "support/FakeDialogs.h"
#include "support/FakeDownloader.h"

#include <QAction>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The main window over an in-memory store, scripted dialogs and, unless a factory is given,
// fast components that stay busy until the test ends their transfers. With a browser profile the
// window holds the real browsers on it.
struct WindowRig
{
    QTemporaryDir saveFolder; // a run makes its save folder: never one of the user's
    MemorySettingsStore store;
    DownloadSettings settings{store};
    PageSourceReplacements replacements{store};
    UrlList list;
    QList<FakeDownloader *> downloaders;
    DownloadDriver driver{list, settings};
    FakeDialogs dialogs;
    std::unique_ptr<MainWindow> window;

    explicit WindowRig(const DownloaderFactory &factory = {}, bool trayAvailable = true, BrowserProfile *profile = nullptr)
    {
        settings.load();
        settings.overrideSaveFolder(saveFolder.path());
        driver.setDownloaderFactory(factory ? factory : fakeDownloaderFactory(&downloaders));
        window = std::make_unique<MainWindow>(list, settings, driver, replacements, dialogs, profile);
        window->setTrayAvailability([trayAvailable] { return trayAvailable; });
    }

    template <typename T = QWidget>
    T *find(const QString &name) const { return window->findChild<T *>(name); }
    QAction *action(const QString &name) const { return window->findChild<QAction *>(name); }

    void addRows(const QStringList &urls)
    {
        for (const QString &url : urls)
            list.append(QStringLiteral("name%1").arg(list.count() + 1), url);
    }

    // The focus moves between widgets only in the active window.
    bool showActive()
    {
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get());
    }
};
