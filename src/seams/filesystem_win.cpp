#include "filesystem.h"

#include "folder.h"

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
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return ENOTSUP;
    case ERROR_TOO_MANY_LINKS:
        return EMLINK;
    default:
        return EACCES;
    }
}

// The volume and index that tell a file apart from every other, whatever its name.
bool identify(const QString &path, BY_HANDLE_FILE_INFORMATION *information)
{
    const HANDLE handle = ::CreateFileW(nativePath(native(path)), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool known = ::GetFileInformationByHandle(handle, information);
    ::CloseHandle(handle);
    return known;
}

// False when a folder on the way to path, below a confined folder, is a reparse point.
bool reachable(const QString &path)
{
    return Folder::reach(path).isValid();
}

// Win32 calls report through GetLastError(); the rest of the seam reads errno.
bool win32(BOOL ok)
{
    if (!ok)
        errno = errorOfLastCall();
    return ok;
}
} // namespace

FileSystem::Handle FileSystem::create(const QString &path)
{
    if (injected(Operation::Open, path))
        return -1;
    if (!reachable(path))
        return -1;
    const QString name = native(path);
    const int handle = ::_wopen(reinterpret_cast<const wchar_t *>(name.utf16()),
        _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (handle < 0)
        fail(errno);
    return handle;
}

FileSystem::Handle FileSystem::read(const QString &path)
{
    if (!reachable(path))
        return -1;
    if (kindOf(path) != Kind::File) {
        fail(ENOENT);
        return -1;
    }
    const QString name = native(path);
    const int handle
        = ::_wopen(reinterpret_cast<const wchar_t *>(name.utf16()), _O_RDONLY | _O_BINARY);
    if (handle < 0)
        fail(errno);
    return handle;
}

qint64 FileSystem::writeSome(Handle handle, const char *data, qint64 size)
{
    return ::_write(handle, data, unsigned(qMin<qint64>(size, 1 << 30)));
}

bool FileSystem::syncHandle(Handle handle)
{
    return ::_commit(handle) == 0;
}

bool FileSystem::closeHandle(Handle handle)
{
    return ::_close(handle) == 0;
}

bool FileSystem::rename(const QString &from, const QString &to)
{
    return !injected(Operation::Rename, from, to) && reachable(from) && reachable(to)
        && succeeded(win32(::MoveFileExW(nativePath(native(from)), nativePath(native(to)),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)));
}

bool FileSystem::link(const QString &from, const QString &to)
{
    return !injected(Operation::Link, from, to) && reachable(from) && reachable(to)
        && succeeded(
            win32(::CreateHardLinkW(nativePath(native(to)), nativePath(native(from)), nullptr)));
}

bool FileSystem::unlink(const QString &path)
{
    return !injected(Operation::Unlink, path) && reachable(path)
        && succeeded(win32(::DeleteFileW(nativePath(native(path)))));
}

bool FileSystem::makeFolder(const QString &path, bool)
{
    // The user's own temporary folder is private on Windows already.
    return !injected(Operation::Mkdir, path) && reachable(path)
        && succeeded(win32(::CreateDirectoryW(nativePath(native(path)), nullptr)));
}

bool FileSystem::removeFolder(const QString &path)
{
    return !injected(Operation::Rmdir, path) && reachable(path)
        && succeeded(win32(::RemoveDirectoryW(nativePath(native(path)))));
}

bool FileSystem::setPermissions(const QString &path, QFile::Permissions permissions)
{
    if (injected(Operation::Chmod, path) || !reachable(path))
        return false;
    if (QFile::setPermissions(path, permissions))
        return true;
    fail(EACCES);
    return false;
}

bool FileSystem::setMode(const QString &path, int)
{
    return !injected(Operation::Chmod, path);
}

bool FileSystem::copy(const QString &from, const QString &to)
{
    return !injected(Operation::Copy, from, to) && reachable(from) && reachable(to)
        && succeeded(win32(::CopyFileExW(nativePath(native(from)), nativePath(native(to)), nullptr,
            nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)));
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

bool FileSystem::creationRefused(const QString &folder)
{
    if (injected(Operation::Open, folder))
        return errno == EACCES || errno == EPERM || errno == EROFS;
    // Deleted when its handle closes, also when the process is killed first.
    const QString probe
        = native(folder + QStringLiteral("/.orvi-write-probe-%1").arg(::GetCurrentProcessId()));
    const HANDLE handle = ::CreateFileW(nativePath(probe), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return false;
    }
    const DWORD error = ::GetLastError();
    fail(errorOfLastCall());
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

FileSystem::Kind FileSystem::kindOf(const QString &path)
{
    // Below a missing folder nothing is there; below a reparse point nothing is reached.
    if (!reachable(path))
        return errno == ENOENT ? Kind::Missing : Kind::Link;
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction())
        return Kind::Link;
    if (!info.exists())
        return Kind::Missing;
    if (info.isDir())
        return Kind::Folder;
    return info.isFile() ? Kind::File : Kind::Other;
}

int FileSystem::fileMode(const QString &)
{
    return -1;
}

int FileSystem::creationMask()
{
    return 0;
}

bool FileSystem::sameFile(const QString &a, const QString &b)
{
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return identify(a, &first) && identify(b, &second)
        && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber
        && first.nFileIndexHigh == second.nFileIndexHigh
        && first.nFileIndexLow == second.nFileIndexLow;
}

bool FileSystem::sameFileSystem(const QString &a, const QString &b)
{
    return QFileInfo(a).absoluteFilePath().left(2).compare(
               QFileInfo(b).absoluteFilePath().left(2), Qt::CaseInsensitive)
        == 0;
}
