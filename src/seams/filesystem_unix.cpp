#include "filesystem.h"

#include "folder.h"

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

// What stands where status was taken from.
FileSystem::Kind kindOfStatus(const struct stat &status)
{
    if (S_ISLNK(status.st_mode))
        return FileSystem::Kind::Link;
    if (S_ISDIR(status.st_mode))
        return FileSystem::Kind::Folder;
    if (S_ISREG(status.st_mode))
        return FileSystem::Kind::File;
    return FileSystem::Kind::Other;
}

// The status of what stands at path, links not followed unless follow; false when nothing can
// be reached there. A folder on the way that turned out to be a link reads as a link.
bool statusOf(const QString &path, struct stat *status, bool follow = false)
{
    const Folder::Place place = Folder::reach(path);
    if (!place.isValid()) {
        if (errno != ELOOP && errno != ENOTDIR)
            return false;
        *status = {};
        status->st_mode = S_IFLNK;
        return true;
    }
    return ::fstatat(place.folder(), place.name(), status, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

// Opens path with flags (never following a link at its last name).
int openAt(const QString &path, int flags, mode_t mode = 0)
{
    const Folder::Place place = Folder::reach(path);
    if (!place.isValid())
        return -1;
    return ::openat(place.folder(), place.name(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}
} // namespace

FileSystem::Handle FileSystem::create(const QString &path)
{
    if (injected(Operation::Open, path))
        return -1;
    const int handle = openAt(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (handle < 0)
        fail(errno);
    return handle;
}

FileSystem::Handle FileSystem::read(const QString &path)
{
    // Not blocking, so that a pipe planted under the name cannot stall the run.
    const int handle = openAt(path, O_RDONLY | O_NONBLOCK);
    struct stat status;
    if (handle >= 0 && (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(handle);
        fail(EINVAL);
        return -1;
    }
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
    if (injected(Operation::Rename, from, to))
        return false;
    const Folder::Place source = Folder::reach(from);
    const Folder::Place target = Folder::reach(to);
    return succeeded(source.isValid() && target.isValid()
        && ::renameat(source.folder(), source.name(), target.folder(), target.name()) == 0);
}

bool FileSystem::link(const QString &from, const QString &to)
{
    if (injected(Operation::Link, from, to))
        return false;
    const Folder::Place source = Folder::reach(from);
    const Folder::Place target = Folder::reach(to);
    return succeeded(source.isValid() && target.isValid()
        && ::linkat(source.folder(), source.name(), target.folder(), target.name(), 0) == 0);
}

bool FileSystem::unlink(const QString &path)
{
    if (injected(Operation::Unlink, path))
        return false;
    const Folder::Place place = Folder::reach(path);
    return succeeded(place.isValid() && ::unlinkat(place.folder(), place.name(), 0) == 0);
}

bool FileSystem::makeFolder(const QString &path, bool isPrivate)
{
    if (injected(Operation::Mkdir, path))
        return false;
    const Folder::Place place = Folder::reach(path);
    return succeeded(
        place.isValid() && ::mkdirat(place.folder(), place.name(), isPrivate ? 0700 : 0755) == 0);
}

bool FileSystem::removeFolder(const QString &path)
{
    if (injected(Operation::Rmdir, path))
        return false;
    const Folder::Place place = Folder::reach(path);
    return succeeded(
        place.isValid() && ::unlinkat(place.folder(), place.name(), AT_REMOVEDIR) == 0);
}

bool FileSystem::setPermissions(const QString &path, QFile::Permissions permissions)
{
    return setMode(path, int(modeOf(permissions)));
}

bool FileSystem::setMode(const QString &path, int mode)
{
    if (injected(Operation::Chmod, path))
        return false;
    const Folder::Place place = Folder::reach(path);
    return succeeded(
        place.isValid() && ::fchmodat(place.folder(), place.name(), mode_t(mode), 0) == 0);
}

bool FileSystem::copy(const QString &from, const QString &to)
{
    if (injected(Operation::Copy, from, to))
        return false;
    const int source = openAt(from, O_RDONLY);
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
    const int target = openAt(to, O_WRONLY | O_CREAT | O_EXCL, status.st_mode & 07777);
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
    if (!ok) {
        const Folder::Place place = Folder::reach(to);
        if (place.isValid())
            ::unlinkat(place.folder(), place.name(), 0);
    }
    return ok;
}

bool FileSystem::syncFolder(const QString &folder)
{
    if (injected(Operation::Sync, folder))
        return false;
    const Folder::Place place = Folder::reach(folder);
    // A root reached through a link is synced where it leads.
    const int handle = place.isValid()
        ? ::openat(place.folder(), place.name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
        : -1;
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
    const Folder::Place place = Folder::reach(path);
    const int handle
        = place.isValid() ? ::openat(place.folder(), place.name(), O_RDONLY | O_CLOEXEC) : -1;
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
    return statusOf(path, &status) ? kindOfStatus(status) : Kind::Missing;
}

int FileSystem::fileMode(const QString &path)
{
    struct stat status;
    if (!statusOf(path, &status) || !S_ISREG(status.st_mode))
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
    return statusOf(a, &first) && statusOf(b, &second) && !S_ISLNK(first.st_mode)
        && !S_ISLNK(second.st_mode) && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

bool FileSystem::sameFileSystem(const QString &a, const QString &b)
{
    struct stat first;
    struct stat second;
    return statusOf(a, &first, true) && statusOf(b, &second, true) && !S_ISLNK(first.st_mode)
        && !S_ISLNK(second.st_mode) && first.st_dev == second.st_dev;
}
