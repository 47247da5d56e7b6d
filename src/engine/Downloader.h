#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// What happens when a file of the target's name is there by the time the download is complete.
enum class SameNameRule {
    Replace, // the download replaces it
    Keep,    // the file stays; the download is dropped and the row counts as skipped
    Rename,  // the download goes under the next free name
};

// One download: an address into a file.
struct DownloadRequest
{
    QString url = {};
    QString savePath = {};
    SameNameRule sameName = SameNameRule::Replace;
    // For the rename rule: the next free name once the one tried is taken; empty gives up
    // (the row counts as skipped).
    std::function<QString()> nextFreeName = {};
    // When set, a page (a markup answer) gets a base element for this address before it is
    // saved; anything else is saved byte for byte.
    QString baseAddress = {};
    // The caller's own mark for this download, handed back in its result.
    int tag = 0;
    // Asked once the server's answer is known, with its Content-Disposition file name and its
    // Content-Type: the path the file should have instead, or empty to keep savePath. The
    // same-name rule then holds for that path.
    std::function<QString(const QString &dispositionFileName, const QByteArray &contentType)> namedByServer = {};
    // The whole run's download speed limit in bytes/s, shared by the transfers under way;
    // 0 for none. Fast mode only.
    qint64 runSpeedLimit = 0;
};

struct DownloadResult
{
    enum class Outcome {
        Saved,
        Skipped,
        Failed,
        PageNotLoaded, // page mode: the browser could not load the page at all
    };
    Outcome outcome = Outcome::Failed;
    qint64 size = 0;   // bytes in the file put in place
    QString savedPath; // where it was put: the request's path, or the name the rename rule chose
    QString reason;    // why it failed, in plain words
    // A failure that may pass (a reset, a time-out, a busy server): worth another attempt,
    // which continues from the bytes kept.
    bool transient = false;
    int retryAfterSeconds = -1; // how long the server asked to wait, -1 when it did not say
    int tag = 0;                // the request's
};

Q_DECLARE_METATYPE(DownloadResult)

// One slot's download component, for either mode: one download at a time. progress() comes only while
// the total is known; finished() comes once for every start(), from the event loop (never from
// within start() or cancel()), and isBusy() is already false when it arrives. A failed, cancelled
// or abandoned download leaves nothing under the target name and never touches a file that was
// there; the bytes of one that may be continued stay in a hidden staging file.
class Downloader : public QObject
{
    Q_OBJECT
public:
    explicit Downloader(QObject *parent = nullptr) : QObject(parent) {}
    ~Downloader() override = default;

    enum class ProgressUnit { Bytes, BrowserSteps };

    // Starts the download; one still under way is dropped without a report.
    virtual void start(const DownloadRequest &request) = 0;
    // Ends the download under way, if any, as a failure; busy until that is reported.
    virtual void cancel() = 0;
    virtual bool isBusy() const = 0;
    // What progress() counts.
    virtual ProgressUnit progressUnit() const { return ProgressUnit::Bytes; }
    // The bytes of the download under way (or the last one) that an earlier attempt kept and it
    // continues from; progress() and the saved size count them in. 0 for a download from the start.
    virtual qint64 keptBytes() const { return 0; }
    // The user stopped the run: the download under way ends here without a report, keeping what
    // it can for the next attempt.
    virtual void runStopped() {}
    // The run is over: anything the component keeps for the run can go.
    virtual void runEnded() {}

signals:
    // The component is free for the next download although the last one has not reported yet
    // (its file waits to reach the disk); its finished() comes later, with the request's tag.
    void readyForNext();
    void progress(qint64 done, qint64 total);
    void finished(const DownloadResult &result);
    // What the download shows as its title, when it has one (a page).
    void titleChanged(const QString &title);
};

// Makes the component of slot N (1..10). The engine owns what it returns.
using DownloaderFactory = std::function<std::unique_ptr<Downloader>(int slot)>;
