#include "runlock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct RunLock::Handles
{
    int file = -1;
    int folder = -1;
    // The folder's lock file goes with the lock, so that the folder keeps no trace of runs.
    QByteArray folderLockPath;
};

namespace {
// Within the installation, where only those who may change it can make or open it.
const char folderLockName[] = "/.orvi-update.lock";

QString systemError(const QString &path, int error)
{
    return path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
}

// A lock of the open file description, for writing: it needs a descriptor open for writing,
// and another open of the same file, in this process too, meets it.
bool writeLock(int descriptor)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(descriptor, F_OFD_SETLK, &lock) == 0;
}

QByteArray readHolder(int descriptor)
{
    char text[512];
    const ssize_t size = ::pread(descriptor, text, sizeof(text), 0);
    return size > 0 ? QByteArray(text, size) : QByteArray();
}

void writeHolder(int descriptor)
{
    const QByteArray record = RunLock::holderRecord();
    // Who holds the lock is only told to the next start: a failure here changes nothing else.
    if (::ftruncate(descriptor, 0) == 0
        && ::pwrite(descriptor, record.constData(), size_t(record.size()), 0) < 0)
        ::ftruncate(descriptor, 0);
}

// Opens path, never through a link nor blocking on what is not a file, and takes its lock.
// Busy fills holder from what the lock's holder wrote.
RunLock::Result takeLock(
    int *held, const QByteArray &path, mode_t mode, RunLock::Holder *holder, int *error)
{
    const int descriptor
        = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (descriptor < 0) {
        *error = errno;
        return RunLock::Result::Failed;
    }
    struct stat opened;
    if (::fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        *error = S_ISDIR(opened.st_mode) ? EISDIR : EINVAL;
        ::close(descriptor);
        return RunLock::Result::Failed;
    }
    if (!writeLock(descriptor)) {
        *error = errno;
        if (*error == EAGAIN || *error == EACCES || *error == EINTR) {
            *holder = RunLock::holderOf(readHolder(descriptor));
            ::close(descriptor);
            return RunLock::Result::Busy;
        }
        ::close(descriptor);
        return RunLock::Result::Failed;
    }
    // The holder before may have removed the file while this one waited for it.
    struct stat named;
    if (::lstat(path.constData(), &named) != 0 || named.st_dev != opened.st_dev
        || named.st_ino != opened.st_ino) {
        ::close(descriptor);
        return RunLock::Result::Busy;
    }
    writeHolder(descriptor);
    *held = descriptor;
    return RunLock::Result::Locked;
}
} // namespace

RunLock::RunLock() : m_handles(std::make_unique<Handles>()) { }

RunLock::~RunLock()
{
    release();
}

void RunLock::release()
{
    // Removed while still locked: a start that opened it meanwhile finds it gone and opens anew.
    if (m_handles->folder >= 0)
        ::unlink(m_handles->folderLockPath.constData());
    for (int *descriptor : { &m_handles->folder, &m_handles->file }) {
        if (*descriptor >= 0)
            ::close(*descriptor);
        *descriptor = -1;
    }
}

RunLock::Result RunLock::tryLockFile(const QString &lockFile, QString *errorText)
{
    if (m_handles->file >= 0)
        return Result::Locked;
    // Never through a link: the file lies in the user's private folder, checked before.
    int error = 0;
    const Result result
        = takeLock(&m_handles->file, QFile::encodeName(lockFile), 0600, &m_holder, &error);
    if (result == Result::Failed && errorText)
        *errorText = systemError(lockFile, error);
    return result;
}

RunLock::Result RunLock::tryLockFolder(const QString &appFolder, QString *errorText)
{
    if (m_handles->folder >= 0)
        return Result::Locked;
    const QByteArray folder = QFile::encodeName(appFolder);
    struct stat folderStatus;
    if (::stat(folder.constData(), &folderStatus) != 0) {
        if (errorText)
            *errorText = systemError(appFolder, errno);
        return Result::Failed;
    }
    // Readable only by those who may write it, so that nobody else can even take a read lock.
    const mode_t mode = 0600 | (folderStatus.st_mode & S_IWGRP ? 0060 : 0)
        | (folderStatus.st_mode & S_IWOTH ? 0006 : 0);
    const QByteArray path = folder + folderLockName;
    int error = 0;
    const Result result = takeLock(&m_handles->folder, path, mode, &m_holder, &error);
    if (result == Result::Locked) {
        m_handles->folderLockPath = path;
        // The umask must not keep the folder's other writers out of the lock.
        if (folderStatus.st_mode & S_IWGRP)
            (void)::fchown(m_handles->folder, uid_t(-1), folderStatus.st_gid);
        (void)::fchmod(m_handles->folder, mode);
        return result;
    }
    if (result != Result::Failed)
        return result;
    if ((error == EACCES || error == EPERM || error == EROFS)
        && ::faccessat(AT_FDCWD, folder.constData(), W_OK, AT_EACCESS) != 0)
        return Result::Unwritable;
    if (errorText)
        *errorText = systemError(QFile::decodeName(path), error);
    return result;
}
