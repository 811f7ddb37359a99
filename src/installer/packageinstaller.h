#pragma once

#include "filesystem.h"
#include "installationjournal.h"
#include "packagedescriptor.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

class QXmlStreamAttributes;
class UpdateEntry;

/*
 * Installs one update package and can undo it. Construction decides where the package's
 * files go; install() unpacks the archive into the package folder, checks the descriptor
 * against the update, plans every change (each target it replaces or removes goes to the
 * unwind folder first), records the plan durably and applies it; rollback() undoes the plan.
 */
class PackageInstaller
{
public:
    /// Builds the installer of entry (not owned; it must outlive the installer), appRoot being
    /// the main application's folder. For a main-application package whose folder lacks
    /// "orvi7.exe" the user is told, quitting is requested and the installer is left without
    /// a destination.
    PackageInstaller(const UpdateEntry *entry, const QString &appRoot);
    /// As above, with the main application's folder taken from the command line ("-root").
    explicit PackageInstaller(const UpdateEntry *entry);

    /// Where packages of a component of type go: appRoot (the main application's folder) for
    /// "app", the per-user plug-in folder for "plugin"; empty for any other type or when
    /// unknown.
    static QString destinationOf(const std::string &type, const QString &appRoot);

    /// Records every plan in journal (not owned) before anything below the root changes.
    void setJournal(InstallationJournal *journal) { m_journal = journal; }

    /// Installs the package whose archive lies in downloadFolder: unpacks it, checks it whole,
    /// records its plan, then applies it. False after a failure, which the user has been
    /// shown; errorText then holds the system's error text when an extracted file could not
    /// be written. detailsList receives one line per extracted file.
    bool install(const QString &downloadFolder, QString *errorText, QStringList *detailsList);
    /// Undoes what install() changed, last change first: removes what it created and puts
    /// every backup back. Goes on past failures; false when anything could not be undone
    /// (unrestoredItems() names it; its backup stays). Shows nothing.
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
    /// "path/name" of each backed-up target, in the order planned.
    QStringList backupFiles() const { return m_backupFiles; }
    /// The root folder's permission flags, given to every file placed; 0 leaves them as made.
    QFile::Permissions rootPermissions() const { return m_rootPermissions; }
    /// "path/name" of each target that did not exist and that the package created.
    QStringList createdFiles() const { return m_createdFiles; }
    /// The changes install() planned (and recorded), in the order they are made.
    QVector<InstallationJournal::Step> steps() const { return m_steps; }
    /// What the last rollback() could not undo: backups kept and created items left.
    QStringList unrestoredItems() const { return m_unrestored; }

private:
    bool extract(const QString &archivePath, QString *errorText, QStringList *detailsList);
    bool hasRoomFor(const QString &archivePath);
    bool applyDescriptor(const QString &descriptorPath);
    bool checkPackage(const QXmlStreamAttributes &attributes);
    bool planFile(const PackageDescriptor::File &file, const QString &updatePrefix);
    bool planFolders(const QString &folder, const QString &target);
    QString backupFor(const QString &relative);
    bool execute();
    bool executeStep(int index);
    bool moveAside(const InstallationJournal::Step &step);
    bool place(int index);
    bool ensureDownloadFolder(const QString &folder);
    FileSystem::Kind plannedKind(const QString &path) const;

    const UpdateEntry *m_entry;
    QString m_unwindFolder;
    QString m_rootFolder;
    QString m_packageName;
    QString m_descriptorStem;
    QStringList m_backupFolders;
    QStringList m_backupFiles;
    QFile::Permissions m_rootPermissions;
    QStringList m_createdFiles;
    InstallationJournal *m_journal = nullptr;

    // The plan: one step per change, with the payload each placing step takes and whether
    // the payload must stay for a later step.
    QVector<InstallationJournal::Step> m_steps;
    QVector<QString> m_sources;
    QVector<bool> m_keepSource;
    // How many steps are known to be done.
    int m_done = 0;
    QStringList m_unrestored;

    // Working state of one install() call.
    QString m_packageFolder;
    QString m_cleanRoot;
    QString m_realRoot;
    QString m_cleanPackageFolder;
    QSet<QString> m_knownFolders;
    QSet<QString> m_touched;
    QHash<QString, FileSystem::Kind> m_planned;
    QHash<QString, int> m_sourceUses;
};
