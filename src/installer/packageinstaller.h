#pragma once

#include "packagedescriptor.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

class QXmlStreamAttributes;
class UpdateEntry;

/*
 * Installs one update package and can undo it. Construction decides where the package's
 * files go; install() unpacks the archive into the package folder, checks the descriptor
 * against the update and applies its file list, backing up every target it replaces or
 * removes; rollback() puts those backups back and removes the files the package created.
 */
class PackageInstaller
{
public:
    /// Builds the installer of entry (not owned; it must outlive the installer). For a
    /// main-application package whose folder lacks "orvi7.exe" the user is told, quitting is
    /// requested and the installer is left without a destination.
    explicit PackageInstaller(const UpdateEntry *entry);

    /// Installs the package whose archive lies in downloadFolder. False after a failure,
    /// which the user has been shown; errorText then holds the system's error text when an
    /// extracted file could not be created. detailsList receives one line per extracted file.
    bool install(const QString &downloadFolder, QString *errorText, QStringList *detailsList);
    /// Restores every backup made by install() and removes every file it created where none
    /// was, and the folders it created once they are empty. False at the first folder or file that
    /// cannot be restored; shows nothing.
    bool rollback(const QString &downloadFolder);

    const UpdateEntry *entry() const { return m_entry; }
    /// The folder backups go to; empty until install() or rollback() ran.
    QString unwindFolder() const { return m_unwindFolder; }
    /// Where the package's files go; empty when the package has no usable destination.
    QString rootFolder() const { return m_rootFolder; }
    QString packageName() const { return m_packageName; }
    /// The link's path less its last four characters: the descriptor's name in the archive.
    QString descriptorStem() const { return m_descriptorStem; }
    /// Each distinct path of a backed-up file, in the order first seen.
    QStringList backupFolders() const { return m_backupFolders; }
    /// "path/name" of each backup, in the order made, repeated when a target came twice.
    QStringList backupFiles() const { return m_backupFiles; }
    /// The root folder's permission flags, given to every file placed; 0 leaves them as made.
    QFile::Permissions rootPermissions() const { return m_rootPermissions; }
    /// "path/name" of each target that did not exist and that the package created.
    QStringList createdFiles() const { return m_createdFiles; }

private:
    bool applyDescriptor(const QString &descriptorPath);
    bool checkPackage(const QXmlStreamAttributes &attributes);
    bool applyFile(const PackageDescriptor::File &file);
    /// Backs target up into the unwind folder. With targetGoes the target is about to be
    /// removed, so it may be moved there instead of copied; *moved then tells whether it was.
    bool backUp(const QString &target, const QString &path, const QString &name, bool targetGoes,
            bool *moved);
    void removeTarget(const QString &target);
    bool placeFile(const QString &source, const QString &target);
    void ensureFolder(const QString &folder);
    void ensureTargetFolder(const QString &folder);

    const UpdateEntry *m_entry;
    QString m_unwindFolder;
    QString m_rootFolder;
    QString m_packageName;
    QString m_descriptorStem;
    QStringList m_backupFolders;
    QStringList m_backupFiles;
    QFile::Permissions m_rootPermissions;
    QStringList m_createdFiles;
    // Folders below or above the root that the package created, outermost first.
    QStringList m_createdFolders;

    // Working state of one install() call.
    QString m_packageFolder;
    QString m_cleanRoot;
    QString m_cleanPackageFolder;
    QSet<QString> m_knownFolders;
    // Targets backed up by this package: one that is absent later was removed by the package,
    // not created by it.
    QSet<QString> m_backedUpTargets;
    // Payload files moved into place: target to source and source to target, so that a
    // payload named twice is still found and a moved payload can go back before its
    // target is removed.
    QHash<QString, QString> m_placedFrom;
    QHash<QString, QString> m_movedTo;
};
