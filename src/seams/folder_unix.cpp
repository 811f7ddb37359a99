#include "folder.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The folder that holds the last name of relative, walked one name at a time so that no link
// is followed; -1 with errno set when there is none. The caller closes it unless it is base.
int parentOf(int base, const QString &relative, QByteArray *leaf)
{
    QList<QByteArray> names = QFile::encodeName(relative).split('/');
    names.removeAll(QByteArray());
    if (names.isEmpty() || names.contains("..") || names.contains(".")) {
        errno = EINVAL;
        return -1;
    }
    *leaf = names.takeLast();
    int folder = base;
    for (const QByteArray &name : std::as_const(names)) {
        const int next = ::openat(folder, name.constData(), folderFlags);
        if (folder != base)
            ::close(folder);
        if (next < 0)
            return -1;
        folder = next;
    }
    return folder;
}

// Runs call on the folder holding relative and its last name; -1 when that folder is missing.
template<typename Call>
int inParent(int base, const QString &relative, Call call)
{
    QByteArray leaf;
    const int parent = parentOf(base, relative, &leaf);
    if (parent < 0)
        return -1;
    const int result = call(parent, leaf.constData());
    const int error = errno;
    if (parent != base)
        ::close(parent);
    errno = error;
    return result;
}

QString joined(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}
} // namespace

Folder::~Folder()
{
    if (m_handle >= 0)
        ::close(m_handle);
}

Folder Folder::open(const QString &path)
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

Folder Folder::openFolder(const QString &name) const
{
    Folder folder;
    folder.m_path = joined(m_path, name);
    if (name.contains(QLatin1Char('/')) || name == QLatin1String("..")) {
        FileSystem::fail(EINVAL);
        return folder;
    }
    folder.m_handle = ::openat(m_handle, QFile::encodeName(name).constData(), folderFlags);
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

FileSystem::Handle Folder::create(const QString &name) const
{
    const int handle = inParent(m_handle, name, [](int parent, const char *leaf) {
        return ::openat(parent, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    });
    if (handle < 0)
        FileSystem::fail(errno);
    return handle;
}

FileSystem::Handle Folder::read(const QString &name) const
{
    // Not blocking, so that a pipe planted under the name cannot stall the run.
    const int handle = inParent(m_handle, name, [](int parent, const char *leaf) {
        return ::openat(parent, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    });
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
    const mode_t mode = isPrivate ? 0700 : 0755;
    return FileSystem::succeeded(inParent(m_handle, name, [mode](int parent, const char *leaf) {
        return ::mkdirat(parent, leaf, mode);
    }) == 0);
}

bool Folder::rename(const QString &from, const QString &to) const
{
    QByteArray toLeaf;
    const int toParent = parentOf(m_handle, to, &toLeaf);
    if (toParent < 0)
        return FileSystem::succeeded(false);
    const int result = inParent(m_handle, from, [&](int parent, const char *leaf) {
        return ::renameat(parent, leaf, toParent, toLeaf.constData());
    });
    const int error = errno;
    if (toParent != m_handle)
        ::close(toParent);
    errno = error;
    return FileSystem::succeeded(result == 0);
}

bool Folder::unlink(const QString &name) const
{
    return FileSystem::succeeded(inParent(m_handle, name, [](int parent, const char *leaf) {
        return ::unlinkat(parent, leaf, 0);
    }) == 0);
}

FileSystem::Kind Folder::kindOf(const QString &name) const
{
    struct stat status;
    const int result = inParent(m_handle, name, [&status](int parent, const char *leaf) {
        return ::fstatat(parent, leaf, &status, AT_SYMLINK_NOFOLLOW);
    });
    if (result != 0)
        return FileSystem::Kind::Missing;
    if (S_ISLNK(status.st_mode))
        return FileSystem::Kind::Link;
    if (S_ISDIR(status.st_mode))
        return FileSystem::Kind::Folder;
    if (S_ISREG(status.st_mode))
        return FileSystem::Kind::File;
    return FileSystem::Kind::Other;
}

QString Folder::errorText() const
{
    return FileSystem::errorText();
}
