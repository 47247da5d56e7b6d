#include "FakeDownloader.h"

#include <QFile>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

void FakeDownloader::BeginDownload(const QString &url, const QString &SaveFile)
{
    下载状态 = true;
    urls.append(url);
    saveFile = SaveFile;
    if (autoFinish)
        QTimer::singleShot(0, this, [this] { succeed(); });
}

void FakeDownloader::succeed(const QByteArray &body)
{
    if (!下载状态)
        return;
    if (writeFile) {
        QFile file(saveFile);
        if (file.open(QIODevice::WriteOnly))
            file.write(body);
    }
    emit DownloadProgress(body.size(), body.size(), saveFile);
    下载状态 = false;
    emit DownloadComplete(body.size(), saveFile);
}

void FakeDownloader::fail()
{
    if (!下载状态)
        return;
    下载状态 = false;
    emit DownloadError(saveFile, u"scripted failure"_s);
    emit DownloadComplete(0, saveFile);
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
