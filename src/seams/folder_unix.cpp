#include "folder.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

QString joined(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

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
} // namespace

Folder::Place::Place(const QString &path)
    : m_folder(AT_FDCWD), m_valid(true), m_name(QFile::encodeName(path)), m_path(path)
{
}

Folder::Place::Place(Place &&other) noexcept
    : m_folder(std::exchange(other.m_folder, -1))
    , m_owned(std::exchange(other.m_owned, false))
    , m_valid(std::exchange(other.m_valid, false))
    , m_name(std::move(other.m_name))
    , m_path(std::move(other.m_path))
{
}

Folder::Place::~Place()
{
    if (m_owned)
        ::close(m_folder);
}

Folder::~Folder()
{
    if (m_handle >= 0)
        ::close(m_handle);
}

Folder Folder::openByName(const QString &path)
{
    Folder folder;
    folder.m_path = path;
    // A trailing slash would have the system follow a link at the last name after all.
    QString name = path;
    while (name.size() > 1 && name.endsWith(QLatin1Char('/')))
        name.chop(1);
    folder.m_handle = ::open(QFile::encodeName(name).constData(), folderFlags);
    folder.m_open = folder.m_handle >= 0;
    if (!folder.m_open)
        FileSystem::fail(errno);
    return folder;
}

Folder::Place Folder::place(const QString &relative) const
{
    Place place;
    place.m_path = joined(m_path, relative);
    QList<QByteArray> names = QFile::encodeName(relative).split('/');
    names.removeAll(QByteArray());
    if (!m_open || names.contains("..") || names.contains(".")) {
        FileSystem::fail(m_open ? EINVAL : EBADF);
        return place;
    }
    // The folder itself, for the calls that take a folder and a name.
    place.m_name = names.isEmpty() ? QByteArray(".") : names.takeLast();
    place.m_folder = m_handle;
    for (const QByteArray &name : std::as_const(names)) {
        const int next = ::openat(place.m_folder, name.constData(), folderFlags);
        if (next < 0) {
            int error = errno;
            // Told apart: a link on the way is refused, a plain file there holds nothing below.
            struct stat status;
            if (error == ENOTDIR
                && ::fstatat(place.m_folder, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
                && !S_ISLNK(status.st_mode))
                error = ENOENT;
            FileSystem::fail(error);
            return place;
        }
        if (place.m_owned)
            ::close(place.m_folder);
        place.m_folder = next;
        place.m_owned = true;
    }
    place.m_valid = true;
    return place;
}

Folder Folder::openFolder(const QString &relative) const
{
    Folder folder;
    folder.m_path = joined(m_path, relative);
    const Place place = this->place(relative);
    if (!place.isValid())
        return folder;
    folder.m_handle = ::openat(place.folder(), place.name(), folderFlags);
    folder.m_open = folder.m_handle >= 0;
    if (!folder.m_open)
        FileSystem::fail(errno);
    return folder;
}

Folder::Status Folder::status() const
{
    struct stat status;
    if (!m_open || ::fstat(m_handle, &status) != 0 || !S_ISDIR(status.st_mode))
        return Status();
    return { status.st_uid == ::geteuid(), status.st_uid == 0,
        (status.st_mode & (S_IWGRP | S_IWOTH)) != 0, (status.st_mode & S_ISVTX) != 0 };
}

FileSystem::Handle Folder::create(const QString &name, int mode) const
{
    const Place place = this->place(name);
    if (!place.isValid())
        return -1;
    const int handle = ::openat(place.folder(), place.name(),
        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode_t(mode));
    if (handle < 0)
        FileSystem::fail(errno);
    return handle;
}

FileSystem::Handle Folder::read(const QString &name) const
{
    const Place place = this->place(name);
    if (!place.isValid())
        return -1;
    // Not blocking, so that a pipe planted under the name cannot stall the run.
    const int handle
        = ::openat(place.folder(), place.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (handle >= 0 && (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(handle);
        FileSystem::fail(EINVAL);
        return -1;
    }
    if (handle < 0)
        FileSystem::fail(errno);
    return handle;
}

bool Folder::makeFolder(const QString &name, bool isPrivate) const
{
    const Place place = this->place(name);
    return place.isValid()
        && FileSystem::succeeded(
            ::mkdirat(place.folder(), place.name(), isPrivate ? 0700 : 0755) == 0);
}

bool Folder::rename(const QString &from, const QString &to) const
{
    const Place source = place(from);
    const Place target = place(to);
    return source.isValid() && target.isValid()
        && FileSystem::succeeded(
            ::renameat(source.folder(), source.name(), target.folder(), target.name()) == 0);
}

bool Folder::unlink(const QString &name) const
{
    const Place place = this->place(name);
    return place.isValid()
        && FileSystem::succeeded(::unlinkat(place.folder(), place.name(), 0) == 0);
}

FileSystem::Kind Folder::kindOf(const QString &name) const
{
    const Place place = this->place(name);
    struct stat status;
    if (!place.isValid()
        || ::fstatat(place.folder(), place.name(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return FileSystem::Kind::Missing;
    return kindOfStatus(status);
}

QVector<Folder::Entry> Folder::entries() const
{
    QVector<Entry> entries;
    // The listing consumes its own descriptor; this folder's stays open.
    const int handle = m_open ? ::openat(m_handle, ".", folderFlags) : -1;
    DIR *const listing = handle >= 0 ? ::fdopendir(handle) : nullptr;
    if (!listing) {
        if (handle >= 0)
            ::close(handle);
        return entries;
    }
    while (const struct dirent *entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        struct stat status;
        if (name == "." || name == ".."
            || ::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        entries.append({ QFile::decodeName(name), kindOfStatus(status) });
    }
    ::closedir(listing);
    return entries;
}

QString Folder::errorText() const
{
    return FileSystem::errorText();
}
