#include "removefolderfiles.h"

#include "installationjournal.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
void removeFiles(const QString &path, const QStringList &spared, const QStringList &ownNames)
{
    const QDir folder(path);
    const QFileInfoList subfolders
        = folder.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &subfolder : subfolders) {
        const QString subfolderPath = path + QLatin1Char('/') + subfolder.fileName();
        if (subfolder.isSymLink() || subfolder.isJunction()) {
            // A link to a folder goes, what it points to stays.
            if (!QFile::remove(subfolderPath))
                QDir().rmdir(subfolderPath);
            continue;
        }
        removeFiles(subfolderPath, spared, ownNames);
    }

    // System adds dangling links, which Files alone does not list.
    const QFileInfoList files
        = folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QFileInfo &file : files) {
        const QString filePath = file.absoluteFilePath();
        // Linux lets a running program's files be deleted; Retry starts them again.
        if (((file.isSymLink() || ownNames.contains(file.fileName()))
                && Platform::isOwnFile(filePath))
            || spared.contains(QDir::cleanPath(filePath)))
            continue;
        QFile::remove(filePath);
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
    removeFiles(path, spared, Platform::ownFileNames());
}
