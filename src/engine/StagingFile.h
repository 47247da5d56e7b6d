#pragma once

#include <QByteArray>
#include <QString>

// Where a download is written while it is under way: a file in the target's folder that nobody
// sees under the target name until commit() puts it there in one step. An unnamed temporary file
// (O_TMPFILE) is used where the file system offers one, so that nothing is left even after a
// crash; elsewhere a hidden named file ".quillmoor-….part" that discard() removes. No file is
// synced to disk: a download can be fetched again.
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
    // Appends all of the bytes; false on a write error (see error()).
    bool write(const char *data, qint64 size);
    // Puts the file in place under the target name, replacing a file already there; the staging
    // file is gone afterwards whatever the outcome. False when it cannot (see error()).
    bool commit();
    // Drops what was written; the target is never touched.
    void discard();

    // The system's words for the last failure of open, write or commit.
    QString error() const { return m_error; }

private:
    bool fail();

    bool m_unnamedAllowed = true;
    int m_fd = -1;
    QByteArray m_stagingName; // empty for an unnamed file
    QByteArray m_target;
    QByteArray m_folder;
    QString m_error;
};
