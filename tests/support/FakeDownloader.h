#pragma once

#include "engine/Downloader.h"

#include <QTimer>

#include <utility>

// A scriptable fast-mode component that writes nothing. A download stays under way until the
// test ends it with succeed() (4 bytes) or fail(), or cancels it; with autoFinish it succeeds on the next turn
// of the event loop.
class FakeDownloader final : public Downloader
{
public:
    void start(const DownloadRequest &started) override
    {
        busy = true;
        request = started;
        if (autoFinish)
            QTimer::singleShot(0, this, [this] { succeed(); });
    }
    void cancel() override { QTimer::singleShot(0, this, [this] { fail(); }); }
    bool isBusy() const override { return busy; }

    void succeed()
    {
        if (std::exchange(busy, false)) {
            emit progress(4, 4);
            emit finished({DownloadResult::Outcome::Saved, 4, request.savePath, {}});
        }
    }
    void fail(bool transient = false)
    {
        if (std::exchange(busy, false))
            emit finished({DownloadResult::Outcome::Failed, 0, {}, QStringLiteral("scripted failure"), transient});
    }

    bool autoFinish = false;
    bool busy = false;
    DownloadRequest request; // the last one started
};

// A factory whose components are kept in `made` (index 0 is slot 1) for the test to drive.
inline DownloaderFactory fakeDownloaderFactory(QList<FakeDownloader *> *made, bool autoFinish = false)
{
    return [made, autoFinish](int) {
        auto downloader = std::make_unique<FakeDownloader>();
        downloader->autoFinish = autoFinish;
        if (made)
            made->append(downloader.get());
        return std::unique_ptr<Downloader>(std::move(downloader));
    };
}
