#include "engine/StagingFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// Unnamed files are put in place through their /proc/self/fd entry.
bool procFdAvailable()
{
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

QByteArray uniqueNameIn(const QByteArray &folder)
{
    const quint64 r = QRandomGenerator::global()->generate64();
    return folder + "/.quillmoor-" + QByteArray::number(r, 16) + ".part";
}

} // namespace

bool StagingFile::fail()
{
    m_error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

bool StagingFile::open(const QString &target)
{
    discard();
    m_error.clear();
    if (target.isEmpty() || target.endsWith(u'/')) {
        m_error = u"no file name"_s;
        return false;
    }
    const QString absolute = QDir::isAbsolutePath(target) ? target : QDir::current().absoluteFilePath(target);
    const qsizetype slash = absolute.lastIndexOf(u'/');
    m_folder = QFile::encodeName(slash > 0 ? absolute.left(slash) : u"/"_s);
    // The permissions a new file would get: 0666 less the umask, which open() applies.
    if (m_unnamedAllowed && procFdAvailable()) {
        m_fd = ::open(m_folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd >= 0)
            return true;
        // File systems without unnamed files fall through to a named one.
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = uniqueNameIn(m_folder);
        m_fd = ::open(name.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_stagingName = name;
            // Tells removeLeftovers() of another run that this file is in use.
            ::flock(m_fd, LOCK_EX | LOCK_NB);
            return true;
        }
        if (errno != EEXIST)
            return fail();
    }
    return fail();
}

bool StagingFile::write(const char *data, qint64 size)
{
    if (m_pending.size() + size <= GatherBytes) {
        if (m_pending.capacity() < GatherBytes)
            m_pending.reserve(GatherBytes);
        m_pending.append(data, size);
        return true;
    }
    return flush() && (size >= GatherBytes ? writeAll(data, size) : (m_pending.append(data, size), true));
}

bool StagingFile::flush()
{
    const bool ok = writeAll(m_pending.constData(), m_pending.size());
    m_pending.resize(0); // keeps the capacity for the next download of this slot
    return ok;
}

bool StagingFile::writeAll(const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail();
        }
        data += n;
        size -= n;
    }
    return true;
}

StagingFile::Commit StagingFile::commit(const QString &path, bool replace)
{
    if ((m_fd < 0 && m_stagingName.isEmpty()) || (m_fd >= 0 && !flush())) {
        discard();
        return Commit::Failed;
    }
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path);
    const QByteArray target = QFile::encodeName(absolute);
    const Commit result = m_stagingName.isEmpty() ? linkUnnamed(target, replace) : moveNamed(target, replace);
    if (result == Commit::Failed)
        fail();
    if (result != Commit::Exists)
        discard();
    return result;
}

StagingFile::Commit StagingFile::linkUnnamed(const QByteArray &target, bool replace)
{
    // Linking the descriptor itself spares a walk through /proc, but needs CAP_DAC_READ_SEARCH:
    // without it the first refusal sends every later link through /proc.
    static bool emptyPathLinks = true;
    if (emptyPathLinks) {
        if (::linkat(m_fd, "", AT_FDCWD, target.constData(), AT_EMPTY_PATH) == 0)
            return Commit::Done;
        if (errno == ENOENT || errno == EPERM || errno == EINVAL)
            emptyPathLinks = false;
        else if (errno != EEXIST)
            return Commit::Failed;
    }
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0)
        return Commit::Done;
    if (errno != EEXIST)
        return Commit::Failed;
    if (!replace)
        return Commit::Exists;
    // An existing file is replaced in one step: link under a fresh name, then rename over it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = uniqueNameIn(m_folder);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST)
                continue;
            return Commit::Failed;
        }
        if (::rename(name.constData(), target.constData()) == 0)
            return Commit::Done;
        const int renameError = errno;
        ::unlink(name.constData());
        errno = renameError;
        return Commit::Failed;
    }
    return Commit::Failed;
}

StagingFile::Commit StagingFile::moveNamed(const QByteArray &target, bool replace)
{
    // Some file systems report delayed write errors only at close: checked before anything moves.
    if (m_fd >= 0) {
        const int fd = std::exchange(m_fd, -1);
        if (::close(fd) != 0 && errno != EINTR)
            return Commit::Failed;
    }
    if (replace)
        return ::rename(m_stagingName.constData(), target.constData()) == 0 ? Commit::Done : Commit::Failed;
    if (::renameat2(AT_FDCWD, m_stagingName.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0) {
        m_stagingName.clear(); // moved: nothing left to remove
        return Commit::Done;
    }
    if (errno == EEXIST)
        return Commit::Exists;
    if (errno != EINVAL && errno != ENOSYS)
        return Commit::Failed;
    // File systems without that kind of rename: a hard link fails on an existing name too.
    if (::link(m_stagingName.constData(), target.constData()) == 0)
        return Commit::Done; // discard() removes the staging name
    return errno == EEXIST ? Commit::Exists : Commit::Failed;
}

int StagingFile::removeLeftovers(const QString &folder, qint64 beforeSecsSinceEpoch)
{
    const QByteArray path = QFile::encodeName(folder);
    DIR *dir = ::opendir(path.constData());
    if (!dir)
        return 0;
    int removed = 0;
    const uid_t self = ::geteuid();
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, ".quillmoor-", 11) != 0)
            continue;
        const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == self
            && st.st_mtime < beforeSecsSinceEpoch && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (ours && ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

void StagingFile::discard()
{
    m_pending.resize(0);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_stagingName.isEmpty())
        ::unlink(m_stagingName.constData());
    m_stagingName.clear();
}

DownloadResult placeDownload(StagingFile &staging, const DownloadRequest &request, qint64 size)
{
    DownloadResult result;
    QString path = request.savePath;
    for (;;) {
        switch (staging.commit(path, request.sameName == SameNameRule::Replace)) {
        case StagingFile::Commit::Done:
            result.outcome = DownloadResult::Outcome::Saved;
            result.size = size;
            result.savedPath = path;
            return result;
        case StagingFile::Commit::Failed:
            result.reason = u"cannot put %1 in place: %2"_s.arg(path, staging.error());
            return result;
        case StagingFile::Commit::Exists:
            // A file of that name appeared meanwhile (another run, another program).
            path = request.sameName == SameNameRule::Rename && request.nextFreeName ? request.nextFreeName() : QString();
            if (path.isEmpty()) {
                staging.discard();
                result.outcome = DownloadResult::Outcome::Skipped;
                result.savedPath = request.savePath;
                return result;
            }
        }
    }
}
