#pragma once

#include "deltapackage.h"
#include "installationjournal.h"
#include "planexecutor.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

class QXmlStreamAttributes;
class UpdateEntry;

/*
 * The installation of one update package, undoable until its run ends. Construction decides
 * where the package's files go; install() unpacks the archive into the package folder, checks
 * the descriptor against the update, plans every change, records the plan durably and has it
 * carried out; rollback() undoes it. Failures come back as values; the run tells the user.
 */
class PackageInstaller
{
public:
    /// What one installation run shares between its packages.
    struct RunState
    {
        /// Backup names taken so far: two packages of one run may share an unwind folder.
        QSet<QString> takenBackups;
        /// Package folders already cleaned; a second package of the same name must find the
        /// first one's backups there.
        QSet<QString> cleanedPackageFolders;
    };

    /// Why install() failed.
    struct Failure
    {
        /// What the user is told.
        QString message;
        /// The system's description when a file of the package could not be written.
        QString errorText;
    };

    /// Builds the installer of entry (not owned; it must outlive the installer) for a main
    /// application in appRoot, sharing runState (not owned) with the other packages of the
    /// run. A main-application package whose folder lacks "orvi7.exe" gets no destination
    /// (lacksMainApplication()).
    PackageInstaller(const UpdateEntry *entry, const QString &appRoot, RunState *runState);
    ~PackageInstaller();

    /// Where packages of a component of type go: appRoot for "app", the per-user plug-in
    /// folder for "plugin"; empty for any other type or when unknown.
    static QString destinationOf(const std::string &type, const QString &appRoot);
    /// The name of a package's descriptor in its archive: the path of link less its last four
    /// characters; empty when the path is not longer than that.
    static QString descriptorStem(const std::string &link);

    /// True when the package belongs to the main application but its folder lacks
    /// "orvi7.exe": the update cannot run.
    bool lacksMainApplication() const { return m_lacksMainApplication; }
    /// Records every plan in journal (not owned) before anything below the root changes.
    void setJournal(InstallationJournal *journal) { m_journal = journal; }
    /// Installs from the package folder a delta already prepared (not owned) instead of
    /// unpacking the archive.
    void setPrepared(const DeltaPackage::Prepared *prepared) { m_prepared = prepared; }

    /// Installs the package whose archive lies in downloadFolder: unpacks it, checks it whole,
    /// records its plan, then carries it out. Shows nothing; false after a failure, which
    /// failure describes. detailsList receives one line per extracted file.
    bool install(const QString &downloadFolder, QStringList *detailsList, Failure *failure);
    /// Undoes what install() changed, last change first: removes what it created and puts
    /// every backup back. Goes on past failures; false when anything could not be undone
    /// (unrestoredItems() names it; its backup stays). Shows nothing.
    bool rollback();

    const UpdateEntry *entry() const { return m_entry; }
    /// Where the package's files go; empty when the package has no usable destination.
    QString rootFolder() const { return m_rootFolder; }
    /// What the last rollback() could not undo: backups kept and created items left.
    QStringList unrestoredItems() const { return m_unrestored; }

private:
    bool planAndApply(const QString &packageFolder, const QString &unwindFolder,
        const QHash<QString, int> &entryModes, Failure *failure);
    QString checkPackage(const QXmlStreamAttributes &attributes) const;

    const UpdateEntry *m_entry;
    RunState *m_runState;
    QString m_rootFolder;
    QString m_packageName;
    // Given to every placed file on Windows, which keeps no modes; 0 elsewhere.
    QFile::Permissions m_rootPermissions;
    bool m_lacksMainApplication = false;
    InstallationJournal *m_journal = nullptr;
    const DeltaPackage::Prepared *m_prepared = nullptr;
    // The plan being carried out; kept until the run ends, for the rollback.
    std::unique_ptr<PlanExecutor> m_executor;
    QStringList m_unrestored;
};
