#include "discardedfolders.h"

#include "filesystem.h"
#include "folder.h"
#include "platform.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {
const QString prefix = QStringLiteral("tupdates-discarded-");

// The names in the download folder that hold the running updater's own files.
QSet<QString> ownNames()
{
    QSet<QString> names;
    for (const QString &file : Platform::relocationFiles())
        names.insert(file.section(QLatin1Char('/'), 0, 0));
    return names;
}

// Entered from the folder above, never through a link.
void removeTree(const Folder &folder, const QString &path)
{
    for (const Folder::Entry &entry : folder.entries()) {
        const QString entryPath = path + QLatin1Char('/') + entry.name;
        if (entry.kind != FileSystem::Kind::Folder) {
            folder.unlink(entry.name);
            continue;
        }
        if (const Folder subfolder = folder.openFolder(entry.name); subfolder.isOpen())
            removeTree(subfolder, entryPath);
        FileSystem::removeFolder(entryPath);
    }
}
} // namespace

QString DiscardedFolders::parentOf(const QString &downloadFolder)
{
    return QFileInfo(QDir::cleanPath(downloadFolder)).path();
}

bool DiscardedFolders::discard(const QString &downloadFolder)
{
    const QString parent = parentOf(downloadFolder);
    QString discarded;
    for (int n = 1; discarded.isEmpty(); ++n) {
        const QString candidate = parent + QLatin1Char('/') + prefix + QString::number(n);
        if (FileSystem::kindOf(candidate) != FileSystem::Kind::Missing)
            continue;
        if (!FileSystem::makeFolder(candidate, true))
            return false;
        discarded = candidate;
    }
    const QSet<QString> own = ownNames();
    const QString folder = QDir::cleanPath(downloadFolder);
    bool moved = true;
    for (const Folder::Entry &entry : Folder::open(folder).entries()) {
        if (own.contains(entry.name) && Platform::isOwnFile(folder + QLatin1Char('/') + entry.name))
            continue;
        if (own.contains(entry.name) && entry.kind == FileSystem::Kind::Folder)
            continue;
        moved = FileSystem::rename(folder + QLatin1Char('/') + entry.name,
                    discarded + QLatin1Char('/') + entry.name)
            && moved;
    }
    return moved;
}

void DiscardedFolders::removeAll(const QString &downloadFolder)
{
    const QString parent = parentOf(downloadFolder);
    const Folder folder = Folder::open(parent);
    for (const Folder::Entry &entry : folder.entries()) {
        if (entry.kind != FileSystem::Kind::Folder || !entry.name.startsWith(prefix))
            continue;
        const QString path = parent + QLatin1Char('/') + entry.name;
        if (const Folder discarded = folder.openFolder(entry.name); discarded.isOpen())
            removeTree(discarded, path);
        FileSystem::removeFolder(path);
    }
}
