#pragma once

#include "engine/Downloader.h"

#include <QByteArray>
#include <QStringList>

// A scriptable fast-mode component. By default a download stays under way until the test ends
// it with succeed() or fail(); with autoFinish it succeeds on the next turn of the event loop.
class FakeDownloader final : public Downloader
{
    Q_OBJECT
public:
    explicit FakeDownloader(int slot, QObject *parent = nullptr) : Downloader(parent), m_slot(slot) {}

    void start(const DownloadRequest &request) override;
    void cancel() override { ++cancels; }
    bool isBusy() const override { return busy; }

    // Writes body to the save file (when writeFile) and ends the download successfully.
    void succeed(const QByteArray &body = QByteArrayLiteral("data"));
    void fail();

    int slot() const { return m_slot; }

    bool autoFinish = false;
    bool writeFile = true;
    bool busy = false;
    QStringList urls;
    DownloadRequest request;
    int cancels = 0;

private:
    int m_slot;
};

// A factory whose components are kept in `made` (index 0 is slot 1) for the test to drive.
DownloaderFactory fakeDownloaderFactory(QList<FakeDownloader *> *made, bool autoFinish = false);
