#pragma once

#include "enginesettings.h"
#include "runrecord.h"
#include "versionrecords.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

class OrviUpdaterEngine;

/*
 * The program's entry: the relocation run copies the updater into the download folder and
 * starts the copy with "-u"; the update run (with "-u") queries for updates and hands over
 * to the dialogs.
 */
class Startup
{
public:
    struct Switches
    {
        bool quiet = false;
        bool update = false;
        /// The folder after the first "-root"; none when "-root" is missing or last.
        std::optional<QString> appRoot;
        /// What follows the first "-runid": the main application's name for this run, which
        /// the run's record repeats; empty when none is given.
        QString runId;
    };
    using Query = std::function<bool(OrviUpdaterEngine &engine)>;
    /// Exit code of an update run whose installation failed and was rolled back.
    static constexpr int exitRolledBack = 2;
    /// Exit code when a rollback or the recovery of an interrupted run could not finish.
    static constexpr int exitRollbackFailed = 3;
    /// Exit code when another update run holds the download or the application folder.
    static constexpr int exitAnotherRun = 4;
    /// Exit code when the update server's certificate or its answer could not be trusted, so
    /// that a quiet run can tell a blocked channel from "nothing new".
    static constexpr int exitChannelRefused = 5;

    /// Runs the program with its command line; returns the exit code. The engine's settings
    /// are made once the application exists (the built-in server trust needs Qt's TLS plug-in,
    /// which a deployment's qt.conf finds); adjust changes what the command line does not say
    /// (tests shorten its limits). Their appRoot is the command line's.
    static int run(
        int &argc, char **argv, const std::function<void(EngineSettings &)> &adjust = nullptr);

    /// Scans every argument after the program name for exactly "-q" and "-u", and finds the
    /// main application's folder after "-root" and the run id after "-runid".
    static Switches scanSwitches(const QStringList &arguments);
    /// The arguments the relocated copy is started with; the run id is passed on when given.
    static QStringList relaunchArguments(
        bool quiet, const QString &programFolder, const QString &runId = QString());
    /// Copies files from sourceFolder into downloadFolder (one retry per file after removing
    /// a stale copy) and starts the copied updater, passing runId on; returns the exit code.
    /// Tells the user when a file cannot be copied or the copy cannot be started. record, when
    /// given, receives the outcome.
    static int relocate(const QString &sourceFolder, const QString &downloadFolder,
        const QStringList &files, bool quiet, const QString &runId = QString(),
        RunRecord *record = nullptr);
    /// The update run: recovery of an interrupted run, engine, query, then "No updates
    /// available.", a refusal (exit code 1) when this user cannot change the application
    /// folder, or the first dialog and the event loop; returns the exit code (0 installed or
    /// nothing to do, exitRolledBack, exitRollbackFailed). query replaces the engine's
    /// checkUpdates(); the engine is built with settings. record, when given, receives the
    /// outcome, the versions on offer and what failed.
    static int updateRun(bool quiet, const Query &query = Query(),
        const EngineSettings &settings = EngineSettings(), RunRecord *record = nullptr);

    /// Takes the run's locks (see RunLock), waiting up to timeout; false, after telling the
    /// user (unless quiet and another run keeps them), with the exit code in *code and what
    /// the user is or would be told in *refusal.
    static bool lockRun(class RunLock &lock, const QString &appFolder, bool quiet, int timeout,
        int *code, QString *refusal);

private:
    static void loadTranslation(class QTranslator &translator);
    /// Sets aside what an earlier run left that the recovery cannot use (see JournalTriage)
    /// and tells the user; false, after telling, when the run must not go on.
    static bool settleEarlierRun(const QString &downloadFolder, const QString &appFolder);
    /// True when appFolder carries no mark of an interrupted run or this user's own (dropped
    /// unless this user's journal undoes it); false, after telling the user, for another
    /// user's.
    static bool acceptRunMarker(const QString &downloadFolder, const QString &appFolder);
    /// Undoes a run that an unfinished journal in downloadFolder says was interrupted and tells
    /// the user; false when it could not be undone completely.
    /// The versions a completed journal recorded go to completedVersions.
    static bool recoverInterruptedRun(const QString &downloadFolder, const QString &appRoot,
        QVector<VersionRecords::Record> *completedVersions);
    static void showFirstDialog(OrviUpdaterEngine *engine, bool quiet);
    /// Copies source to name in target, which it creates or overwrites (never through a link);
    /// false, with the reason in errorText, when it cannot.
    static bool copyInto(
        class QFile &source, const class Folder &target, const QString &name, QString *errorText);
};
