#pragma once

#include "engine/Downloader.h"

#include <QByteArray>

#include <optional>
#include <QString>

// Where a download is written while it is under way: a file in the target's folder that nobody
// sees under the target name until commit() puts it there in one step. An unnamed temporary file
// (O_TMPFILE) is used where the file system offers one, so that nothing is left even after a
// crash; elsewhere a hidden named file ".quillmoor-….part", locked while open, that discard()
// removes (and removeLeftovers() after a crash). No file is synced to disk: a download can be
// fetched again.
//
// A download that may be continued later is kept: its bytes under a hidden name made from its
// address and target (".quillmoor-resume-….part"), beside a description of what they are part of
// (".quillmoor-resume-….info": address, validator, announced length). openResumable() finds them
// again, in this run or the next.
class StagingFile
{
public:
    StagingFile() = default;
    ~StagingFile() { discard(); }
    StagingFile(const StagingFile &) = delete;
    StagingFile &operator=(const StagingFile &) = delete;

    // Unnamed files where available (the default); off, always a named hidden file.
    void setUnnamedAllowed(bool on) { m_unnamedAllowed = on; }

    // Opens a fresh staging file for target (absolute or relative to the working folder). A
    // staging file still open is discarded first. False when none can be made (see error()).
    bool open(const QString &target);
    bool isOpen() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }
    // The folder of the target open() was given, absolute.
    const QByteArray &folder() const { return m_folder; }

    // What an earlier attempt at the same address and target kept: bytes == 0 when nothing.
    struct Resume
    {
        QByteArray validator; // the ETag or Last-Modified of the answer the bytes came from
        qint64 length = -1;   // the whole file's announced length, -1 when unknown
        qint64 bytes = 0;     // bytes kept
    };
    // Like open(), but continues the bytes an earlier attempt kept for this address and target
    // when there are any (and no other run is writing them); resumed() describes them.
    bool openResumable(const QString &target, const QString &url);
    const Resume &resumed() const { return m_resume; }
    // Makes the bytes written so far survive this object and the process, described by the
    // validator and length, so that openResumable() can continue them. False when they cannot
    // be kept (they stay as they were).
    bool keep(const QByteArray &validator, qint64 length);
    bool isKept() const { return m_kept; }
    // Empties the file: the answer starts over from its first byte.
    bool restart();
    // Drops the bytes, kept or not.
    void drop();
    // Appends all of the bytes, gathered into large writes; false on a write error (see error()).
    bool write(const char *data, qint64 size);
    // Writes out what write() gathered; false on a write error. commit() flushes too.
    bool flush();
    // Hands the flushed write buffer to the slot's next staging file, which has written nothing:
    // one that only waits to be put in place needs none, and a slot keeps one buffer however
    // many of its files wait.
    void passBufferTo(StagingFile &next);
    // Flushes and waits until the bytes are on disk (fdatasync); false on an error.
    bool syncData();
    enum class Commit { Done, Exists, Failed };
    // Puts the file in place under the path (in the folder open() was given the target of):
    // replacing a file already there, or, without replace, leaving it and answering Exists, after
    // which commit may be tried again under another name. After Done or Failed the staging file
    // is gone. A symbolic link at the path is replaced, never followed.
    Commit commit(const QString &path, bool replace);
    // Closes the file: what was written is dropped unless it is kept. The target is never touched.
    void discard();

    // The system's words for the last failure of open, write or commit, and its errno.
    QString error() const { return m_error; }
    int errorNumber() const { return m_errorNumber; }

    // Removes the staging files a killed run left in the folder: our own (by name and owner),
    // last written before the given time (kept ones: a week before it), and not held open by a
    // running download. Returns how many it removed. A folder found without kept downloads is
    // remembered as such until one is kept there: openResumable() then does not look for any.
    static int removeLeftovers(const QString &folder, qint64 beforeSecsSinceEpoch);
    static constexpr qint64 KeptSeconds = 7 * 24 * 3600;

private:
    // libcurl hands bodies over 16 KB at a time: one system call per piece would cost more than
    // the copy.
    static constexpr qsizetype GatherBytes = 512 * 1024;

    bool fail();
    bool writeAll(const char *data, qint64 size);
    bool openKept(const QByteArray &url);
    const QByteArray &resumeBase();
    bool writeDescription(const QByteArray &validator, qint64 length);
    Commit linkUnnamed(const QByteArray &target, bool replace);
    Commit moveNamed(const QByteArray &target, bool replace);

    bool m_unnamedAllowed = true;
    int m_fd = -1;
    QByteArray m_stagingName; // empty for an unnamed file
    QByteArray m_folder;
    QByteArray m_pending; // gathered bytes not yet written
    qint64 m_written = 0;        // bytes written to the file by flush()
    qint64 m_startedForDisk = 0; // of those, handed to the disk to write
    static constexpr qint64 StartForDiskBytes = 8 * 1024 * 1024;
    QString m_error;
    int m_errorNumber = 0;
    QByteArray m_url;        // of a file that may be kept
    QString m_resumeTarget;  // and its absolute target
    QByteArray m_resumeBase; // their hidden name, without ".part" or ".info": see resumeBase()
    bool m_kept = false;
    Resume m_resume;
};

// Puts a complete download of `size` bytes in place by the request's same-name rule as the folder
// stands at this moment: replace; keep what is there (skipped); or the next free name. The
// staging file is gone afterwards.
DownloadResult placeDownload(StagingFile &staging, const DownloadRequest &request, qint64 size);
// The same from another thread: nothing, and the file left as it was, when the rename rule needs
// another name (the request's nextFreeName belongs to the thread that made it).
std::optional<DownloadResult> placeDownloadAsIs(StagingFile &staging, const DownloadRequest &request, qint64 size);
