#include "runmarker.h"

#include "filesystem.h"
#include "platform.h"

#include <QFile>

QString RunMarker::path(const QString &appFolder)
{
    return appFolder + QStringLiteral("/.orvi-update-running");
}

bool RunMarker::place(const QString &appFolder, QString *errorText)
{
    if (FileSystem::replaceFile(path(appFolder), Platform::userName().toUtf8() + '\n'))
        return true;
    *errorText = FileSystem::errorText();
    // Nothing changed yet, so nothing may stay behind.
    remove(appFolder);
    return false;
}

void RunMarker::remove(const QString &appFolder)
{
    bool removed = false;
    for (const QString &file : { path(appFolder) + QStringLiteral(".new"), path(appFolder) }) {
        if (FileSystem::kindOf(file) != FileSystem::Kind::Missing && FileSystem::unlink(file))
            removed = true;
    }
    if (removed)
        FileSystem::syncFolder(appFolder);
}

QString RunMarker::owner(const QString &appFolder)
{
    const QString marker = path(appFolder);
    if (FileSystem::kindOf(marker) == FileSystem::Kind::Missing)
        return QString();
    // Opened without blocking and only as a plain file, so that a pipe in its place cannot
    // stall the run while it holds the locks; what cannot be read still marks the folder, its
    // user then unknown, and so does a marker too large for one this updater wrote.
    constexpr qint64 largestMarker = 1024;
    QFile file;
    const FileSystem::Handle handle = FileSystem::read(marker);
    QString owner;
    if (handle >= 0 && file.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)
        && file.size() <= largestMarker)
        owner = QString::fromUtf8(file.read(largestMarker)).trimmed();
    else if (handle >= 0 && !file.isOpen())
        FileSystem::close(handle, marker);
    return owner.isEmpty() ? QStringLiteral("?") : owner;
}
