#include "folder.h"

#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <utility>
#include <windows.h>

namespace {
QString joined(const QString &folder, const QString &name)
{
    if (name.isEmpty())
        return folder;
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

enum class FolderKind { Plain, Missing, File, Other };

// Windows has no folder descriptors here; a folder is entered only when it is no reparse point
// (a junction or link would lead elsewhere), asked of the entry itself, never of its target.
FolderKind folderKind(const QString &path)
{
    const HANDLE handle
        = ::CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()),
            FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FolderKind::Missing
                                                                              : FolderKind::Other;
    }
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = ::GetFileInformationByHandle(handle, &information);
    ::CloseHandle(handle);
    if (!known || (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return FolderKind::Other;
    return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FolderKind::Plain
                                                                          : FolderKind::File;
}

bool isPlainFolder(const QString &path)
{
    return folderKind(path) == FolderKind::Plain;
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

Folder::Place::Place(const QString &path) : m_valid(true), m_path(path) { }

Folder::Place::Place(Place &&other) noexcept
    : m_folder(std::exchange(other.m_folder, -1))
    , m_owned(std::exchange(other.m_owned, false))
    , m_valid(std::exchange(other.m_valid, false))
    , m_name(std::move(other.m_name))
    , m_path(std::move(other.m_path))
{
}

Folder::Place::~Place() = default;

Folder::~Folder() = default;

Folder Folder::openByName(const QString &path)
{
    Folder folder;
    folder.m_path = path;
    folder.m_open = isPlainFolder(path);
    if (!folder.m_open)
        FileSystem::fail(ENOENT);
    return folder;
}

Folder::Place Folder::place(const QString &relative) const
{
    Place place;
    QStringList names = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    place.m_path = joined(m_path, names.join(QLatin1Char('/')));
    if (!m_open || names.contains(QLatin1String("..")) || names.contains(QLatin1String("."))
        || relative.contains(QLatin1Char('\\'))) {
        FileSystem::fail(m_open ? EINVAL : EBADF);
        return place;
    }
    if (!names.isEmpty())
        names.removeLast();
    QString reached = m_path;
    for (const QString &name : std::as_const(names)) {
        reached = joined(reached, name);
        // A missing folder is told apart, as Unix does, so that callers take the name as free.
        switch (folderKind(reached)) {
        case FolderKind::Plain:
            continue;
        // A plain file on the way holds nothing below it, as on Unix; a link is refused.
        case FolderKind::Missing:
        case FolderKind::File:
            FileSystem::fail(ENOENT);
            return place;
        case FolderKind::Other:
            FileSystem::fail(ELOOP);
            return place;
        }
    }
    place.m_valid = true;
    return place;
}

Folder Folder::openFolder(const QString &relative) const
{
    const Place place = this->place(relative);
    if (!place.isValid()) {
        Folder folder;
        folder.m_path = place.path();
        return folder;
    }
    return openByName(place.path());
}

Folder::Status Folder::status() const
{
    // The user's own temporary folder: private to the user, with no owner to compare here.
    if (!m_open)
        return Status();
    return { true, false, false, false };
}

FileSystem::Handle Folder::create(const QString &name, int) const
{
    m_errorText.clear();
    const Place place = this->place(name);
    if (!place.isValid()) {
        // In the words a plain open of the same path would have used.
        if (errno == ENOENT)
            m_errorText = systemText(ERROR_PATH_NOT_FOUND);
        return -1;
    }
    const QString path = QDir::toNativeSeparators(place.path());
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
    const Place place = this->place(name);
    if (!place.isValid())
        return -1;
    if (FileSystem::kindOf(place.path()) != FileSystem::Kind::File) {
        FileSystem::fail(ENOENT);
        return -1;
    }
    const QString path = QDir::toNativeSeparators(place.path());
    const int handle
        = ::_wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_RDONLY | _O_BINARY);
    if (handle < 0)
        FileSystem::fail(errno);
    return handle;
}

bool Folder::makeFolder(const QString &name, bool isPrivate) const
{
    const Place place = this->place(name);
    return place.isValid() && FileSystem::makeFolder(place.path(), isPrivate);
}

bool Folder::rename(const QString &from, const QString &to) const
{
    const Place source = place(from);
    const Place target = place(to);
    return source.isValid() && target.isValid() && FileSystem::rename(source.path(), target.path());
}

bool Folder::unlink(const QString &name) const
{
    const Place place = this->place(name);
    if (!place.isValid())
        return false;
    const QString native = QDir::toNativeSeparators(place.path());
    const LPCWSTR path = reinterpret_cast<LPCWSTR>(native.utf16());
    // A junction or a link to a folder is removed as a folder; what it points to stays.
    if (::DeleteFileW(path)
        || (FileSystem::kindOf(place.path()) == FileSystem::Kind::Link && ::RemoveDirectoryW(path)))
        return true;
    FileSystem::fail(EACCES);
    return false;
}

QString Folder::errorText() const
{
    return m_errorText.isEmpty() ? FileSystem::errorText() : m_errorText;
}

FileSystem::Kind Folder::kindOf(const QString &name) const
{
    const Place place = this->place(name);
    return place.isValid() ? FileSystem::kindOf(place.path()) : FileSystem::Kind::Link;
}

QVector<Folder::Entry> Folder::entries() const
{
    QVector<Entry> entries;
    if (!m_open || !isPlainFolder(m_path))
        return entries;
    const QStringList names = QDir(m_path).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &name : names)
        entries.append({ name, FileSystem::kindOf(joined(m_path, name)) });
    return entries;
}
