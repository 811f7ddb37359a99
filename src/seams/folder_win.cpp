#include "folder.h"

#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
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
// The system's own words for error, as Qt's file classes report it.
QString systemText(DWORD error)
{
    wchar_t *text = nullptr;
    ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text),
        0, nullptr);
    QString result = text ? QString::fromWCharArray(text) : QString();
    ::LocalFree(text);
    if (result.endsWith(QLatin1String("\r\n")))
        result.chop(2);
    return result;
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
    const QString path = QDir::toNativeSeparators(joined(m_path, name));
    const int handle = ::_wopen(reinterpret_cast<const wchar_t *>(path.utf16()),
        _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (handle < 0) {
        const DWORD error = ::GetLastError();
        FileSystem::fail(errno);
        m_errorText = systemText(error);
    }
    return handle;
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

QString Folder::errorText() const
{
    return m_errorText.isEmpty() ? FileSystem::errorText() : m_errorText;
}

FileSystem::Kind Folder::kindOf(const QString &name) const
{
    return FileSystem::kindOf(joined(m_path, name));
}
