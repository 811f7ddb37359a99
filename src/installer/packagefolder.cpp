#include "packagefolder.h"

#include "archiveextractor.h"
#include "filesystem.h"
#include "foldermaker.h"
#include "packageplan.h"
#include "removefolderfiles.h"

#include <QCoreApplication>
#include <QDir>

namespace {
// Room kept free beyond what a package declares, for the journal and the file system itself.
constexpr qint64 spaceMargin = 16 * 1024 * 1024;

QString cannotCreate(const QString &file, const QString &errorText)
{
    return QCoreApplication::translate("translation", "Cannot create file %1 (%2)", "nc")
        .arg(file, errorText);
}
} // namespace

PackageFolder::PackageFolder(
    const QString &downloadFolder, const QString &packageName, const QString &archivePath)
    : m_path(downloadFolder + QLatin1Char('/') + packageName + QLatin1Char('/'))
    , m_unwindFolder(m_path + QLatin1String("/unwind/"))
    , m_archivePath(archivePath)
    , m_descriptorEntry(packageName + QLatin1String(".xml"))
{
}

bool PackageFolder::fill(
    const QString &rootFolder, QSet<QString> *cleaned, QStringList *detailsList)
{
    const QString cleanPath = PackagePlan::cleanAbsolutePath(m_path);
    // A link in place of the package folder would have the package unpacked elsewhere.
    if (FileSystem::kindOf(cleanPath) == FileSystem::Kind::Link)
        FileSystem::unlink(cleanPath);
    if (FileSystem::kindOf(cleanPath) == FileSystem::Kind::Missing
        && !FileSystem::makeFolder(cleanPath))
        return fail(cannotCreate(m_path, FileSystem::errorText()), FileSystem::errorText());
    // Files of an earlier run go first, so that no stale file is ever taken for a payload or
    // a backup. A second package of the same name in one run shares the folder with the
    // first, whose backups must survive for the rollback; an archive kept here stays.
    if (!cleaned->contains(cleanPath)) {
        removeFolderFiles(m_path, { PackagePlan::cleanAbsolutePath(m_archivePath) });
        cleaned->insert(cleanPath);
    }
    FolderMaker folders(cleanPath + QLatin1Char('/'));
    if (!folders.make(PackagePlan::cleanAbsolutePath(m_unwindFolder)))
        return fail(cannotCreate(m_unwindFolder, folders.errorText()));
    if (!hasRoomFor(rootFolder) || !extract(detailsList))
        return false;
    // One sync per package: every payload is on disk before any of them is installed.
    if (!FileSystem::syncFileSystem(m_path))
        return fail(cannotCreate(m_path, FileSystem::errorText()), FileSystem::errorText());
    return true;
}

bool PackageFolder::fail(const QString &message, const QString &errorText)
{
    m_message = message;
    m_errorText = errorText;
    return false;
}

bool PackageFolder::hasRoomFor(const QString &rootFolder)
{
    qint64 needed = 0;
    if (!ArchiveExtractor::declaredSize(m_archivePath, &needed))
        return true; // The extraction reports the damage.
    QStringList volumes { m_path };
    // Across file systems every payload is copied once more, into the root's.
    if (!FileSystem::sameFileSystem(m_path, rootFolder))
        volumes << rootFolder;
    for (const QString &volume : std::as_const(volumes)) {
        const qint64 available = FileSystem::freeSpace(volume);
        if (available >= 0 && needed > available - spaceMargin)
            return fail(QCoreApplication::translate("translation",
                "Not enough free disk space for this package: it needs %1 MB, %2 MB "
                "are free in %3.",
                "nc")
                            .arg((needed + spaceMargin) / 1000000)
                            .arg(qMax<qint64>(available, 0) / 1000000)
                            .arg(volume));
    }
    return true;
}

bool PackageFolder::extract(QStringList *detailsList)
{
    ArchiveExtractor extractor(m_archivePath, m_path);
    // The unwind folder holds the backups; nothing from the package may land there.
    extractor.setRefusedFolder(QStringLiteral("unwind"));
    m_entryModes.clear();
    const ArchiveExtractor::Result extracted
        = extractor.extractAll([&](const QString &entryName, int unixMode) {
              if (entryName != m_descriptorEntry)
                  detailsList->append(QLatin1String(" - ") + entryName);
              // A later entry of the same name replaces the file, and its mode with it.
              m_entryModes.insert(PackagePlan::cleanAbsolutePath(m_path + entryName), unixMode);
          });
    switch (extracted) {
    case ArchiveExtractor::Result::Extracted:
        return true;
    case ArchiveExtractor::Result::CannotOpenArchive:
        return fail(
            QCoreApplication::translate("translation", "Unable to open update archive", "nc"));
    case ArchiveExtractor::Result::CannotCreateFile:
        return fail(cannotCreate(extractor.entryName(), extractor.fileErrorText()),
            extractor.fileErrorText());
    case ArchiveExtractor::Result::CannotExtractEntry:
        return fail(
            QCoreApplication::translate("translation", "Cannot extract update file (%1)!", "nc")
                .arg(extractor.entryName()));
    case ArchiveExtractor::Result::CannotReadEntry:
        return fail(
            QCoreApplication::translate("translation", "Cannot read file from archive!", "nc"));
    }
    return false;
}
