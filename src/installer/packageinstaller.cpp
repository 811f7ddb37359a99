#include "packageinstaller.h"

#include "archiveextractor.h"
#include "filetransfer.h"
#include "mainapppaths.h"
#include "messageboxhandler.h"
#include "packagedescriptor.h"
#include "platform.h"
#include "removefolderfiles.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
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

// Package folders this process has already cleaned. A second package of the same name in one
// run shares its folder with the first, whose backups must survive for the rollback.
QSet<QString> &cleanedPackageFolders()
{
    static QSet<QString> folders;
    return folders;
}
} // namespace

PackageInstaller::PackageInstaller(const UpdateEntry *entry)
    : m_entry(entry), m_packageName(fromLatin1(entry->name())), m_rootPermissions()
{
    const QString linkPath = QUrl(fromLatin1(entry->link())).path();
    if (linkPath.size() > 4)
        m_descriptorStem = linkPath.chopped(4);

    const QString type = fromLatin1(entry->type());
    if (type == QLatin1String("app")) {
        m_rootFolder = MainAppPaths::rootFolder(QCoreApplication::arguments()).value_or(QString());
        if (m_rootFolder.isEmpty()
            || !QFileInfo::exists(MainAppPaths::mainAppPath(m_rootFolder))) {
            MessageBoxHandler::critical(
                QCoreApplication::translate("translation", "Update", "program update"),
                QCoreApplication::translate("translation", "Cannot run update!", "nc"));
            QCoreApplication::quit();
            // The application ends after the run; until then nothing may go to this folder.
            m_rootFolder.clear();
            return;
        }
    } else if (type == QLatin1String("plugin")) {
        const QString appData = Platform::appDataFolder();
        if (!appData.isEmpty())
            m_rootFolder = appData + QLatin1String("/Orvi/plugins/");
    }
    if (!m_rootFolder.isEmpty())
        m_rootPermissions = QFileInfo(m_rootFolder).permissions();
}

bool PackageInstaller::install(
    const QString &downloadFolder, QString *errorText, QStringList *detailsList)
{
    // Refused before anything is written: an empty root would place files relative to the
    // root of the file system.
    if (m_rootFolder.isEmpty()) {
        showFailure(QCoreApplication::translate(
            "translation", "Cannot find the destination folder of this package!", "nc"));
        return false;
    }
    if (!isPlainName(m_packageName)) {
        showFailure(QCoreApplication::translate("translation", "Invalid package name %1!", "nc")
                        .arg(m_packageName));
        return false;
    }

    m_packageFolder = downloadFolder + QLatin1Char('/') + m_packageName + QLatin1Char('/');
    m_unwindFolder = m_packageFolder + QLatin1String("/unwind/");
    m_cleanRoot = cleanAbsolutePath(m_rootFolder);
    m_cleanPackageFolder = cleanAbsolutePath(m_packageFolder);
    m_knownFolders.clear();
    m_backedUpTargets.clear();
    m_placedFrom.clear();
    m_movedTo.clear();

    const QString archivePath
        = downloadFolder + QLatin1Char('/') + QUrl(fromLatin1(m_entry->link())).path();
    QDir().mkpath(m_packageFolder);
    // Files of an interrupted earlier run go first, so that no stale backup is ever restored.
    if (!cleanedPackageFolders().contains(m_cleanPackageFolder)
        && !isBelow(cleanAbsolutePath(archivePath), m_cleanPackageFolder)) {
        removeFolderFiles(m_packageFolder);
        cleanedPackageFolders().insert(m_cleanPackageFolder);
    }
    QDir().mkpath(m_unwindFolder);

    const QString descriptorEntry = m_packageName + QLatin1String(".xml");
    ArchiveExtractor extractor(archivePath, m_packageFolder);
    const ArchiveExtractor::Result extracted = extractor.extractAll([&](const QString &entryName) {
        if (entryName != descriptorEntry)
            detailsList->append(QLatin1String(" - ") + entryName);
    });
    switch (extracted) {
    case ArchiveExtractor::Result::Extracted:
        break;
    case ArchiveExtractor::Result::CannotOpenArchive:
        showFailure(
            QCoreApplication::translate("translation", "Unable to open update archive", "nc"));
        return false;
    case ArchiveExtractor::Result::CannotCreateFile:
        *errorText = extractor.fileErrorText();
        showFailure(QCoreApplication::translate("translation", "Cannot create file %1 (%2)", "nc")
                        .arg(extractor.entryName(), extractor.fileErrorText()));
        return false;
    case ArchiveExtractor::Result::CannotExtractEntry:
        showFailure(
            QCoreApplication::translate("translation", "Cannot extract update file (%1)!", "nc")
                .arg(extractor.entryName()));
        return false;
    case ArchiveExtractor::Result::CannotReadEntry:
        showFailure(
            QCoreApplication::translate("translation", "Cannot read file from archive!", "nc"));
        return false;
    }

    return applyDescriptor(QStringLiteral("%1/%2.xml").arg(m_packageFolder, m_descriptorStem));
}

bool PackageInstaller::applyDescriptor(const QString &descriptorPath)
{
    QFile file(descriptorPath);
    if (!isBelow(cleanAbsolutePath(descriptorPath), m_cleanPackageFolder)
        || !file.open(QIODevice::ReadOnly)) {
        showFailure(QCoreApplication::translate(
            "translation", "Package description file is missing!", "nc"));
        return false;
    }
    const PackageDescriptor descriptor = PackageDescriptor::read(&file);
    if (!descriptor.isValid()) {
        showFailure(QCoreApplication::translate(
            "translation", "Package description file is damaged (line %1)!", "nc")
                        .arg(descriptor.errorLine()));
        return false;
    }
    for (const QXmlStreamAttributes &package : descriptor.packages()) {
        if (!checkPackage(package))
            return false;
    }
    for (const PackageDescriptor::File &file : descriptor.files()) {
        if (!applyFile(file))
            return false;
    }
    return true;
}

bool PackageInstaller::checkPackage(const QXmlStreamAttributes &attributes)
{
    for (const QXmlStreamAttribute &attribute : attributes) {
        if (attribute.name() == QLatin1String("project")
            && attribute.value() != fromLatin1(m_entry->project())) {
            showFailure(QCoreApplication::translate("translation", "Wrong project!", "nc"));
            return false;
        }
        if (attribute.name() == QLatin1String("name")
            && attribute.value() != fromLatin1(m_entry->name())) {
            showFailure(QCoreApplication::translate("translation", "Wrong name!", "nc"));
            return false;
        }
        if (attribute.name() == QLatin1String("type")
            && attribute.value() != fromLatin1(m_entry->type())) {
            showFailure(QCoreApplication::translate("translation", "Wrong type!", "nc"));
            return false;
        }
    }
    return true;
}

bool PackageInstaller::applyFile(const PackageDescriptor::File &file)
{
    const QString &name = file.name;
    const QString &path = file.path;
    const QString &action = file.action;
    const QString relative = path + QLatin1Char('/') + name;

    const QString target = cleanAbsolutePath(m_rootFolder + QLatin1Char('/') + relative);
    if (!isBelow(target, m_cleanRoot))
        return true;
    const bool add = action == QLatin1String("add");
    const QString source = cleanAbsolutePath(m_packageFolder + QLatin1Char('/') + relative);
    if (add && !isBelow(source, m_cleanPackageFolder))
        return true;

    // Asked in this order the answers come from one status call.
    const QFileInfo targetInfo(target);
    const bool targetExists = !targetInfo.isDir() && targetInfo.exists();
    const bool remove = action == QLatin1String("remove");
    bool movedToBackup = false;
    if (targetExists && !backUp(target, path, name, add || remove, &movedToBackup))
        return false;
    const bool targetLeft = targetExists && !movedToBackup;

    if (remove) {
        if (targetLeft)
            removeTarget(target);
        return true;
    }
    if (!add)
        return true;

    if (targetLeft)
        removeTarget(target);
    ensureTargetFolder(folderOf(target));
    const QString updatePrefix = QStringLiteral("%1_%2_%3")
                                     .arg(fromLatin1(m_entry->project()),
                                         fromLatin1(m_entry->name()), fromLatin1(m_entry->type()));
    if (name.startsWith(updatePrefix))
        return true;
    if (!placeFile(source, target)) {
        showFailure(QCoreApplication::translate("translation", "Cannot copy file %1 to %2!", "nc")
                        .arg(source, target));
        return false;
    }
    if (!targetExists && !m_backedUpTargets.contains(target))
        m_createdFiles.append(relative);
    // Flags 0 would leave the file unreadable; it then keeps the flags it was made with.
    if (m_rootPermissions != QFile::Permissions())
        QFile::setPermissions(target, m_rootPermissions);
    return true;
}

bool PackageInstaller::backUp(const QString &target, const QString &path, const QString &name,
        bool targetGoes, bool *moved)
{
    const QString backupFolder = m_unwindFolder + path;
    const QString backup = backupFolder + QLatin1Char('/') + name;
    ensureFolder(backupFolder);
    // A target that goes anyway just changes its name: one rename instead of a second name and
    // a removal. A payload this package put there itself stays, so that it can go back to the
    // package folder for a later element. A second name costs no copying either; the target is
    // only ever replaced, never rewritten, so the backup keeps the old contents.
    const bool move = targetGoes && !m_placedFrom.contains(target);
    if (move ? FileTransfer::move(target, backup) : FileTransfer::linkOrCopy(target, backup)) {
        *moved = move;
    } else if (!QFileInfo::exists(backup)) {
        // Neither transfer ever replaces a backup: one that exists is the older one of the
        // same target and stays.
        showFailure(
            QCoreApplication::translate("translation", "Cannot back up file %1 to %2!", "nc")
                .arg(target, backup));
        return false;
    }
    m_backedUpTargets.insert(target);
    if (!m_backupFolders.contains(path))
        m_backupFolders.append(path);
    m_backupFiles.append(path + QLatin1Char('/') + name);
    return true;
}

void PackageInstaller::removeTarget(const QString &target)
{
    // A payload moved here earlier goes back to the package folder, where a later element
    // naming the same payload finds it.
    const auto placed = m_placedFrom.constFind(target);
    if (placed != m_placedFrom.cend()) {
        const QString source = placed.value();
        m_movedTo.remove(source);
        m_placedFrom.erase(placed);
        if (FileTransfer::move(target, source))
            return;
    }
    QFile::remove(target);
}

bool PackageInstaller::placeFile(const QString &source, const QString &target)
{
    if (FileTransfer::move(source, target)) {
        m_placedFrom.insert(target, source);
        m_movedTo.insert(source, target);
        return true;
    }
    // The payload was moved to an earlier element's target, which must keep it.
    const auto moved = m_movedTo.constFind(source);
    return moved != m_movedTo.cend() && QFile::copy(moved.value(), target);
}

void PackageInstaller::ensureFolder(const QString &folder)
{
    if (m_knownFolders.contains(folder))
        return;
    QDir().mkpath(folder);
    m_knownFolders.insert(folder);
}

void PackageInstaller::ensureTargetFolder(const QString &folder)
{
    if (m_knownFolders.contains(folder))
        return;
    QStringList missing;
    for (QString parent = folder; !parent.isEmpty() && !QFileInfo(parent).isDir();
         parent = folderOf(parent))
        missing.prepend(parent);
    QDir().mkpath(folder);
    for (const QString &created : std::as_const(missing)) {
        if (QFileInfo(created).isDir())
            m_createdFolders.append(created);
    }
    m_knownFolders.insert(folder);
}

bool PackageInstaller::rollback(const QString &downloadFolder)
{
    m_unwindFolder = downloadFolder + QLatin1Char('/') + m_packageName + QLatin1String("/unwind/");
    for (const QString &folder : std::as_const(m_backupFolders)) {
        const QString restored = m_rootFolder + QLatin1Char('/') + folder;
        if (!QFileInfo(restored).isDir() && !QDir().mkpath(restored))
            return false;
    }
    for (const QString &file : std::as_const(m_backupFiles)) {
        const QString place = m_rootFolder + QLatin1Char('/') + file;
        const QString backup = m_unwindFolder + QLatin1Char('/') + file;
        if (QFileInfo::exists(place))
            QFile::remove(place);
        // The backup stays where it is: a target named twice is restored twice from it.
        if (!FileTransfer::linkOrCopy(backup, place))
            return false;
    }
    // Last, so that a created file that was then replaced within the package ends up absent.
    for (const QString &file : std::as_const(m_createdFiles)) {
        const QString place = m_rootFolder + QLatin1Char('/') + file;
        if (QFileInfo(place).isFile() && !QFile::remove(place))
            return false;
    }
    // Only empty folders go: what others put there since stays.
    for (auto folder = m_createdFolders.crbegin(); folder != m_createdFolders.crend(); ++folder)
        QDir().rmdir(*folder);
    return true;
}
