#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// One slot's fast-mode download component: one transfer at a time, into the file it is handed.
// Events for one transfer come in this order: DownloadProgress* (only while the total is
// known), then DownloadError with the reason in plain words when the transfer failed, then
// DownloadComplete always.
// 下载状态 is already false when DownloadError and DownloadComplete arrive.
class Downloader : public QObject
{
    Q_OBJECT
public:
    explicit Downloader(QObject *parent = nullptr) : QObject(parent) {}
    ~Downloader() override = default;

    // True while a transfer is under way; only the component sets it.
    bool 下载状态 = false;

    virtual void BeginDownload(const QString &url, const QString &SaveFile) = 0;
    // Cancels the transfer, if any; never fails; does not touch 下载状态.
    virtual void CancelAsyncRead() = 0;

signals:
    void DownloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);
    void DownloadError(const QString &SaveFile, const QString &reason);
    void DownloadComplete(qint64 MaxBytes, const QString &SaveFile);
};

// Makes the component of slot N (1..10). The engine owns what it returns.
using DownloaderFactory = std::function<std::unique_ptr<Downloader>(int slot)>;
