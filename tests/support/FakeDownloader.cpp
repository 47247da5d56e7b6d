#include "FakeDownloader.h"

#include <QFile>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

void FakeDownloader::start(const DownloadRequest &startRequest)
{
    busy = true;
    request = startRequest;
    urls.append(request.url);
    if (autoFinish)
        QTimer::singleShot(0, this, [this] { succeed(); });
}

void FakeDownloader::succeed(const QByteArray &body)
{
    if (!busy)
        return;
    if (writeFile) {
        QFile file(request.savePath);
        if (file.open(QIODevice::WriteOnly))
            file.write(body);
    }
    emit progress(body.size(), body.size());
    busy = false;
    DownloadResult result;
    result.outcome = DownloadResult::Outcome::Saved;
    result.size = body.size();
    result.savedPath = request.savePath;
    emit finished(result);
}

void FakeDownloader::fail()
{
    if (!busy)
        return;
    busy = false;
    DownloadResult result;
    result.reason = u"scripted failure"_s;
    emit finished(result);
}

DownloaderFactory fakeDownloaderFactory(QList<FakeDownloader *> *made, bool autoFinish)
{
    return [made, autoFinish](int slot) {
        auto downloader = std::make_unique<FakeDownloader>(slot);
        downloader->autoFinish = autoFinish;
        if (made)
            made->append(downloader.get());
        return std::unique_ptr<Downloader>(std::move(downloader));
    };
}
