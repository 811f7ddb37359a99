#include "deltapackage.h"

#include "entryname.h"
#include "filepatch.h"
#include "filesystem.h"
#include "foldermaker.h"
#include "packagedescriptor.h"
#include "packagefolder.h"
#include "packagehash.h"
#include "packageinstaller.h"
#include "packageplan.h"
#include "updateentry.h"

#include <QFile>
#include <QSet>
#include <QUrl>

namespace {
// Room kept free beyond the patched files, as PackageFolder keeps beyond a package.
constexpr qint64 spaceMargin = 16 * 1024 * 1024;

QString fromLatin1(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString relativePath(const QString &path, const QString &name)
{
    return path.isEmpty() ? name : path + QLatin1Char('/') + name;
}
} // namespace

DeltaPackage::DeltaPackage(
    const UpdateEntry &entry, const QString &appRoot, const QString &downloadFolder)
    : m_entry(entry)
    , m_rootFolder(PackageInstaller::destinationOf(entry.type(), appRoot))
    , m_downloadFolder(downloadFolder)
{
}

bool DeltaPackage::fail(Failure failure, const QString &errorText)
{
    m_failure = failure;
    m_errorText = errorText;
    return false;
}

bool DeltaPackage::apply(const QString &archivePath, Prepared *prepared)
{
    const QString name = fromLatin1(m_entry.name());
    if (m_rootFolder.isEmpty() || name.isEmpty() || name.contains(QLatin1Char('/'))
        || name.contains(QLatin1Char('\\')) || name.startsWith(QLatin1Char('.')))
        return fail(Failure::Unusable, QStringLiteral("no destination"));
    PackageFolder folder(m_downloadFolder, name, archivePath);
    QSet<QString> cleaned;
    QStringList extracted;
    const bool filled = folder.fill(m_rootFolder, &cleaned, &extracted);
    FileSystem::unlink(archivePath);
    if (!filled)
        return fail(Failure::Unusable, folder.message());

    // Links name files right below the host's root, so each stem is one name after a "/".
    const QString deltaStem = PackageInstaller::descriptorStem(m_entry.delta().link).mid(1);
    const QString wholeStem = PackageInstaller::descriptorStem(m_entry.link()).mid(1);
    const QString descriptorPath = folder.path() + deltaStem + QLatin1String(".xml");
    QFile descriptorFile(descriptorPath);
    if (deltaStem.isEmpty() || wholeStem.isEmpty() || deltaStem.contains(QLatin1Char('/'))
        || wholeStem.contains(QLatin1Char('/'))
        || FileSystem::kindOf(descriptorPath) != FileSystem::Kind::File
        || !descriptorFile.open(QIODevice::ReadOnly))
        return fail(Failure::Unusable, QStringLiteral("no descriptor"));
    const QByteArray descriptorBytes = descriptorFile.readAll();
    descriptorFile.close();
    const PackageDescriptor descriptor = PackageDescriptor::read(descriptorBytes);
    if (!descriptor.isValid())
        return fail(Failure::Unusable, QStringLiteral("damaged descriptor"));

    // Patch entries carry this prefix, which no installed file may have (mkpackage refuses it).
    const QString patchPrefix
        = QStringLiteral("%1_%2_%3.patch.")
              .arg(fromLatin1(m_entry.project()), name, fromLatin1(m_entry.type()));
    qint64 needed = 0;
    QSet<QString> patchEntries;
    for (const PackageDescriptor::Patch &patch : descriptor.patches()) {
        if (!patch.entry.startsWith(patchPrefix) || patch.entry.contains(QLatin1Char('/'))
            || !EntryName::isSafe(relativePath(patch.path, patch.name)) || patch.size < 0
            || patch.size > FilePatch::MaxSize || patch.base.size() != 64
            || patch.result.size() != 64)
            return fail(Failure::Unusable, QStringLiteral("damaged patch list"));
        needed += patch.size;
        patchEntries.insert(patch.entry);
    }
    const qint64 available = FileSystem::freeSpace(folder.path());
    if (available >= 0 && needed > available - spaceMargin)
        return fail(Failure::Unusable, QStringLiteral("no room"));

    const QHash<QString, int> modes = folder.entryModes();
    prepared->entryModes = modes;
    FolderMaker folders(PackagePlan::cleanAbsolutePath(folder.path()) + QLatin1Char('/'));
    QStringList patched;
    for (const PackageDescriptor::Patch &patch : descriptor.patches()) {
        const QString relative = relativePath(patch.path, patch.name);
        const QString basePath = m_rootFolder + QLatin1Char('/') + relative;
        QByteArray baseHash;
        QString errorText;
        // The user or another program may have changed the file since the version was installed.
        if (FileSystem::kindOf(basePath) != FileSystem::Kind::File
            || !PackageHash::ofFile(basePath, &baseHash, &errorText) || baseHash != patch.base)
            return fail(Failure::BaseChanged, relative);
        const QString patchPath = folder.path() + patch.entry;
        const QString targetPath = folder.path() + relative;
        const QString cleanTarget = PackagePlan::cleanAbsolutePath(targetPath);
        if (!folders.make(cleanTarget.left(cleanTarget.lastIndexOf(QLatin1Char('/')))))
            return fail(Failure::Unusable, folders.errorText());
        QByteArray resultHash;
        const FilePatch::Result result = FilePatch::apply(
            basePath, patchPath, targetPath, patch.size, &resultHash, &errorText);
        if (result == FilePatch::Result::BaseUnreadable)
            return fail(Failure::BaseChanged, relative);
        if (result == FilePatch::Result::CannotWrite)
            return fail(Failure::Unusable, errorText);
        if (result != FilePatch::Result::Applied || resultHash != patch.result)
            return fail(Failure::BadPatch, relative);
        FileSystem::unlink(patchPath);
        prepared->entryModes.insert(
            cleanTarget, modes.value(PackagePlan::cleanAbsolutePath(patchPath), -1));
        patched << relative;
    }

    // The installation finds the descriptor under the whole package's name.
    if (wholeStem != deltaStem) {
        if (!FileSystem::replaceFile(
                folder.path() + wholeStem + QLatin1String(".xml"), descriptorBytes))
            return fail(Failure::Unusable, FileSystem::errorText());
        FileSystem::unlink(descriptorPath);
    }
    // The lines the whole package's extraction would give: its entries less its descriptor
    // when that is named after the component.
    const QString ownDescriptor = name + QLatin1String(".xml");
    for (const QString &line : std::as_const(extracted)) {
        const QString entry = line.mid(3);
        if (!patchEntries.contains(entry) && entry != deltaStem + QLatin1String(".xml"))
            prepared->details << line;
    }
    for (const QString &relative : std::as_const(patched))
        prepared->details << QLatin1String(" - ") + relative;
    if (wholeStem + QLatin1String(".xml") != ownDescriptor)
        prepared->details << QLatin1String(" - ") + wholeStem + QLatin1String(".xml");
    if (!FileSystem::syncFileSystem(folder.path()))
        return fail(Failure::Unusable, FileSystem::errorText());
    return true;
}
