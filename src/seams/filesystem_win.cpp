#include "filesystem.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {
LPCWSTR nativePath(const QString &path)
{
    return reinterpret_cast<LPCWSTR>(path.utf16());
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

int errorOfLastCall()
{
    switch (::GetLastError()) {
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_DISK_FULL:
        return ENOSPC;
    default:
        return EACCES;
    }
}
} // namespace

FileSystem::Handle FileSystem::create(const QString &path)
{
    if (injected(Operation::Open, path))
        return -1;
    const QString name = native(path);
    const int handle = ::_wopen(reinterpret_cast<const wchar_t *>(name.utf16()),
        _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (handle < 0)
        fail(errno);
    return handle;
}

bool FileSystem::write(Handle handle, const char *data, qint64 size, const QString &path)
{
    if (injected(Operation::Write, path))
        return false;
    while (size > 0) {
        const unsigned piece = unsigned(qMin<qint64>(size, 1 << 30));
        const int written = ::_write(handle, data, piece);
        if (written <= 0) {
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
    if (injected(Operation::Sync, path))
        return false;
    if (::_commit(handle) == 0)
        return true;
    fail(errno);
    return false;
}

bool FileSystem::close(Handle handle, const QString &path)
{
    if (injected(Operation::Close, path)) {
        ::_close(handle);
        return false;
    }
    if (::_close(handle) == 0)
        return true;
    fail(errno);
    return false;
}

bool FileSystem::rename(const QString &from, const QString &to)
{
    if (injected(Operation::Rename, from, to))
        return false;
    if (::MoveFileExW(nativePath(native(from)), nativePath(native(to)),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    fail(errorOfLastCall());
    return false;
}

bool FileSystem::link(const QString &from, const QString &to)
{
    if (injected(Operation::Link, from, to))
        return false;
    if (::CreateHardLinkW(nativePath(native(to)), nativePath(native(from)), nullptr))
        return true;
    fail(errorOfLastCall());
    return false;
}

bool FileSystem::unlink(const QString &path)
{
    if (injected(Operation::Unlink, path))
        return false;
    if (::DeleteFileW(nativePath(native(path))))
        return true;
    fail(errorOfLastCall());
    return false;
}

bool FileSystem::makeFolder(const QString &path, bool)
{
    // The user's own temporary folder is private on Windows already.
    if (injected(Operation::Mkdir, path))
        return false;
    if (::CreateDirectoryW(nativePath(native(path)), nullptr))
        return true;
    fail(errorOfLastCall());
    return false;
}

bool FileSystem::removeFolder(const QString &path)
{
    if (injected(Operation::Rmdir, path))
        return false;
    if (::RemoveDirectoryW(nativePath(native(path))))
        return true;
    fail(errorOfLastCall());
    return false;
}

bool FileSystem::setPermissions(const QString &path, QFile::Permissions permissions)
{
    if (injected(Operation::Chmod, path))
        return false;
    if (QFile::setPermissions(path, permissions))
        return true;
    fail(EACCES);
    return false;
}

bool FileSystem::copy(const QString &from, const QString &to)
{
    if (injected(Operation::Copy, from, to))
        return false;
    if (::CopyFileExW(nativePath(native(from)), nativePath(native(to)), nullptr, nullptr, nullptr,
            COPY_FILE_FAIL_IF_EXISTS))
        return true;
    fail(errorOfLastCall());
    return false;
}

bool FileSystem::syncFolder(const QString &folder)
{
    // NTFS keeps its folder entries in its own log; there is nothing to flush by hand.
    return !injected(Operation::Sync, folder);
}

bool FileSystem::syncFileSystem(const QString &path)
{
    return !injected(Operation::Sync, path);
}

FileSystem::Kind FileSystem::kindOf(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction())
        return Kind::Link;
    if (!info.exists())
        return Kind::Missing;
    if (info.isDir())
        return Kind::Folder;
    return info.isFile() ? Kind::File : Kind::Other;
}

bool FileSystem::sameFileSystem(const QString &a, const QString &b)
{
    return QFileInfo(a).absoluteFilePath().left(2).compare(
               QFileInfo(b).absoluteFilePath().left(2), Qt::CaseInsensitive)
        == 0;
}
