#include "engine/StagingFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <set>
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

// Folders known to hold no kept download since their leftovers were last looked at. A new download
// there need not look for kept bytes of its own: in a large folder every miss is a search through
// a block of the directory.
class FoldersWithoutKept
{
public:
    // A staging file's folder is the absolute one of its target; a folder named otherwise (not
    // clean, say) is only ever looked in.
    static QByteArray key(const QString &folder) { return QFile::encodeName(QDir::current().absoluteFilePath(folder)); }
    static void set(const QByteArray &folder, bool without)
    {
        const std::lock_guard<std::mutex> lock(mutex());
        if (without)
            folders().insert(folder);
        else
            folders().erase(folder);
    }
    static bool contains(const QByteArray &folder)
    {
        const std::lock_guard<std::mutex> lock(mutex());
        return folders().count(folder) > 0;
    }

private:
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::set<QByteArray> &folders()
    {
        static std::set<QByteArray> f;
        return f;
    }
};

QByteArray uniqueNameIn(const QByteArray &folder)
{
    const quint64 r = QRandomGenerator::global()->generate64();
    return folder + "/.quillmoor-" + QByteArray::number(r, 16) + ".part";
}

} // namespace

bool StagingFile::fail()
{
    m_errorNumber = errno;
    m_error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

bool StagingFile::openResumable(const QString &target, const QString &url)
{
    if (!open(target))
        return false;
    m_resumeTarget = QDir::isAbsolutePath(target) ? target : QDir::current().absoluteFilePath(target);
    m_url = url.toUtf8();
    const int fresh = m_fd;
    const QByteArray freshName = m_stagingName;
    if (FoldersWithoutKept::contains(m_folder) || !openKept(m_url))
        return true;
    // Continuing the kept bytes: the fresh file made above is not needed.
    ::close(fresh);
    if (!freshName.isEmpty())
        ::unlink(freshName.constData());
    return true;
}

const QByteArray &StagingFile::resumeBase()
{
    // Named only when looked for or kept: most downloads are neither.
    if (m_resumeBase.isEmpty() && !m_url.isEmpty()) {
        const QByteArray key = QCryptographicHash::hash(m_url + '\n' + m_resumeTarget.toUtf8(), QCryptographicHash::Sha1);
        m_resumeBase = m_folder + "/.quillmoor-resume-" + key.toHex().left(24);
    }
    return m_resumeBase;
}

bool StagingFile::openKept(const QByteArray &url)
{
    QFile description(QFile::decodeName(resumeBase() + ".info"));
    if (!description.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = description.read(64 * 1024).split('\n');
    description.close();
    const QByteArray part = m_resumeBase + ".part";
    const int fd = ::open(part.constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    // Another run may be continuing these very bytes: it keeps them.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    if (lines.size() < 3 || lines[0] != url || lines[1].isEmpty() || st.st_size == 0) {
        // Bytes of another address (or none, or nothing to check them by): of no use.
        ::unlink(part.constData());
        ::unlink((m_resumeBase + ".info").constData());
        ::close(fd);
        return false;
    }
    bool known = false;
    const qint64 length = lines[2].toLongLong(&known);
    m_fd = fd;
    m_stagingName = part;
    m_kept = true;
    m_resume = Resume{lines[1], known ? length : -1, qint64(st.st_size)};
    m_written = m_startedForDisk = st.st_size;
    return true;
}

bool StagingFile::writeDescription(const QByteArray &validator, qint64 length)
{
    const QByteArray name = m_resumeBase + ".info";
    const QByteArray staged = name + ".new";
    QFile file(QFile::decodeName(staged));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray text = m_url + '\n' + validator + '\n' + QByteArray::number(length) + '\n';
    const bool written = file.write(text) == text.size() && file.flush();
    file.close();
    if (!written || ::rename(staged.constData(), name.constData()) != 0) {
        ::unlink(staged.constData());
        return false;
    }
    return true;
}

bool StagingFile::keep(const QByteArray &validator, qint64 length)
{
    if (m_fd < 0 || resumeBase().isEmpty() || validator.isEmpty() || validator.contains('\n') || !flush())
        return false;
    const QByteArray part = m_resumeBase + ".part";
    if (!m_kept) {
        if (m_stagingName.isEmpty()) {
            // An unnamed file gets a name of its own first, then takes the kept name in one step
            // (bytes an older answer left there are replaced).
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
            const QByteArray named = uniqueNameIn(m_folder);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, named.constData(), AT_SYMLINK_FOLLOW) != 0)
                return fail();
            if (::rename(named.constData(), part.constData()) != 0) {
                fail();
                ::unlink(named.constData());
                return false;
            }
        } else if (::rename(m_stagingName.constData(), part.constData()) != 0) {
            return fail();
        }
        m_stagingName = part;
        ::flock(m_fd, LOCK_EX | LOCK_NB);
        FoldersWithoutKept::set(m_folder, false);
    }
    m_kept = writeDescription(validator, length);
    return m_kept;
}

bool StagingFile::restart()
{
    m_pending.resize(0);
    // Undescribed until keep() is called again: the old description is not of the new bytes.
    if (m_kept)
        ::unlink((m_resumeBase + ".info").constData());
    if (m_fd < 0 || ::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) < 0)
        return fail();
    m_resume = Resume();
    m_written = m_startedForDisk = 0;
    return true;
}

void StagingFile::drop()
{
    if (m_kept)
        ::unlink((m_resumeBase + ".info").constData());
    m_kept = false;
    discard();
}

bool StagingFile::open(const QString &target)
{
    discard();
    m_error.clear();
    m_errorNumber = 0;
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

void StagingFile::passBufferTo(StagingFile &next)
{
    if (m_pending.isEmpty() && next.m_pending.isEmpty())
        next.m_pending = std::exchange(m_pending, QByteArray());
}

bool StagingFile::syncData() { return flush() && (::fdatasync(m_fd) == 0 || fail()); }

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
        m_written += n;
    }
    // A large file starts for the disk as it comes, a few megabytes at a time, so that the sync
    // before it is named finds little left to write. Only starts: nothing here waits for the disk.
    if (m_written - m_startedForDisk >= StartForDiskBytes) {
        ::sync_file_range(m_fd, m_startedForDisk, m_written - m_startedForDisk, SYNC_FILE_RANGE_WRITE);
        m_startedForDisk = m_written;
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
    if (result == Commit::Done && std::exchange(m_kept, false))
        ::unlink((m_resumeBase + ".info").constData());
    if (result != Commit::Exists)
        discard();
    return result;
}

StagingFile::Commit StagingFile::linkUnnamed(const QByteArray &target, bool replace)
{
    // Linking the descriptor itself spares a walk through /proc, but needs CAP_DAC_READ_SEARCH:
    // without it the first refusal sends every later link through /proc. Files are linked from
    // the syncing thread as well as the event loop's.
    static std::atomic<bool> emptyPathLinks{true};
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
    bool keptRemain = false;
    const uid_t self = ::geteuid();
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, ".quillmoor-", 11) != 0)
            continue;
        keptRemain = keptRemain || std::strncmp(entry->d_name, ".quillmoor-resume-", 18) == 0;
        const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        // Kept bytes wait a week for the row that continues them.
        const qint64 before = std::strncmp(entry->d_name, ".quillmoor-resume-", 18) == 0
            ? beforeSecsSinceEpoch - KeptSeconds : beforeSecsSinceEpoch;
        const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == self
            && st.st_mtime < before && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (ours && ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    // Counted before removing: a kept file removed meanwhile only costs a look later.
    FoldersWithoutKept::set(FoldersWithoutKept::key(folder), !keptRemain);
    return removed;
}

void StagingFile::discard()
{
    // Gathered bytes of a kept file are worth writing: the next attempt starts after them.
    if (m_kept && m_fd >= 0 && !m_pending.isEmpty())
        flush();
    m_pending.resize(0);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_stagingName.isEmpty() && !m_kept)
        ::unlink(m_stagingName.constData());
    m_stagingName.clear();
    m_kept = false;
    m_resumeBase.clear();
    m_resumeTarget.clear();
    m_url.clear();
    m_resume = Resume();
    m_written = m_startedForDisk = 0;
}

namespace {

// One try at putting the file in place under path: the outcome, or nothing when a file of that
// name is there and the rule keeps it (the staging file then stays as it was).
std::optional<DownloadResult> commitUnder(StagingFile &staging, const QString &path, bool replace, qint64 size)
{
    DownloadResult result;
    switch (staging.commit(path, replace)) {
    case StagingFile::Commit::Done:
        result.outcome = DownloadResult::Outcome::Saved;
        result.size = size;
        result.savedPath = path;
        return result;
    case StagingFile::Commit::Failed:
        result.reason = u"cannot put %1 in place: %2"_s.arg(path, staging.error());
        return result;
    case StagingFile::Commit::Exists:
        break;
    }
    return std::nullopt;
}

} // namespace

DownloadResult placeDownload(StagingFile &staging, const DownloadRequest &request, qint64 size)
{
    const bool replace = request.sameName == SameNameRule::Replace;
    for (QString path = request.savePath;;) {
        if (std::optional<DownloadResult> placed = commitUnder(staging, path, replace, size))
            return *placed;
        // A file of that name appeared meanwhile (another run, another program).
        path = request.sameName == SameNameRule::Rename && request.nextFreeName ? request.nextFreeName() : QString();
        if (path.isEmpty()) {
            staging.discard();
            DownloadResult result;
            result.outcome = DownloadResult::Outcome::Skipped;
            result.savedPath = request.savePath;
            return result;
        }
    }
}

std::optional<DownloadResult> placeDownloadAsIs(StagingFile &staging, const DownloadRequest &request, qint64 size)
{
    if (request.sameName != SameNameRule::Rename || !request.nextFreeName)
        return placeDownload(staging, request, size);
    return commitUnder(staging, request.savePath, false, size);
}
