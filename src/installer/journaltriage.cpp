#include "journaltriage.h"

#include "filesystem.h"
#include "folder.h"
#include "installationjournal.h"
#include "mainapppaths.h"
#include "platform.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {
// The subfolders of the download folder that hold the running updater's own files.
QSet<QString> ownFolders()
{
    QSet<QString> folders;
    for (const QString &file : Platform::relocationFiles()) {
        if (file.contains(QLatin1Char('/')))
            folders.insert(file.section(QLatin1Char('/'), 0, 0));
    }
    return folders;
}

QStringList packageFolders(const Folder &downloadFolder)
{
    QStringList folders;
    const QSet<QString> own = ownFolders();
    for (const Folder::Entry &entry : downloadFolder.entries()) {
        if (entry.kind == FileSystem::Kind::Folder && !own.contains(entry.name)
            && entry.name != QLatin1String("journal"))
            folders << entry.name;
    }
    return folders;
}

// A finished run empties the backup folders but keeps their subfolders; only a file left at
// any depth is a backup.
bool holdsFile(const Folder &folder)
{
    const QVector<Folder::Entry> entries = folder.entries();
    return std::any_of(entries.cbegin(), entries.cend(), [&folder](const Folder::Entry &entry) {
        return entry.kind != FileSystem::Kind::Folder || holdsFile(folder.openFolder(entry.name));
    });
}
} // namespace

JournalTriage::Result JournalTriage::sortOut(
    const QString &downloadFolder, const QString &appFolder)
{
    const QString journal = InstallationJournal::filePath(downloadFolder);
    const FileSystem::Kind kind = FileSystem::kindOf(journal);
    if (kind == FileSystem::Kind::Missing)
        return hasUnaccountedBackups(downloadFolder) ? setAside(downloadFolder) : Result();
    const InstallationJournal::State state = InstallationJournal::state(downloadFolder);
    if (kind != FileSystem::Kind::File || state == InstallationJournal::State::Damaged)
        return setAside(downloadFolder);
    if (state != InstallationJournal::State::Unfinished)
        return Result();
    const InstallationJournal::Folders folders = InstallationJournal::folders(downloadFolder);
    // A journal of the previous format names no folder; it is undone as before.
    if (folders.application.isEmpty() || MainAppPaths::sameFolder(folders.application, appFolder))
        return Result();
    if (!QFileInfo::exists(MainAppPaths::mainAppPath(folders.application)))
        return setAside(downloadFolder);
    Result result;
    result.finding = Finding::OtherInstallation;
    result.otherFolder = folders.application;
    return result;
}

bool JournalTriage::hasUnaccountedBackups(const QString &downloadFolder)
{
    const Folder folder = Folder::open(downloadFolder);
    for (const QString &name : packageFolders(folder)) {
        if (const Folder unwind = folder.openFolder(name + QStringLiteral("/unwind"));
            unwind.isOpen() && holdsFile(unwind))
            return true;
    }
    return false;
}

JournalTriage::Result JournalTriage::setAside(const QString &downloadFolder)
{
    Result result;
    result.finding = Finding::Failed;
    // Beside the download folder: on the same file system, so that everything moves by rename.
    const QString base = QFileInfo(QDir::cleanPath(downloadFolder)).path()
        + QStringLiteral("/tupdates-kept-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString kept = base;
    for (int n = 1; FileSystem::kindOf(kept) != FileSystem::Kind::Missing; ++n)
        kept = base + QStringLiteral("-%1").arg(n);
    if (!FileSystem::makeFolder(kept, true)) {
        result.errorText = kept + QStringLiteral(": ") + FileSystem::errorText();
        return result;
    }
    QStringList names = packageFolders(Folder::open(downloadFolder));
    if (FileSystem::kindOf(InstallationJournal::filePath(downloadFolder))
        != FileSystem::Kind::Missing)
        names.prepend(QStringLiteral("journal"));
    for (const QString &name : std::as_const(names)) {
        const QString from = downloadFolder + QLatin1Char('/') + name;
        if (!FileSystem::rename(from, kept + QLatin1Char('/') + name)) {
            result.errorText = from + QStringLiteral(": ") + FileSystem::errorText();
            return result;
        }
    }
    if (!FileSystem::syncFolder(kept) || !FileSystem::syncFolder(downloadFolder)) {
        result.errorText = kept + QStringLiteral(": ") + FileSystem::errorText();
        return result;
    }
    result.finding = Finding::SetAside;
    result.keptFolder = kept;
    return result;
}
