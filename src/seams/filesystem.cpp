#include "filesystem.h"

#include <QStorageInfo>

#include <cerrno>
#include <cstring>

namespace {
FileSystem::FaultInjector &faultInjector()
{
    static FileSystem::FaultInjector injector;
    return injector;
}

FileSystem::SpaceReporter &spaceReporter()
{
    static FileSystem::SpaceReporter reporter;
    return reporter;
}

int &lastError()
{
    static int error = 0;
    return error;
}
} // namespace

void FileSystem::setFaultInjector(FaultInjector injector)
{
    faultInjector() = std::move(injector);
}

void FileSystem::setSpaceReporter(SpaceReporter reporter)
{
    spaceReporter() = std::move(reporter);
}

qint64 FileSystem::freeSpace(const QString &path)
{
    if (spaceReporter())
        return spaceReporter()(path);
    const QStorageInfo storage(path);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

bool FileSystem::injected(Operation operation, const QString &path, const QString &other)
{
    if (!faultInjector())
        return false;
    const int error = faultInjector()(operation, path, other);
    if (error == 0)
        return false;
    fail(error);
    return true;
}

bool FileSystem::succeeded(bool ok)
{
    if (!ok)
        fail(errno);
    return ok;
}

void FileSystem::fail(int error)
{
    lastError() = error;
    errno = error;
}

bool FileSystem::write(Handle handle, const char *data, qint64 size, const QString &path)
{
    if (injected(Operation::Write, path))
        return false;
    while (size > 0) {
        const qint64 written = writeSome(handle, data, size);
        if (written <= 0) {
            // Writing nothing at all means the disk is full.
            fail(written == 0 ? ENOSPC : errno);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool FileSystem::sync(Handle handle, const QString &path)
{
    return !injected(Operation::Sync, path) && succeeded(syncHandle(handle));
}

bool FileSystem::close(Handle handle, const QString &path)
{
    if (injected(Operation::Close, path)) {
        closeHandle(handle);
        return false;
    }
    return succeeded(closeHandle(handle));
}

bool FileSystem::crossDevice()
{
    return lastError() == EXDEV;
}

bool FileSystem::linkImpossible()
{
    const int error = lastError();
    return error == EXDEV || error == EPERM || error == ENOTSUP || error == EOPNOTSUPP
        || error == EMLINK;
}

QString FileSystem::errorText()
{
    return QString::fromLocal8Bit(std::strerror(lastError()));
}

bool FileSystem::replaceFile(const QString &path, const QByteArray &contents)
{
    const QString temporary = path + QLatin1String(".new");
    if (kindOf(temporary) != Kind::Missing)
        unlink(temporary);
    const Handle file = create(temporary);
    bool ok = file >= 0;
    if (ok) {
        ok = write(file, contents.constData(), contents.size(), temporary) && sync(file, temporary);
        ok = close(file, temporary) && ok;
    }
    const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
    return ok && rename(temporary, path)
        && syncFolder(folder.isEmpty() ? QStringLiteral("/") : folder);
}
