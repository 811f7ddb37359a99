#include "packageinstaller.h"

#include "archiveextractor.h"
#include "mainapppaths.h"
#include "messageboxhandler.h"
#include "packagedescriptor.h"
#include "platform.h"
#include "removefolderfiles.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QUrl>

namespace {
QString fromLatin1(const std::string &text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void showFailure(const QString &text)
{
    MessageBoxHandler::critical(
        QCoreApplication::translate("translation", "Update", "program update"), text);
}

// One form for every path that is compared: absolute, "." and ".." resolved, "/" only.
QString cleanAbsolutePath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(path)).absoluteFilePath());
}

bool isBelow(const QString &cleanPath, const QString &cleanFolder)
{
    const QString prefix
        = cleanFolder.endsWith(QLatin1Char('/')) ? cleanFolder : cleanFolder + QLatin1Char('/');
    return cleanPath.size() > prefix.size() && cleanPath.startsWith(prefix);
}

QString folderOf(const QString &filePath)
{
    return filePath.left(filePath.lastIndexOf(QLatin1Char('/')));
}

// A package name becomes a folder of the download folder; anything else could reach out of it.
bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

QString tr(const char *text, const char *comment)
{
    return QCoreApplication::translate("translation", text, comment);
}

// Room kept free beyond what a package declares, for the journal and the file system itself.
constexpr qint64 spaceMargin = 16 * 1024 * 1024;

// Backups planned in this process: two packages of one run may share an unwind folder.
QSet<QString> &plannedBackups()
{
    static QSet<QString> backups;
    return backups;
}

// Package folders this process has already cleaned. A second package of the same name in one
// run shares its folder with the first, whose backups must survive for the rollback.
QSet<QString> &cleanedPackageFolders()
{
    static QSet<QString> folders;
    return folders;
}
} // namespace

PackageInstaller::PackageInstaller(const UpdateEntry *entry)
    : PackageInstaller(
        entry, MainAppPaths::rootFolder(QCoreApplication::arguments()).value_or(QString()))
{
}

PackageInstaller::PackageInstaller(const UpdateEntry *entry, const QString &appRoot)
    : m_entry(entry), m_packageName(fromLatin1(entry->name())), m_rootPermissions()
{
    const QString linkPath = QUrl(fromLatin1(entry->link())).path();
    if (linkPath.size() > 4)
        m_descriptorStem = linkPath.chopped(4);

    m_rootFolder = destinationOf(entry->type(), appRoot);
    if (entry->type() == "app"
        && (m_rootFolder.isEmpty()
            || !QFileInfo::exists(MainAppPaths::mainAppPath(m_rootFolder)))) {
        MessageBoxHandler::critical(
            QCoreApplication::translate("translation", "Update", "program update"),
            QCoreApplication::translate("translation", "Cannot run update!", "nc"));
        QCoreApplication::quit();
        // The application ends after the run; until then nothing may go to this folder.
        m_rootFolder.clear();
        return;
    }
    if (!m_rootFolder.isEmpty())
        m_rootPermissions = QFileInfo(m_rootFolder).permissions();
}

QString PackageInstaller::destinationOf(const std::string &type, const QString &appRoot)
{
    if (type == "app")
        return appRoot;
    if (type == "plugin") {
        const QString appData = Platform::appDataFolder();
        if (!appData.isEmpty())
            return appData + QLatin1String("/Orvi/plugins/");
    }
    return QString();
}

bool PackageInstaller::install(
    const QString &downloadFolder, QString *errorText, QStringList *detailsList)
{
    // Refused before anything is written: an empty root would place files relative to the
    // root of the file system.
    if (m_rootFolder.isEmpty()) {
        showFailure(tr("Cannot find the destination folder of this package!", "nc"));
        return false;
    }
    if (!isPlainName(m_packageName)) {
        showFailure(tr("Invalid package name %1!", "nc").arg(m_packageName));
        return false;
    }

    m_packageFolder = downloadFolder + QLatin1Char('/') + m_packageName + QLatin1Char('/');
    m_unwindFolder = m_packageFolder + QLatin1String("/unwind/");
    m_cleanRoot = cleanAbsolutePath(m_rootFolder);
    m_realRoot = QFileInfo(m_rootFolder).canonicalFilePath();
    m_cleanPackageFolder = cleanAbsolutePath(m_packageFolder);
    m_knownFolders.clear();
    m_touched.clear();
    m_planned.clear();
    m_sourceUses.clear();
    m_steps.clear();
    m_sources.clear();
    m_keepSource.clear();
    m_done = 0;

    const QString archivePath
        = downloadFolder + QLatin1Char('/') + QUrl(fromLatin1(m_entry->link())).path();
    // A link in place of the package folder would have the package unpacked elsewhere.
    if (FileSystem::kindOf(m_cleanPackageFolder) == FileSystem::Kind::Link)
        FileSystem::unlink(m_cleanPackageFolder);
    QDir().mkpath(m_packageFolder);
    // Files of an earlier run go first, so that no stale file is ever taken for a payload or
    // a backup; an archive kept in the package folder stays.
    if (!cleanedPackageFolders().contains(m_cleanPackageFolder)) {
        removeFolderFiles(m_packageFolder, { cleanAbsolutePath(archivePath) });
        cleanedPackageFolders().insert(m_cleanPackageFolder);
    }
    if (!ensureDownloadFolder(cleanAbsolutePath(m_unwindFolder))) {
        showFailure(
            tr("Cannot create file %1 (%2)", "nc").arg(m_unwindFolder, FileSystem::errorText()));
        return false;
    }
    if (!hasRoomFor(archivePath) || !extract(archivePath, errorText, detailsList))
        return false;
    // One sync per package: every payload is on disk before any of them is installed.
    if (!FileSystem::syncFileSystem(m_packageFolder)) {
        *errorText = FileSystem::errorText();
        showFailure(tr("Cannot create file %1 (%2)", "nc").arg(m_packageFolder, *errorText));
        return false;
    }
    if (!applyDescriptor(QStringLiteral("%1/%2.xml").arg(m_packageFolder, m_descriptorStem)))
        return false;
    if (m_journal && !m_journal->addPackage(m_packageName, m_steps)) {
        m_steps.clear();
        showFailure(
            tr("Cannot write the installation journal (%1)!", "nc").arg(m_journal->errorText()));
        return false;
    }
    return execute();
}

bool PackageInstaller::hasRoomFor(const QString &archivePath)
{
    qint64 needed = 0;
    if (!ArchiveExtractor::declaredSize(archivePath, &needed))
        return true; // The extraction reports the damage.
    QStringList volumes { m_packageFolder };
    // Across file systems every payload is copied once more, into the root's.
    if (!FileSystem::sameFileSystem(m_packageFolder, m_rootFolder))
        volumes << m_rootFolder;
    for (const QString &volume : std::as_const(volumes)) {
        const qint64 available = QStorageInfo(volume).bytesAvailable();
        if (available >= 0 && needed > available - spaceMargin) {
            showFailure(tr("Not enough free disk space for this package: it needs %1 MB, %2 MB "
                           "are free in %3.",
                "nc")
                            .arg((needed + spaceMargin) / 1000000)
                            .arg(qMax<qint64>(available, 0) / 1000000)
                            .arg(volume));
            return false;
        }
    }
    return true;
}

bool PackageInstaller::extract(
    const QString &archivePath, QString *errorText, QStringList *detailsList)
{
    const QString descriptorEntry = m_packageName + QLatin1String(".xml");
    ArchiveExtractor extractor(archivePath, m_packageFolder);
    // The unwind folder holds the backups; nothing from the package may land there.
    extractor.setRefusedFolder(QStringLiteral("unwind"));
    const ArchiveExtractor::Result extracted = extractor.extractAll([&](const QString &entryName) {
        if (entryName != descriptorEntry)
            detailsList->append(QLatin1String(" - ") + entryName);
    });
    switch (extracted) {
    case ArchiveExtractor::Result::Extracted:
        return true;
    case ArchiveExtractor::Result::CannotOpenArchive:
        showFailure(tr("Unable to open update archive", "nc"));
        return false;
    case ArchiveExtractor::Result::CannotCreateFile:
        *errorText = extractor.fileErrorText();
        showFailure(tr("Cannot create file %1 (%2)", "nc")
                        .arg(extractor.entryName(), extractor.fileErrorText()));
        return false;
    case ArchiveExtractor::Result::CannotExtractEntry:
        showFailure(tr("Cannot extract update file (%1)!", "nc").arg(extractor.entryName()));
        return false;
    case ArchiveExtractor::Result::CannotReadEntry:
        showFailure(tr("Cannot read file from archive!", "nc"));
        return false;
    }
    return false;
}

bool PackageInstaller::applyDescriptor(const QString &descriptorPath)
{
    QFile file(descriptorPath);
    if (!isBelow(cleanAbsolutePath(descriptorPath), m_cleanPackageFolder)
        || FileSystem::kindOf(descriptorPath) != FileSystem::Kind::File
        || !file.open(QIODevice::ReadOnly)) {
        showFailure(tr("Package description file is missing!", "nc"));
        return false;
    }
    const PackageDescriptor descriptor = PackageDescriptor::read(&file);
    if (!descriptor.isValid()) {
        showFailure(
            tr("Package description file is damaged (line %1)!", "nc").arg(descriptor.errorLine()));
        return false;
    }
    for (const QXmlStreamAttributes &package : descriptor.packages()) {
        if (!checkPackage(package))
            return false;
    }
    const QString updatePrefix = QStringLiteral("%1_%2_%3")
                                     .arg(fromLatin1(m_entry->project()),
                                         fromLatin1(m_entry->name()), fromLatin1(m_entry->type()));
    // Each payload moves into place at its last use; earlier uses take a second name.
    for (const PackageDescriptor::File &element : descriptor.files()) {
        if (element.action == QLatin1String("add"))
            ++m_sourceUses[cleanAbsolutePath(m_packageFolder + QLatin1Char('/') + element.path
                + QLatin1Char('/') + element.name)];
    }
    for (const PackageDescriptor::File &element : descriptor.files()) {
        if (!planFile(element, updatePrefix))
            return false;
    }
    return true;
}

bool PackageInstaller::checkPackage(const QXmlStreamAttributes &attributes)
{
    for (const QXmlStreamAttribute &attribute : attributes) {
        if (attribute.name() == QLatin1String("project")
            && attribute.value() != fromLatin1(m_entry->project())) {
            showFailure(tr("Wrong project!", "nc"));
            return false;
        }
        if (attribute.name() == QLatin1String("name")
            && attribute.value() != fromLatin1(m_entry->name())) {
            showFailure(tr("Wrong name!", "nc"));
            return false;
        }
        if (attribute.name() == QLatin1String("type")
            && attribute.value() != fromLatin1(m_entry->type())) {
            showFailure(tr("Wrong type!", "nc"));
            return false;
        }
    }
    return true;
}

FileSystem::Kind PackageInstaller::plannedKind(const QString &path) const
{
    const auto planned = m_planned.constFind(path);
    return planned != m_planned.cend() ? planned.value() : FileSystem::kindOf(path);
}

bool PackageInstaller::planFile(const PackageDescriptor::File &file, const QString &updatePrefix)
{
    const QString relative = file.path + QLatin1Char('/') + file.name;
    const QString target = cleanAbsolutePath(m_rootFolder + QLatin1Char('/') + relative);
    if (!isBelow(target, m_cleanRoot))
        return true;
    const bool add = file.action == QLatin1String("add");
    const bool remove = file.action == QLatin1String("remove");
    if (!add && !remove)
        return true;
    const QString source = cleanAbsolutePath(m_packageFolder + QLatin1Char('/') + relative);
    const bool places = add && !file.name.startsWith(updatePrefix);
    const FileSystem::Kind targetKind = plannedKind(target);
    // A nameless element or a folder on either side would move whole folders around.
    if (file.name.isEmpty() || targetKind == FileSystem::Kind::Folder
        || (places && FileSystem::kindOf(source) == FileSystem::Kind::Folder)) {
        showFailure(tr("The package description names a folder or no file at all (%1)!", "nc")
                        .arg(relative));
        return false;
    }
    if (places
        && (!isBelow(source, m_cleanPackageFolder)
            || FileSystem::kindOf(source) != FileSystem::Kind::File)) {
        showFailure(tr("Cannot copy file %1 to %2!", "nc").arg(source, target));
        return false;
    }
    const bool exists
        = targetKind == FileSystem::Kind::File || targetKind == FileSystem::Kind::Link;
    // An added file's folder is made even when the file itself is not placed.
    if (add && !planFolders(folderOf(target), target))
        return false;
    if (!exists && !places)
        return true;
    InstallationJournal::Step step;
    step.target = target;
    step.temporary
        = folderOf(target) + QLatin1String("/.") + file.name + QLatin1String(".orvi-new");
    if (exists) {
        if (!m_backupFolders.contains(file.path))
            m_backupFolders.append(file.path);
        m_backupFiles.append(relative);
    }
    if (m_touched.contains(target)) {
        step.kind = InstallationJournal::Step::Kind::Overwrite;
    } else if (exists) {
        step.kind = places ? InstallationJournal::Step::Kind::Replace
                           : InstallationJournal::Step::Kind::Remove;
        step.backup = backupFor(relative);
        if (step.backup.isEmpty())
            return false;
    } else {
        step.kind = InstallationJournal::Step::Kind::Create;
        m_createdFiles.append(relative);
    }
    m_touched.insert(target);
    m_planned.insert(target, places ? FileSystem::Kind::File : FileSystem::Kind::Missing);
    m_steps.append(step);
    m_sources.append(places ? source : QString());
    bool keep = false;
    if (places) {
        keep = --m_sourceUses[source] > 0;
        // Flags 0 would leave the file unreadable; it then keeps the flags it was made with.
        if (!keep && m_rootPermissions != QFile::Permissions()
            && !FileSystem::setPermissions(source, m_rootPermissions)) {
            showFailure(tr("Cannot copy file %1 to %2!", "nc").arg(source, target));
            return false;
        }
    }
    m_keepSource.append(keep);
    return true;
}

bool PackageInstaller::planFolders(const QString &folder, const QString &target)
{
    if (m_knownFolders.contains(folder))
        return true;
    const FileSystem::Kind kind = plannedKind(folder);
    if (kind == FileSystem::Kind::Folder || kind == FileSystem::Kind::Link) {
        // Containment on the real path: a link inside the root may not lead out of it.
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (m_planned.value(folder) != FileSystem::Kind::Folder
            && (real.isEmpty() || (real != m_realRoot && !isBelow(real, m_realRoot)))) {
            showFailure(
                tr("The folder of %1 lies outside the destination folder!", "nc").arg(target));
            return false;
        }
    } else if (kind == FileSystem::Kind::Missing) {
        if (!planFolders(folderOf(folder), target))
            return false;
        InstallationJournal::Step step;
        step.kind = InstallationJournal::Step::Kind::Folder;
        step.target = folder;
        m_steps.append(step);
        m_sources.append(QString());
        m_keepSource.append(false);
        m_planned.insert(folder, FileSystem::Kind::Folder);
    } else {
        showFailure(tr("Cannot copy file %1 to %2!", "nc").arg(folder, target));
        return false;
    }
    m_knownFolders.insert(folder);
    return true;
}

QString PackageInstaller::backupFor(const QString &relative)
{
    const QString base = cleanAbsolutePath(m_unwindFolder + relative);
    if (!ensureDownloadFolder(folderOf(base))) {
        showFailure(tr("Cannot back up file %1 to %2!", "nc").arg(relative, base));
        return QString();
    }
    // A name of its own for every backup of the run, so that none replaces another.
    QString backup = base;
    for (int n = 1; plannedBackups().contains(backup)
         || FileSystem::kindOf(backup) != FileSystem::Kind::Missing;
         ++n)
        backup = base + QStringLiteral(".~%1").arg(n);
    plannedBackups().insert(backup);
    return backup;
}

bool PackageInstaller::ensureDownloadFolder(const QString &folder)
{
    if (m_knownFolders.contains(folder))
        return true;
    const FileSystem::Kind kind = FileSystem::kindOf(folder);
    if (kind == FileSystem::Kind::Link)
        return false;
    if (kind == FileSystem::Kind::Missing
        && (!ensureDownloadFolder(folderOf(folder)) || !FileSystem::makeFolder(folder)))
        return false;
    m_knownFolders.insert(folder);
    return true;
}

bool PackageInstaller::execute()
{
    QSet<QString> changedFolders;
    for (int i = 0; i < m_steps.size(); ++i) {
        if (!executeStep(i))
            return false;
        m_done = i + 1;
        const InstallationJournal::Step &step = m_steps.at(i);
        changedFolders.insert(folderOf(step.target));
        if (!step.backup.isEmpty())
            changedFolders.insert(folderOf(step.backup));
    }
    // The renames of this package are durable before anything records it as installed.
    for (const QString &folder : std::as_const(changedFolders)) {
        if (!FileSystem::syncFolder(folder)) {
            showFailure(tr("Cannot copy file %1 to %2!", "nc").arg(m_packageFolder, folder));
            return false;
        }
    }
    return true;
}

bool PackageInstaller::executeStep(int index)
{
    const InstallationJournal::Step &step = m_steps.at(index);
    using Kind = InstallationJournal::Step::Kind;
    bool ok = true;
    switch (step.kind) {
    case Kind::Folder:
        ok = FileSystem::makeFolder(step.target);
        break;
    case Kind::Create:
        ok = place(index);
        break;
    case Kind::Replace:
        ok = moveAside(step) && place(index);
        break;
    case Kind::Remove:
        ok = moveAside(step)
            && (FileSystem::kindOf(step.target) == FileSystem::Kind::Missing
                || FileSystem::unlink(step.target));
        break;
    case Kind::Overwrite:
        ok = m_sources.at(index).isEmpty() ? FileSystem::unlink(step.target) : place(index);
        break;
    }
    if (!ok) {
        const QString error = FileSystem::errorText();
        if (step.kind == Kind::Replace || step.kind == Kind::Remove)
            showFailure(tr("Cannot back up file %1 to %2!", "nc").arg(step.target, step.backup)
                + QLatin1Char('\n') + error);
        else
            showFailure(tr("Cannot copy file %1 to %2!", "nc").arg(m_sources.at(index), step.target)
                + QLatin1Char('\n') + error);
    }
    return ok;
}

bool PackageInstaller::moveAside(const InstallationJournal::Step &step)
{
    if (FileSystem::rename(step.target, step.backup))
        return true;
    if (!FileSystem::crossDevice())
        return false;
    // Across file systems the backup is a synced copy that appears under its name only whole.
    const QString partial = step.backup + QLatin1String(".part");
    if (FileSystem::kindOf(partial) != FileSystem::Kind::Missing)
        FileSystem::unlink(partial);
    return FileSystem::copy(step.target, partial) && FileSystem::rename(partial, step.backup);
}

bool PackageInstaller::place(int index)
{
    const InstallationJournal::Step &step = m_steps.at(index);
    const QString &source = m_sources.at(index);
    if (!m_keepSource.at(index)) {
        if (FileSystem::rename(source, step.target))
            return true;
        if (!FileSystem::crossDevice())
            return false;
    }
    if (FileSystem::kindOf(step.temporary) != FileSystem::Kind::Missing
        && !FileSystem::unlink(step.temporary))
        return false;
    const bool copied = FileSystem::link(source, step.temporary)
        || (FileSystem::crossDevice() && FileSystem::copy(source, step.temporary));
    return copied && FileSystem::rename(step.temporary, step.target);
}

bool PackageInstaller::rollback(const QString &downloadFolder)
{
    m_unwindFolder = downloadFolder + QLatin1Char('/') + m_packageName + QLatin1String("/unwind/");
    m_unrestored = InstallationJournal::undo(m_steps, m_done);
    return m_unrestored.isEmpty();
}
