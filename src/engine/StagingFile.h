#pragma once

#include "engine/Downloader.h"

#include <QByteArray>
#include <QString>

// Where a download is written while it is under way: a file in the target's folder that nobody
// sees under the target name until commit() puts it there in one step. An unnamed temporary file
// (O_TMPFILE) is used where the file system offers one, so that nothing is left even after a
// crash; elsewhere a hidden named file ".quillmoor-….part", locked while open, that discard()
// removes (and removeLeftovers() after a crash). No file is synced to disk: a download can be
// fetched again.
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
    // Appends all of the bytes, gathered into large writes; false on a write error (see error()).
    bool write(const char *data, qint64 size);
    // Writes out what write() gathered; false on a write error. commit() flushes too.
    bool flush();
    enum class Commit { Done, Exists, Failed };
    // Puts the file in place under the path (in the folder open() was given the target of):
    // replacing a file already there, or, without replace, leaving it and answering Exists, after
    // which commit may be tried again under another name. After Done or Failed the staging file
    // is gone. A symbolic link at the path is replaced, never followed.
    Commit commit(const QString &path, bool replace);
    // Drops what was written; the target is never touched.
    void discard();

    // The system's words for the last failure of open, write or commit.
    QString error() const { return m_error; }

    // Removes the staging files a killed run left in the folder: our own (by name and owner),
    // last written before the given time, and not held open by a running download. Returns how
    // many it removed.
    static int removeLeftovers(const QString &folder, qint64 beforeSecsSinceEpoch);

private:
    // libcurl hands bodies over 16 KB at a time: one system call per piece would cost more than
    // the copy.
    static constexpr qsizetype GatherBytes = 512 * 1024;

    bool fail();
    bool writeAll(const char *data, qint64 size);
    Commit linkUnnamed(const QByteArray &target, bool replace);
    Commit moveNamed(const QByteArray &target, bool replace);

    bool m_unnamedAllowed = true;
    int m_fd = -1;
    QByteArray m_stagingName; // empty for an unnamed file
    QByteArray m_folder;
    QByteArray m_pending; // gathered bytes not yet written
    QString m_error;
};

// Puts a complete download of `size` bytes in place by the request's same-name rule as the folder
// stands at this moment: replace; keep what is there (skipped); or the next free name. The
// staging file is gone afterwards.
DownloadResult placeDownload(StagingFile &staging, const DownloadRequest &request, qint64 size);
