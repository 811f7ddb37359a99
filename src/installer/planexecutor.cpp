#include "planexecutor.h"

#include "filesystem.h"
#include "foldermaker.h"
#include "packageplan.h"
#include "payloadmode.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QSet>

namespace {
QString folderOf(const QString &filePath)
{
    return filePath.left(filePath.lastIndexOf(QLatin1Char('/')));
}

QString cannotCopy(const QString &source, const QString &target)
{
    return QCoreApplication::translate("translation", "Cannot copy file %1 to %2!", "nc")
        .arg(source, target);
}

QString cannotBackUp(const QString &file, const QString &backup)
{
    return QCoreApplication::translate("translation", "Cannot back up file %1 to %2!", "nc")
        .arg(file, backup);
}

bool isLeftOver(FileSystem::Kind kind)
{
    return kind == FileSystem::Kind::File || kind == FileSystem::Kind::Link;
}

// Makes folder and those missing above it, through the file-system seam so that no link on
// the way is followed. False when nothing was made.
bool makeFolders(const QString &folder)
{
    if (folder.isEmpty() || FileSystem::kindOf(folder) != FileSystem::Kind::Missing)
        return false;
    makeFolders(folderOf(folder));
    return FileSystem::makeFolder(folder);
}

// Makes way for a backup to go back to target: removes a folder the run made there (empty
// once its own steps ran) and makes the target's folder, should someone have removed it since.
// False when nothing was in the way.
bool makeWay(const QString &target)
{
    bool made = false;
    if (FileSystem::kindOf(target) == FileSystem::Kind::Folder)
        made = FileSystem::removeFolder(target);
    return makeFolders(folderOf(target)) || made;
}

// Puts backup back at target; across file systems through a synced copy under temporary.
bool restore(const PlanStep &step)
{
    // What stands in the way is looked at only when the rename fails: a recovery renames
    // hundreds of thousands of backups, and each look is a system call.
    if (FileSystem::rename(step.backup, step.target))
        return true;
    // Still the very file the backup names: the step went no further than the backup, and
    // Windows renames nothing over a file another program holds open without sharing its
    // deletion. A backup that cannot go yet is only a second name.
    if (FileSystem::sameFile(step.backup, step.target)) {
        FileSystem::unlink(step.backup);
        return true;
    }
    if (!FileSystem::crossDevice() && makeWay(step.target)
        && FileSystem::rename(step.backup, step.target))
        return true;
    if (!FileSystem::crossDevice())
        return false;
    return FileSystem::copy(step.backup, step.temporary)
        && FileSystem::rename(step.temporary, step.target) && FileSystem::unlink(step.backup);
}
} // namespace

PlanExecutor::PlanExecutor(
    const QVector<PlanStep> &steps, const QString &packageFolder, QFile::Permissions flags)
    : m_steps(steps), m_packageFolder(packageFolder), m_flags(flags)
{
}

bool PlanExecutor::prepare()
{
    FolderMaker folders(PackagePlan::cleanAbsolutePath(m_packageFolder) + QLatin1Char('/'));
    const int creationMask = FileSystem::creationMask();
    for (const PlanStep &step : std::as_const(m_steps)) {
        if (!step.backup.isEmpty() && !folders.make(folderOf(step.backup))) {
            m_errorText = cannotBackUp(step.target, step.backup);
            return false;
        }
        // The payload's last use is the one that moves it; its earlier uses link or copy it
        // with its mode. Every use has the same target, still as it was before the package.
        if (!step.source.isEmpty() && !step.keepSource && !readyPayload(step, creationMask)) {
            m_errorText = cannotCopy(step.source, step.target);
            return false;
        }
    }
    return true;
}

bool PlanExecutor::readyPayload(const PlanStep &step, int creationMask) const
{
    if (m_flags != QFile::Permissions())
        return FileSystem::setPermissions(step.source, m_flags);
    return FileSystem::setMode(step.source,
        PayloadMode::of(FileSystem::fileMode(step.target), step.entryMode, creationMask));
}

bool PlanExecutor::perform()
{
    QSet<QString> changedFolders;
    for (const PlanStep &step : std::as_const(m_steps)) {
        if (!performStep(step))
            return false;
        ++m_done;
        changedFolders.insert(folderOf(step.target));
        if (!step.backup.isEmpty())
            changedFolders.insert(folderOf(step.backup));
    }
    // The renames of this package are durable before anything records it as installed.
    for (const QString &folder : std::as_const(changedFolders)) {
        if (!FileSystem::syncFolder(folder)) {
            m_errorText = cannotCopy(m_packageFolder, folder);
            return false;
        }
    }
    return true;
}

bool PlanExecutor::performStep(const PlanStep &step)
{
    using Kind = PlanStep::Kind;
    bool ok = true;
    switch (step.kind) {
    case Kind::Folder:
        ok = FileSystem::makeFolder(step.target);
        break;
    case Kind::Create:
        ok = place(step);
        break;
    case Kind::Replace:
        // The new file is renamed over the old one, so that the name never lacks a file; a
        // file Windows may hold loaded can only be renamed away first.
        ok = (Platform::replaceableInPlace(step.target) ? keepAside(step) : moveAside(step))
            && place(step);
        break;
    case Kind::Remove:
        ok = keepAside(step)
            && (FileSystem::kindOf(step.target) == FileSystem::Kind::Missing
                || FileSystem::unlink(step.target));
        break;
    case Kind::Overwrite:
        ok = step.source.isEmpty() ? FileSystem::unlink(step.target) : place(step);
        break;
    }
    if (!ok) {
        const QString error = FileSystem::errorText();
        m_errorText = (step.kind == Kind::Replace || step.kind == Kind::Remove
                              ? cannotBackUp(step.target, step.backup)
                              : cannotCopy(step.source, step.target))
            + QLatin1Char('\n') + error;
    }
    return ok;
}

bool PlanExecutor::moveAside(const PlanStep &step)
{
    if (FileSystem::rename(step.target, step.backup))
        return true;
    return FileSystem::crossDevice() && copyAside(step);
}

bool PlanExecutor::keepAside(const PlanStep &step)
{
    if (FileSystem::link(step.target, step.backup))
        return true;
    return FileSystem::linkImpossible() && copyAside(step);
}

bool PlanExecutor::copyAside(const PlanStep &step)
{
    // The backup is a synced copy that appears under its name only whole.
    const QString partial = step.backup + QLatin1String(".part");
    if (FileSystem::kindOf(partial) != FileSystem::Kind::Missing)
        FileSystem::unlink(partial);
    return FileSystem::copy(step.target, partial) && FileSystem::rename(partial, step.backup);
}

bool PlanExecutor::place(const PlanStep &step)
{
    if (!step.keepSource) {
        if (FileSystem::rename(step.source, step.target))
            return true;
        if (!FileSystem::crossDevice())
            return false;
    }
    if (FileSystem::kindOf(step.temporary) != FileSystem::Kind::Missing
        && !FileSystem::unlink(step.temporary))
        return false;
    const bool copied = FileSystem::link(step.source, step.temporary)
        || (FileSystem::crossDevice() && FileSystem::copy(step.source, step.temporary));
    return copied && FileSystem::rename(step.temporary, step.target);
}

QStringList PlanExecutor::undo(const QVector<PlanStep> &steps, int done, const Progress &progress)
{
    QStringList failures;
    // Synced once each after the last step rather than after each of their steps.
    QSet<QString> changedFolders;
    int index = int(steps.size());
    for (auto step = steps.crbegin(); step != steps.crend(); ++step) {
        --index;
        changedFolders.insert(folderOf(step->target));
        if (!step->temporary.isEmpty() && isLeftOver(FileSystem::kindOf(step->temporary)))
            FileSystem::unlink(step->temporary);
        switch (step->kind) {
        case PlanStep::Kind::Folder:
            if (FileSystem::kindOf(step->target) == FileSystem::Kind::Folder
                && !FileSystem::removeFolder(step->target))
                failures.append(step->target);
            break;
        case PlanStep::Kind::Create:
            if (isLeftOver(FileSystem::kindOf(step->target)) && !FileSystem::unlink(step->target))
                failures.append(step->target);
            break;
        case PlanStep::Kind::Replace:
        case PlanStep::Kind::Remove:
            // No backup: the step never ran, or its undo already did, or it was lost.
            if (FileSystem::kindOf(step->backup) == FileSystem::Kind::Missing) {
                if (index < done)
                    failures.append(step->backup);
            } else if (!restore(*step)) {
                failures.append(step->backup);
            }
            break;
        case PlanStep::Kind::Overwrite:
            // The package's earlier step on the same target puts back what was there before.
            break;
        }
        if (progress)
            progress(int(steps.size()) - index);
    }
    // Until the restored names are durable the journal must not say the run was undone.
    for (const QString &folder : std::as_const(changedFolders)) {
        if (FileSystem::kindOf(folder) == FileSystem::Kind::Folder
            && !FileSystem::syncFolder(folder))
            failures.append(folder);
    }
    return failures;
}
