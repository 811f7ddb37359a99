#pragma once

#include "installationjournal.h"
#include "packageinstaller.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

class UpdateEntry;

/*
 * One installation run: installs the packages of the catalogue one by one under one journal,
 * reports each package and the progress, writes the details text, and after a failure rolls
 * back every package it installed, newest first, and offers to start the whole update again.
 * The download folder is emptied at the end unless a rollback left backups that are still
 * needed; those stay with the journal for the next start.
 */
class InstallationRun : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        NotRun,
        Completed,
        RolledBack,
        RollbackFailed,
        /// The recovery found the journal of other folders than its run's: nothing was done
        /// and the journal is kept.
        Kept
    };
    /// Told how far the undo of an interrupted run got, in percent: 0 as it starts, 100 once
    /// what it restored is durable.
    using RecoveryProgress = std::function<void(int percent)>;

    /// A run over updates with packages in downloadFolder, for the main application in appRoot;
    /// details and installSucceeded receive the results and must outlive the run.
    InstallationRun(const QVector<UpdateEntry *> &updates, const QString &appRoot,
        const QString &downloadFolder, QString *details, bool *installSucceeded);
    ~InstallationRun() override;

    /// Installs the entries in prepared from package folders their deltas prepared (the values
    /// must outlive the run), and says in the details which components came as deltas.
    void setPrepared(const QHash<const UpdateEntry *, DeltaPackage::Prepared> *prepared)
    {
        m_prepared = prepared;
    }

    /// Runs the installation; returns when it is over, after installFinished(). Failures are
    /// shown to the user; after a failed rollback or a Retry the application is asked to quit.
    void run();
    /// How the run ended.
    Outcome outcome() const { return m_outcome; }
    /// The name of the package whose failure rolled the run back; empty unless it was.
    QString failedPackage() const { return m_failedPackage; }
    /// Why that package failed, as the user was told.
    QString failureReason() const { return m_failureReason; }

    /// Undoes an unfinished journal left in downloadFolder by an interrupted run, then moves
    /// what is left in the folder aside (see DiscardedFolders). Only a journal of this run's
    /// folders, appRoot and its plug-in folder, is acted on (a journal of the previous format
    /// names none and is taken as this run's); any other is kept: Kept. A journal with a step
    /// outside its folders and downloadFolder is not undone at all. NotRun when there was
    /// nothing to undo (a completed journal's versions then go to completedVersions, when
    /// given), RolledBack when the installation is as it was before that run, RollbackFailed
    /// when something could not be undone: what was kept is then in downloadFolder, and the
    /// next start tries again. Shows nothing; progress, when given, hears of an undo only.
    static Outcome recover(const QString &downloadFolder, const QString &appRoot,
        QStringList *unrestored, const RecoveryProgress &progress = RecoveryProgress(),
        QVector<VersionRecords::Record> *completedVersions = nullptr);

signals:
    void installFile(const QString &name);
    void installProgress(int done);
    void installFinished();

private:
    /// True when folders are appRoot and its plug-in folder.
    static bool isThisRuns(const InstallationJournal::Folders &folders, const QString &appRoot);
    /// Undoes steps for the recovery; false, with what was not restored, when it failed.
    static bool undoSteps(
        const QVector<PlanStep> &steps, const RecoveryProgress &progress, QStringList *unrestored);
    void rollBack(int failed, const QString &name, const QString &errorText);

    QVector<UpdateEntry *> m_updates;
    QString m_appRoot;
    QString m_downloadFolder;
    QString *m_details;
    bool *m_installSucceeded;
    InstallationJournal m_journal;
    bool m_marked = false;
    Outcome m_outcome = Outcome::NotRun;
    QString m_failedPackage;
    QString m_failureReason;
    PackageInstaller::RunState m_runState;
    const QHash<const UpdateEntry *, DeltaPackage::Prepared> *m_prepared = nullptr;
    // Kept until the run ends: the rollback needs each installer's plan.
    std::vector<std::unique_ptr<PackageInstaller>> m_installers;
};
