#include "packageplan.h"

#include "filesystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>

namespace {
QString folderOf(const QString &filePath)
{
    return filePath.left(filePath.lastIndexOf(QLatin1Char('/')));
}

// The working state of one plan: what the steps so far leave at each path they touch.
class Planner
{
public:
    explicit Planner(const PackagePlan::Input &input)
        : m_input(input)
        , m_cleanRoot(PackagePlan::cleanAbsolutePath(input.rootFolder))
        , m_realRoot(QFileInfo(input.rootFolder).canonicalFilePath())
        , m_cleanPackageFolder(PackagePlan::cleanAbsolutePath(input.packageFolder))
    {
    }

    bool plan(const QList<PackageDescriptor::File> &files);

    QVector<PlanStep> steps;
    QString errorText;

private:
    bool planFile(const PackageDescriptor::File &file);
    bool planFolders(const QString &folder, const QString &target);
    QString backupFor(const QString &relative);
    FileSystem::Kind plannedKind(const QString &path) const;
    QString payloadOf(const QString &relative) const
    {
        return PackagePlan::cleanAbsolutePath(m_input.packageFolder + QLatin1Char('/') + relative);
    }

    const PackagePlan::Input &m_input;
    const QString m_cleanRoot;
    const QString m_realRoot;
    const QString m_cleanPackageFolder;
    QSet<QString> m_knownFolders;
    QSet<QString> m_touched;
    QSet<QString> m_backups;
    QHash<QString, FileSystem::Kind> m_planned;
    QHash<QString, int> m_sourceUses;
};

bool Planner::plan(const QList<PackageDescriptor::File> &files)
{
    // Each payload moves into place at its last use; earlier uses take a copy.
    for (const PackageDescriptor::File &file : files) {
        if (file.action == QLatin1String("add"))
            ++m_sourceUses[payloadOf(file.path + QLatin1Char('/') + file.name)];
    }
    for (const PackageDescriptor::File &file : files) {
        if (!planFile(file))
            return false;
    }
    return true;
}

FileSystem::Kind Planner::plannedKind(const QString &path) const
{
    const auto planned = m_planned.constFind(path);
    return planned != m_planned.cend() ? planned.value() : FileSystem::kindOf(path);
}

bool Planner::planFile(const PackageDescriptor::File &file)
{
    const QString relative = file.path + QLatin1Char('/') + file.name;
    const QString target
        = PackagePlan::cleanAbsolutePath(m_input.rootFolder + QLatin1Char('/') + relative);
    if (!PackagePlan::isBelow(target, m_cleanRoot))
        return true;
    const bool add = file.action == QLatin1String("add");
    const bool remove = file.action == QLatin1String("remove");
    if (!add && !remove)
        return true;
    const QString source = payloadOf(relative);
    const bool places = add && !file.name.startsWith(m_input.updatePrefix);
    const FileSystem::Kind targetKind = plannedKind(target);
    // A nameless element or a folder on either side would move whole folders around.
    if (file.name.isEmpty() || targetKind == FileSystem::Kind::Folder
        || (places && FileSystem::kindOf(source) == FileSystem::Kind::Folder)) {
        errorText = QCoreApplication::translate(
            "translation", "The package description names a folder or no file at all (%1)!", "nc")
                        .arg(relative);
        return false;
    }
    if (places
        && (!PackagePlan::isBelow(source, m_cleanPackageFolder)
            || FileSystem::kindOf(source) != FileSystem::Kind::File)) {
        errorText = QCoreApplication::translate("translation", "Cannot copy file %1 to %2!", "nc")
                        .arg(source, target);
        return false;
    }
    const bool exists
        = targetKind == FileSystem::Kind::File || targetKind == FileSystem::Kind::Link;
    // An added file's folder is made even when the file itself is not placed.
    if (add && !planFolders(folderOf(target), target))
        return false;
    if (!exists && !places)
        return true;
    PlanStep step;
    step.target = target;
    step.temporary
        = folderOf(target) + QLatin1String("/.") + file.name + QLatin1String(".orvi-new");
    step.named = relative;
    if (m_touched.contains(target)) {
        step.kind = PlanStep::Kind::Overwrite;
    } else if (exists) {
        step.kind = places ? PlanStep::Kind::Replace : PlanStep::Kind::Remove;
        step.backup = backupFor(relative);
    } else {
        step.kind = PlanStep::Kind::Create;
    }
    if (places) {
        step.source = source;
        step.entryMode = m_input.entryModes.value(source, -1);
        step.keepSource = --m_sourceUses[source] > 0;
    }
    m_touched.insert(target);
    m_planned.insert(target, places ? FileSystem::Kind::File : FileSystem::Kind::Missing);
    steps.append(step);
    return true;
}

bool Planner::planFolders(const QString &folder, const QString &target)
{
    if (m_knownFolders.contains(folder))
        return true;
    const FileSystem::Kind kind = plannedKind(folder);
    if (kind == FileSystem::Kind::Folder || kind == FileSystem::Kind::Link) {
        // Containment on the real path: a link inside the root may not lead out of it. The
        // folders leading to a root not made yet (the first plug-in's) are not inside it.
        const QString real = QFileInfo(folder).canonicalFilePath();
        const bool insideRoot = folder == m_cleanRoot || PackagePlan::isBelow(folder, m_cleanRoot);
        if (insideRoot && m_planned.value(folder) != FileSystem::Kind::Folder
            && (real.isEmpty() || m_realRoot.isEmpty()
                || (real != m_realRoot && !PackagePlan::isBelow(real, m_realRoot)))) {
            errorText = QCoreApplication::translate(
                "translation", "The folder of %1 lies outside the destination folder!", "nc")
                            .arg(target);
            return false;
        }
    } else if (kind == FileSystem::Kind::Missing) {
        if (!planFolders(folderOf(folder), target))
            return false;
        PlanStep step;
        step.kind = PlanStep::Kind::Folder;
        step.target = folder;
        steps.append(step);
        m_planned.insert(folder, FileSystem::Kind::Folder);
    } else {
        errorText = QCoreApplication::translate("translation", "Cannot copy file %1 to %2!", "nc")
                        .arg(folder, target);
        return false;
    }
    m_knownFolders.insert(folder);
    return true;
}

QString Planner::backupFor(const QString &relative)
{
    const QString base = PackagePlan::cleanAbsolutePath(m_input.unwindFolder + relative);
    // A name of its own for every backup of the run, so that none replaces another.
    QString backup = base;
    // Behind a link every name looks taken; the backup then fails where it is made.
    const bool reachable = FileSystem::kindOf(folderOf(base)) != FileSystem::Kind::Link;
    for (int n = 1; m_input.takenBackups.contains(backup) || m_backups.contains(backup)
         || (reachable && FileSystem::kindOf(backup) != FileSystem::Kind::Missing);
         ++n)
        backup = base + QStringLiteral(".~%1").arg(n);
    m_backups.insert(backup);
    return backup;
}
} // namespace

PackagePlan PackagePlan::make(const QList<PackageDescriptor::File> &files, const Input &input)
{
    Planner planner(input);
    PackagePlan plan;
    if (planner.plan(files))
        plan.m_steps = planner.steps;
    else
        plan.m_errorText = planner.errorText;
    return plan;
}

QString PackagePlan::cleanAbsolutePath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(path)).absoluteFilePath());
}

bool PackagePlan::isBelow(const QString &cleanPath, const QString &cleanFolder)
{
    const QString prefix
        = cleanFolder.endsWith(QLatin1Char('/')) ? cleanFolder : cleanFolder + QLatin1Char('/');
    return cleanPath.size() > prefix.size() && cleanPath.startsWith(prefix);
}
