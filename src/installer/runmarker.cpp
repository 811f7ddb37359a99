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
    QFile marker(path(appFolder));
    if (FileSystem::kindOf(marker.fileName()) == FileSystem::Kind::Missing)
        return QString();
    // A marker that cannot be read still marks the folder: its user is then unknown.
    const QString owner = marker.open(QIODevice::ReadOnly)
        ? QString::fromUtf8(marker.read(1024)).trimmed()
        : QString();
    return owner.isEmpty() ? QStringLiteral("?") : owner;
}
