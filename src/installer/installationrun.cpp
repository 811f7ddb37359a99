#include "installationrun.h"

#include "confinedroots.h"
#include "discardedfolders.h"
#include "mainapppaths.h"
#include "messageboxhandler.h"
#include "planexecutor.h"
#include "platform.h"
#include "removefolderfiles.h"
#include "runmarker.h"
#include "stepbounds.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

namespace {
QByteArray bytes(const std::string &text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

QString updateTitle()
{
    return QCoreApplication::translate("translation", "Update", "program update");
}

QString journalFailure(const InstallationJournal &journal)
{
    return QCoreApplication::translate(
        "translation", "Cannot write the installation journal (%1)!", "nc")
        .arg(journal.errorText());
}

QString markerFailure(const QString &appRoot, const QString &errorText)
{
    return QCoreApplication::translate("translation", "Cannot write %1 (%2)!", "nc")
        .arg(QDir::toNativeSeparators(RunMarker::path(appRoot)), errorText);
}
} // namespace

InstallationRun::InstallationRun(const QVector<UpdateEntry *> &updates, const QString &appRoot,
    const QString &downloadFolder, QString *details, bool *installSucceeded)
    : m_updates(updates)
    , m_appRoot(appRoot)
    , m_downloadFolder(downloadFolder)
    , m_details(details)
    , m_installSucceeded(installSucceeded)
    , m_journal(downloadFolder)
{
}

InstallationRun::~InstallationRun() = default;

void InstallationRun::run()
{
    const int count = int(m_updates.size());
    bool journalStarted = count == 0;
    for (int i = 0; i < count; ++i) {
        const UpdateEntry *entry = m_updates.at(i);
        m_installers.push_back(std::make_unique<PackageInstaller>(entry, m_appRoot, &m_runState));
        PackageInstaller &installer = *m_installers.back();
        // Told as soon as it is known; the package itself then fails for want of a destination.
        if (installer.lacksMainApplication()) {
            MessageBoxHandler::critical(updateTitle(),
                QCoreApplication::translate("translation", "Cannot run update!", "nc"));
            QCoreApplication::quit();
        }
        installer.setJournal(&m_journal);
        if (m_prepared) {
            if (const auto prepared = m_prepared->find(entry); prepared != m_prepared->end())
                installer.setPrepared(&prepared.value());
        }
        const QString name
            = QString::fromLatin1(entry->name().data(), qsizetype(entry->name().size()));
        emit installFile(name);
        *m_details
            += QCoreApplication::translate("translation",
                   "Installing package %1:", "status information about currently installed package")
                   .arg(name)
            + QLatin1Char('\n');

        QStringList detailsList;
        if (!journalStarted
            && !(journalStarted = m_journal.begin(
                     { m_appRoot, PackageInstaller::destinationOf("plugin", m_appRoot) }))) {
            rollBack(i, name, journalFailure(m_journal));
            return;
        }
        // Another user's start must know that the folder may be half replaced from now on.
        if (!m_marked && !installer.rootFolder().isEmpty()
            && installer.rootFolder() != PackageInstaller::destinationOf("plugin", m_appRoot)) {
            if (QString errorText; !RunMarker::place(m_appRoot, &errorText)) {
                rollBack(i, name, markerFailure(m_appRoot, errorText));
                return;
            }
            m_marked = true;
        }
        PackageInstaller::Failure failure;
        if (!installer.install(m_downloadFolder, &detailsList, &failure)) {
            MessageBoxHandler::critical(updateTitle(), failure.message);
            m_failureReason = failure.message;
            rollBack(i, name, failure.errorText);
            return;
        }
        detailsList.sort();
        *m_details += detailsList.join(QLatin1Char('\n')) + QLatin1String("\n\n");
        emit installProgress(100 * (i + 1) / count);
    }
    QVector<VersionRecords::Record> installed;
    for (const auto &installer : m_installers) {
        const UpdateEntry *entry = installer->entry();
        installed.append({ installer->rootFolder(), bytes(entry->project()), bytes(entry->name()),
            bytes(entry->type()), bytes(entry->version()) });
    }
    // The completion record comes last: until it is durable the next start would undo the run.
    if (count > 0 && !m_journal.finish(true, installed)) {
        const std::string &last = m_updates.last()->name();
        rollBack(count - 1, QString::fromLatin1(last.data(), qsizetype(last.size())),
            journalFailure(m_journal));
        return;
    }
    QStringList deltas;
    for (const UpdateEntry *entry : std::as_const(m_updates)) {
        if (m_prepared && m_prepared->contains(entry))
            deltas << QString::fromLatin1(entry->name().data(), qsizetype(entry->name().size()));
    }
    if (!deltas.isEmpty())
        *m_details += QCoreApplication::translate("translation",
                          "Only the changes were downloaded (delta packages) for: %1", "nc")
                          .arg(deltas.join(QLatin1String(", ")))
            + QLatin1Char('\n');
    *m_installSucceeded = true;
    m_outcome = Outcome::Completed;
    if (m_marked)
        RunMarker::remove(m_appRoot);
    // The journal keeps the versions until they are recorded; the next start records them.
    VersionRecords records(Platform::stateFolder());
    const bool recorded = count == 0 || records.record(installed);
    if (!recorded)
        *m_details += QCoreApplication::translate("translation",
                          "The installed versions could not be recorded (%1); the next update "
                          "records them.",
                          "nc")
                          .arg(records.errorText())
            + QLatin1Char('\n');
    emit installFinished();
    if (recorded)
        removeFolderFiles(m_downloadFolder);
}

InstallationRun::Outcome InstallationRun::recover(const QString &downloadFolder,
    const QString &appRoot, QStringList *unrestored, const RecoveryProgress &progress,
    QVector<VersionRecords::Record> *completedVersions)
{
    const InstallationJournal::Contents journal = InstallationJournal::read(downloadFolder);
    if (journal.state == InstallationJournal::State::None)
        return Outcome::NotRun;
    if (journal.state == InstallationJournal::State::Damaged) {
        // Written only by renaming a whole synced file into place: damage is not ours to mend.
        *unrestored = QStringList { InstallationJournal::filePath(downloadFolder) };
        return Outcome::RollbackFailed;
    }
    // A journal of the previous format names no folders; it is this run's.
    const InstallationJournal::Folders folders = journal.folders.application.isEmpty()
        ? InstallationJournal::Folders { appRoot,
              PackageInstaller::destinationOf("plugin", appRoot) }
        : journal.folders;
    if (!isThisRuns(folders, appRoot)) {
        *unrestored = QStringList { InstallationJournal::filePath(downloadFolder) };
        return Outcome::Kept;
    }
    if (journal.state == InstallationJournal::State::Finished) {
        // A run that completed may have ended before its versions were recorded; they are
        // recorded once the main application confirms them.
        if (completedVersions)
            *completedVersions = journal.installed;
        RunMarker::remove(folders.application);
        removeFolderFiles(downloadFolder);
        return Outcome::NotRun;
    }
    // Nothing of a journal is undone when any step would reach beyond its run's folders.
    const StepBounds bounds({ folders.application, folders.plugins, downloadFolder });
    if (!std::all_of(journal.steps.cbegin(), journal.steps.cend(),
            [&bounds](const PlanStep &step) { return bounds.holds(step); })) {
        *unrestored = QStringList { InstallationJournal::filePath(downloadFolder) };
        return Outcome::RollbackFailed;
    }
    {
        // Every name below the roots is reached from the roots opened here, so that a folder
        // in them that is, or becomes, a link leads the undo nowhere else.
        const ConfinedRoots roots({ folders.application, folders.plugins });
        if (!undoSteps(journal.steps, progress, unrestored))
            return Outcome::RollbackFailed;
    }
    InstallationJournal closing(downloadFolder);
    if (!closing.begin(journal.folders) || !closing.finish(false)) {
        *unrestored = QStringList { InstallationJournal::filePath(downloadFolder) };
        return Outcome::RollbackFailed;
    }
    RunMarker::remove(folders.application);
    // The application is back: what is left is moved out of the way at once and removed once
    // the windows are closed.
    if (!DiscardedFolders::discard(downloadFolder))
        removeFolderFiles(downloadFolder);
    return Outcome::RolledBack;
}

bool InstallationRun::isThisRuns(
    const InstallationJournal::Folders &folders, const QString &appRoot)
{
    // A journal that names no plug-in folder reaches none.
    return !appRoot.isEmpty() && MainAppPaths::sameFolder(folders.application, appRoot)
        && (folders.plugins.isEmpty()
            || MainAppPaths::sameFolder(
                folders.plugins, PackageInstaller::destinationOf("plugin", appRoot)));
}

bool InstallationRun::undoSteps(
    const QVector<PlanStep> &steps, const RecoveryProgress &progress, QStringList *unrestored)
{
    // Told only when the percentage moves, since a step takes far less time than a repaint;
    // 100 waits until the restored names are durable.
    int shown = 0;
    const PlanExecutor::Progress stepDone = [&](int undone) {
        if (const int percent = int(99LL * undone / steps.size()); percent != shown)
            progress(shown = percent);
    };
    if (progress)
        progress(0);
    *unrestored = PlanExecutor::undo(steps, 0, progress ? stepDone : PlanExecutor::Progress());
    if (!unrestored->isEmpty())
        return false;
    if (progress)
        progress(100);
    return true;
}

void InstallationRun::rollBack(int failed, const QString &name, const QString &errorText)
{
    const QString title = QCoreApplication::translate("translation", "Update", "nc");
    QString text
        = QCoreApplication::translate("translation", "Failed installing package ", "nc") + name;
    if (!errorText.isEmpty())
        text += QLatin1Char('\n') + errorText;
    m_failedPackage = name;
    if (!errorText.isEmpty() && !m_failureReason.contains(errorText))
        m_failureReason
            += (m_failureReason.isEmpty() ? QString() : QStringLiteral("\n")) + errorText;
    const QMessageBox::StandardButton answer = MessageBoxHandler::warning(
        title, text, QMessageBox::Abort | QMessageBox::Retry, QMessageBox::Retry);

    emit installFile(QCoreApplication::translate("translation", "Rollback update",
        "restoring application to state before installing update"));
    emit installProgress(0);
    // Newest first, so that a file replaced by several packages ends as it was before the run.
    // Entries never reached have nothing to undo; the progress still steps over them.
    const int count = int(m_updates.size());
    int step = 0;
    for (int j = count - 1; j > failed; --j)
        emit installProgress(100 * ++step / count);
    QStringList unrestored;
    for (int j = failed; j >= 0; --j) {
        // Every package is undone, also after one that could not be undone completely.
        if (!m_installers.at(size_t(j))->rollback())
            unrestored += m_installers.at(size_t(j))->unrestoredItems();
        emit installProgress(100 * ++step / count);
    }
    // Without the record the next start undoes the journal once more, which changes nothing.
    if (unrestored.isEmpty() && !m_journal.finish(false))
        unrestored << InstallationJournal::filePath(m_downloadFolder);
    m_outcome = unrestored.isEmpty() ? Outcome::RolledBack : Outcome::RollbackFailed;
    if (unrestored.isEmpty() && m_marked)
        RunMarker::remove(m_appRoot);
    if (!unrestored.isEmpty()) {
        MessageBoxHandler::critical(title,
            QCoreApplication::translate("translation",
                "An error occured while rolling back update progress. Software may "
                "not work properly. Try reinstalling whole application",
                "nc")
                + QLatin1String("\n\n")
                + QCoreApplication::translate("translation",
                    "What could not be restored is kept in %1; the next update tries again:", "nc")
                      .arg(QDir::toNativeSeparators(m_downloadFolder))
                + QLatin1Char('\n') + unrestored.join(QLatin1Char('\n')));
        QCoreApplication::quit();
    }

    *m_details = QStringLiteral("An error occured while installing updates");
    emit installFinished();
    removeFolderFiles(m_downloadFolder);

    if (answer == QMessageBox::Retry) {
        Platform::startDetached(
            QCoreApplication::applicationFilePath(), QCoreApplication::arguments());
        QCoreApplication::quit();
    }
}
