#include "folder.h"

#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {
QString joined(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

// Windows has no folder descriptors here; a folder is refused when it is a reparse point, and
// what is in it is reached by its path.
bool isPlainFolder(const QString &path)
{
    const DWORD attributes
        = ::GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
        && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}
} // namespace

Folder::~Folder() = default;

Folder Folder::open(const QString &path)
{
    Folder folder;
    folder.m_path = path;
    folder.m_open = isPlainFolder(path);
    if (!folder.m_open)
        FileSystem::fail(ENOENT);
    return folder;
}

Folder Folder::openFolder(const QString &name) const
{
    if (name.contains(QLatin1Char('/')) || name == QLatin1String("..")) {
        FileSystem::fail(EINVAL);
        return Folder();
    }
    return open(joined(m_path, name));
}

Folder::Status Folder::status() const
{
    // The user's own temporary folder: private to the user, with no owner to compare here.
    if (!m_open)
        return Status();
    return { true, false, false, false };
}

FileSystem::Handle Folder::create(const QString &name) const
{
    return FileSystem::create(joined(m_path, name));
}

FileSystem::Handle Folder::read(const QString &name) const
{
    const QString path = QDir::toNativeSeparators(joined(m_path, name));
    if (FileSystem::kindOf(joined(m_path, name)) != FileSystem::Kind::File) {
        FileSystem::fail(ENOENT);
        return -1;
    }
    const int handle
        = ::_wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_RDONLY | _O_BINARY);
    if (handle < 0)
        FileSystem::fail(errno);
    return handle;
}

bool Folder::makeFolder(const QString &name, bool isPrivate) const
{
    return FileSystem::makeFolder(joined(m_path, name), isPrivate);
}

bool Folder::rename(const QString &from, const QString &to) const
{
    return FileSystem::rename(joined(m_path, from), joined(m_path, to));
}

bool Folder::unlink(const QString &name) const
{
    return FileSystem::unlink(joined(m_path, name));
}

FileSystem::Kind Folder::kindOf(const QString &name) const
{
    return FileSystem::kindOf(joined(m_path, name));
}
