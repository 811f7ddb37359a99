#include "filesystem.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool refusesWriting(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

mode_t modeOf(QFile::Permissions permissions)
{
    mode_t mode = 0;
    if (permissions & (QFile::ReadOwner | QFile::ReadUser))
        mode |= S_IRUSR;
    if (permissions & (QFile::WriteOwner | QFile::WriteUser))
        mode |= S_IWUSR;
    if (permissions & (QFile::ExeOwner | QFile::ExeUser))
        mode |= S_IXUSR;
    if (permissions & QFile::ReadGroup)
        mode |= S_IRGRP;
    if (permissions & QFile::WriteGroup)
        mode |= S_IWGRP;
    if (permissions & QFile::ExeGroup)
        mode |= S_IXGRP;
    if (permissions & QFile::ReadOther)
        mode |= S_IROTH;
    if (permissions & QFile::WriteOther)
        mode |= S_IWOTH;
    if (permissions & QFile::ExeOther)
        mode |= S_IXOTH;
    return mode;
}
} // namespace

FileSystem::Handle FileSystem::create(const QString &path)
{
    if (injected(Operation::Open, path))
        return -1;
    const int handle = ::open(
        native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (handle < 0)
        fail(errno);
    return handle;
}

qint64 FileSystem::writeSome(Handle handle, const char *data, qint64 size)
{
    ssize_t written;
    do
        written = ::write(handle, data, size_t(size));
    while (written < 0 && errno == EINTR);
    return written;
}

bool FileSystem::syncHandle(Handle handle)
{
    return ::fsync(handle) == 0;
}

bool FileSystem::closeHandle(Handle handle)
{
    return ::close(handle) == 0;
}

bool FileSystem::rename(const QString &from, const QString &to)
{
    return !injected(Operation::Rename, from, to)
        && succeeded(::rename(native(from).constData(), native(to).constData()) == 0);
}

bool FileSystem::link(const QString &from, const QString &to)
{
    return !injected(Operation::Link, from, to)
        && succeeded(::link(native(from).constData(), native(to).constData()) == 0);
}

bool FileSystem::unlink(const QString &path)
{
    return !injected(Operation::Unlink, path) && succeeded(::unlink(native(path).constData()) == 0);
}

bool FileSystem::makeFolder(const QString &path, bool isPrivate)
{
    return !injected(Operation::Mkdir, path)
        && succeeded(::mkdir(native(path).constData(), isPrivate ? 0700 : 0755) == 0);
}

bool FileSystem::removeFolder(const QString &path)
{
    return !injected(Operation::Rmdir, path) && succeeded(::rmdir(native(path).constData()) == 0);
}

bool FileSystem::setPermissions(const QString &path, QFile::Permissions permissions)
{
    return !injected(Operation::Chmod, path)
        && succeeded(::fchmodat(AT_FDCWD, native(path).constData(), modeOf(permissions), 0) == 0);
}

bool FileSystem::setMode(const QString &path, int mode)
{
    return !injected(Operation::Chmod, path)
        && succeeded(::fchmodat(AT_FDCWD, native(path).constData(), mode_t(mode), 0) == 0);
}

bool FileSystem::copy(const QString &from, const QString &to)
{
    if (injected(Operation::Copy, from, to))
        return false;
    const int source = ::open(native(from).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (source < 0) {
        fail(errno);
        return false;
    }
    struct stat status;
    if (::fstat(source, &status) != 0) {
        fail(errno);
        ::close(source);
        return false;
    }
    const int target = ::open(native(to).constData(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, status.st_mode & 07777);
    if (target < 0) {
        fail(errno);
        ::close(source);
        return false;
    }
    bool ok = true;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t read = ::read(source, buffer, sizeof buffer);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0) {
            fail(errno);
            ok = false;
        }
        if (read <= 0)
            break;
        if (!write(target, buffer, read, to)) {
            ok = false;
            break;
        }
    }
    ::close(source);
    // The mode given to open() is cut by the umask; the copy must carry the original's.
    if (ok && ::fchmod(target, status.st_mode & 07777) != 0) {
        fail(errno);
        ok = false;
    }
    ok = ok && sync(target, to);
    if (::close(target) != 0 && ok) {
        fail(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(native(to).constData());
    return ok;
}

bool FileSystem::syncFolder(const QString &folder)
{
    if (injected(Operation::Sync, folder))
        return false;
    const int handle = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) {
        fail(errno);
        return false;
    }
    const bool ok = ::fsync(handle) == 0;
    if (!ok)
        fail(errno);
    ::close(handle);
    return ok;
}

bool FileSystem::syncFileSystem(const QString &path)
{
    if (injected(Operation::Sync, path))
        return false;
    const int handle = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) {
        fail(errno);
        return false;
    }
    const bool ok = ::syncfs(handle) == 0;
    if (!ok)
        fail(errno);
    ::close(handle);
    return ok;
}

bool FileSystem::creationRefused(const QString &folder)
{
    if (injected(Operation::Open, folder))
        return refusesWriting(errno);
#ifdef O_TMPFILE
    // A file without a name: a crash during the probe leaves nothing behind.
    const int handle = ::open(native(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (handle >= 0) {
        closeHandle(handle);
        return false;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR) {
        fail(errno);
        return refusesWriting(errno);
    }
#endif
    // The file system has no unnamed files: a named one, gone again at once.
    const QByteArray probe = native(folder + QLatin1String("/.orvi-write-probe"));
    const int named
        = ::open(probe.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named < 0) {
        fail(errno);
        return refusesWriting(errno);
    }
    closeHandle(named);
    ::unlink(probe.constData());
    return false;
}

FileSystem::Kind FileSystem::kindOf(const QString &path)
{
    struct stat status;
    if (::lstat(native(path).constData(), &status) != 0)
        return Kind::Missing;
    if (S_ISLNK(status.st_mode))
        return Kind::Link;
    if (S_ISDIR(status.st_mode))
        return Kind::Folder;
    if (S_ISREG(status.st_mode))
        return Kind::File;
    return Kind::Other;
}

int FileSystem::fileMode(const QString &path)
{
    struct stat status;
    if (::lstat(native(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return -1;
    return int(status.st_mode & 07777);
}

int FileSystem::creationMask()
{
    // Linux shows the umask; elsewhere it can only be read by setting it for a moment.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const int mask = line.mid(6).trimmed().toInt(&ok, 8);
                if (ok)
                    return mask;
            }
        }
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return int(mask);
}

bool FileSystem::sameFile(const QString &a, const QString &b)
{
    struct stat first;
    struct stat second;
    return ::lstat(native(a).constData(), &first) == 0
        && ::lstat(native(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

bool FileSystem::sameFileSystem(const QString &a, const QString &b)
{
    struct stat first;
    struct stat second;
    return ::stat(native(a).constData(), &first) == 0 && ::stat(native(b).constData(), &second) == 0
        && first.st_dev == second.st_dev;
}
