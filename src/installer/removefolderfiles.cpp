#include "removefolderfiles.h"

#include "folder.h"
#include "installationjournal.h"
#include "platform.h"

#include <QDir>

namespace {
// Every folder is entered from the one above it, never through a link: a folder swapped for a
// link while this runs leads nowhere else.
void removeFiles(const Folder &folder, const QString &path, const QStringList &spared,
    const QStringList &ownNames)
{
    for (const Folder::Entry &entry : folder.entries()) {
        const QString entryPath = path + QLatin1Char('/') + entry.name;
        if (entry.kind == FileSystem::Kind::Folder) {
            if (const Folder subfolder = folder.openFolder(entry.name); subfolder.isOpen())
                removeFiles(subfolder, entryPath, spared, ownNames);
            continue;
        }
        // Linux lets a running program's files be deleted; Retry starts them again. A link to
        // a folder goes, what it points to stays.
        if (((entry.kind == FileSystem::Kind::Link || ownNames.contains(entry.name))
                && Platform::isOwnFile(entryPath))
            || spared.contains(QDir::cleanPath(entryPath)))
            continue;
        folder.unlink(entry.name);
    }
}
} // namespace

void removeFolderFiles(const QString &path, const QStringList &spared)
{
    // The backups an unfinished journal names are the only copies of the originals.
    const InstallationJournal::State journal = InstallationJournal::state(path);
    if (journal == InstallationJournal::State::Unfinished
        || journal == InstallationJournal::State::Damaged)
        return;
    const Folder folder = Folder::open(path);
    if (folder.isOpen())
        removeFiles(folder, QDir::cleanPath(path), spared, Platform::ownFileNames());
}
