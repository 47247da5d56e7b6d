#include "engine/StagingFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

bool closeChecked(int fd)
{
    // Some file systems report delayed write errors only here; EINTR still closed the file.
    return ::close(fd) == 0 || errno == EINTR;
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
    m_target = QFile::encodeName(absolute);
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
            return true;
        }
        if (errno != EEXIST)
            return fail();
    }
    return fail();
}

bool StagingFile::write(const char *data, qint64 size)
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

bool StagingFile::commit()
{
    if (m_fd < 0)
        return false;
    const int fd = std::exchange(m_fd, -1);
    if (!m_stagingName.isEmpty()) {
        const QByteArray name = std::exchange(m_stagingName, {});
        const bool ok = closeChecked(fd) && ::rename(name.constData(), m_target.constData()) == 0;
        if (!ok) {
            fail();
            ::unlink(name.constData());
        }
        return ok;
    }

    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    bool ok = ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_target.constData(), AT_SYMLINK_FOLLOW) == 0;
    if (!ok && errno == EEXIST) {
        // An existing file is replaced in one step: link under a fresh name, then rename over it.
        for (int attempt = 0; attempt < 100; ++attempt) {
            const QByteArray name = uniqueNameIn(m_folder);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno == EEXIST)
                    continue;
                break;
            }
            ok = ::rename(name.constData(), m_target.constData()) == 0;
            if (!ok) {
                const int renameError = errno;
                ::unlink(name.constData());
                errno = renameError;
            }
            break;
        }
    }
    if (!ok)
        fail();
    // File systems with unnamed files report write errors at write time, not at close.
    ::close(fd);
    return ok;
}

void StagingFile::discard()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_stagingName.isEmpty())
        ::unlink(m_stagingName.constData());
    m_stagingName.clear();
}
