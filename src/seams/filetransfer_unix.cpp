#include "filetransfer.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
bool copyWithoutOverwrite(const QString &from, const QString &to)
{
    // QFile::copy refuses an existing destination and keeps the permission flags.
    return QFile::copy(from, to);
}
} // namespace

bool FileTransfer::move(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray destination = QFile::encodeName(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(
            AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(), RENAME_NOREPLACE)
        == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno == EXDEV) {
        if (!copyWithoutOverwrite(from, to))
            return false;
        QFile::remove(from);
        return true;
    }
#endif
    // File systems without an exclusive rename: a second name, then the first one dropped.
    if (::link(source.constData(), destination.constData()) == 0) {
        ::unlink(source.constData());
        return true;
    }
    if (errno == EEXIST || errno == ENOENT)
        return false;
    if (!copyWithoutOverwrite(from, to))
        return false;
    QFile::remove(from);
    return true;
}

bool FileTransfer::linkOrCopy(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray destination = QFile::encodeName(to);
    if (::link(source.constData(), destination.constData()) == 0)
        return true;
    if (errno == EEXIST || errno == ENOENT)
        return false;
    return copyWithoutOverwrite(from, to);
}
