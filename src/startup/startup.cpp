#include "startup.h"

#include "discardedfolders.h"
#include "embeddedresources.h"
#include "filesystem.h"
#include "folder.h"
#include "journaltriage.h"
#include "mainapppaths.h"
#include "messageboxhandler.h"
#include "orvichangelogdialog.h"
#include "orvidownloaddialog.h"
#include "orvirecoverydialog.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "runlock.h"
#include "runmarker.h"
#include "updateentry.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QScopeGuard>
#include <QTranslator>

#include <exception>
#include <memory>

namespace {
// The components on offer, with the version each had before the run and has after it.
QVector<RunRecord::Component> offered(const OrviUpdaterEngine &engine, bool installed)
{
    QVector<RunRecord::Component> components;
    const InventoryVersions reported = engine.reportedVersions();
    for (const UpdateEntry *entry : engine.updates()) {
        const QByteArray project = QByteArray::fromStdString(entry->project());
        const QByteArray name = QByteArray::fromStdString(entry->name());
        const QByteArray type = QByteArray::fromStdString(entry->type());
        const QByteArray before = reported.versionOf(project, name, type);
        components.append({ project, name, type, before,
            installed ? QByteArray::fromStdString(entry->version()) : before });
    }
    return components;
}
} // namespace

int Startup::run(int &argc, char **argv, const std::function<void(EngineSettings &)> &adjust)
{
    QApplication application(argc, argv);
    EngineSettings settings;
    if (adjust)
        adjust(settings);
    EmbeddedResources::registerBundle();
    QTranslator translator;
    loadTranslation(translator);

    const Switches switches = scanSwitches(QCoreApplication::arguments());
    // Every way out goes through here, so that the main application learns how the run ended;
    // before the locks are released, so that a relocated copy's record always comes later.
    RunRecord record(switches.runId);
    const auto finish = [&record](int code) {
        if (!record.write(code))
            qWarning("The run's result could not be recorded: %s", qPrintable(record.errorText()));
        return code;
    };
    // Nothing is copied, downloaded or restored through a folder someone else could steer.
    auto downloadFolder = std::make_shared<Folder>();
    auto scratchFolder = std::make_shared<Folder>();
    const QString refusal
        = Platform::prepareDownloadFolder(downloadFolder.get(), scratchFolder.get());
    if (!refusal.isEmpty()) {
        MessageBoxHandler::critical(
            QCoreApplication::translate("translation", "Update", "program update"), refusal);
        record.setOutcome(RunRecord::Outcome::UnsafeFolder, refusal);
        return finish(1);
    }
    // From here on what is in them is reached from the folders as they were checked, so that
    // one swapped for a link later leads nowhere else.
    Folder::confine(scratchFolder, Platform::tempFolder());
    Folder::confine(downloadFolder, Platform::downloadFolder());
    const auto release = qScopeGuard([] {
        Folder::confine(nullptr, Platform::downloadFolder());
        Folder::confine(nullptr, Platform::tempFolder());
    });
    // Held to the end of the run: a second start, or another user's, must not take this
    // run's journal for an interrupted one, nor copy over the updater while it runs.
    RunLock lock;
    const QString appFolder = switches.update ? switches.appRoot.value_or(QString())
                                              : QCoreApplication::applicationDirPath();
    int code = 0;
    QString lockRefusal;
    if (!lockRun(lock, appFolder, switches.quiet, settings.lockTimeout, &code, &lockRefusal)) {
        record.setOutcome(code == exitAnotherRun ? RunRecord::Outcome::AnotherRun
                                                 : RunRecord::Outcome::LockFailed,
            lockRefusal);
        return finish(code);
    }
    if (switches.update) {
        settings.appRoot = switches.appRoot;
        settings.downloadFolder = std::move(downloadFolder);
        const int updateCode = finish(updateRun(switches.quiet, Query(), settings, &record));
        // The windows are closed: what a recovery moved aside no longer keeps anyone waiting,
        // and being this user's alone, it needs no lock.
        lock.release();
        DiscardedFolders::removeAll(Platform::downloadFolder());
        return updateCode;
    }
    return finish(relocate(QCoreApplication::applicationDirPath(), Platform::downloadFolder(),
        Platform::relocationFiles(), switches.quiet, switches.runId, &record));
}

bool Startup::lockRun(
    RunLock &lock, const QString &appFolder, bool quiet, int timeout, int *code, QString *refusal)
{
    QString errorText;
    switch (lock.acquire(Platform::runLockFile(), appFolder, timeout, &errorText)) {
    case RunLock::Result::Locked:
    // Goes on as far as any run of a user who cannot change the installation.
    case RunLock::Result::Unwritable:
        return true;
    case RunLock::Result::Busy:
        *refusal = QCoreApplication::translate(
            "translation", "Another update of Orvi instant messenger is running.", "nc");
        if (const RunLock::Holder holder = lock.holder(); !holder.user.isEmpty())
            *refusal += QLatin1Char(' ')
                + QCoreApplication::translate(
                    "translation", "It was started by the user %1 (process %2).", "nc")
                      .arg(holder.user)
                      .arg(holder.process);
        if (!quiet)
            MessageBoxHandler::information(
                QCoreApplication::translate("translation", "Update", "program update"), *refusal);
        *code = exitAnotherRun;
        return false;
    case RunLock::Result::Failed:
        break;
    }
    *refusal = QCoreApplication::translate("translation", "Cannot lock the update: %1", "nc")
                   .arg(errorText);
    MessageBoxHandler::critical(
        QCoreApplication::translate("translation", "Update", "program update"), *refusal);
    *code = 1;
    return false;
}

void Startup::loadTranslation(QTranslator &translator)
{
    const QStringList languages = QLocale::system().uiLanguages();
    if (languages.isEmpty() || !languages.first().startsWith(QLatin1String("pl")))
        return;
    if (translator.load(QStringLiteral(":/languages/orvi_pl_PL.qm")))
        QCoreApplication::installTranslator(&translator);
}

Startup::Switches Startup::scanSwitches(const QStringList &arguments)
{
    Switches switches;
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-q"))
            switches.quiet = true;
        else if (arguments.at(i) == QLatin1String("-u"))
            switches.update = true;
    }
    switches.appRoot = MainAppPaths::rootFolder(arguments);
    const qsizetype runId = arguments.indexOf(QStringLiteral("-runid"), 1);
    if (runId > 0 && runId + 1 < arguments.size())
        switches.runId = arguments.at(runId + 1);
    return switches;
}

QStringList Startup::relaunchArguments(
    bool quiet, const QString &programFolder, const QString &runId)
{
    QStringList arguments { QStringLiteral("-u") };
    if (quiet)
        arguments << QStringLiteral("-q");
    arguments << QStringLiteral("-root") << programFolder;
    if (!runId.isEmpty())
        arguments << QStringLiteral("-runid") << runId;
    return arguments;
}

int Startup::relocate(const QString &sourceFolder, const QString &downloadFolder,
    const QStringList &files, bool quiet, const QString &runId, RunRecord *record)
{
    RunRecord unrecorded;
    RunRecord &result = record ? *record : unrecorded;
    QDir().mkpath(downloadFolder);
    const Folder target = Folder::open(downloadFolder);
    for (const QString &name : files) {
        QFile source(sourceFolder + QLatin1Char('/') + name);
        // Some of the files live in subfolders (Qt's plug-ins on Windows).
        const QStringList folders = name.split(QLatin1Char('/')).mid(0, name.count(u'/'));
        for (qsizetype depth = 1; depth <= folders.size(); ++depth)
            target.makeFolder(folders.mid(0, depth).join(QLatin1Char('/')));
        QString errorText;
        if (copyInto(source, target, name, &errorText))
            continue;
        // A stale copy from an earlier run is in the way.
        target.unlink(name);
        if (!copyInto(source, target, name, &errorText)) {
            const QString text = QCoreApplication::translate(
                "translation", "Copy error: %1 (%2)", "program update")
                                     .arg(errorText, source.fileName());
            MessageBoxHandler::critical(
                QCoreApplication::translate("translation", "Update", "program update"), text);
            result.setOutcome(RunRecord::Outcome::RelocationFailed, text);
            return 1;
        }
    }
    // The copy's own record replaces this one when it ends.
    result.setOutcome(RunRecord::Outcome::Relocated);
    if (Platform::startRelocatedCopy(
            downloadFolder + files.first(), relaunchArguments(quiet, sourceFolder, runId)))
        return 0;
    const QString text = QCoreApplication::translate("translation", "Cannot run update!", "nc");
    MessageBoxHandler::critical(
        QCoreApplication::translate("translation", "Update", "program update"), text);
    result.setOutcome(RunRecord::Outcome::RelocationFailed, text);
    return 1;
}

bool Startup::copyInto(QFile &source, const Folder &target, const QString &name, QString *errorText)
{
    if (!source.isOpen() && !source.open(QIODevice::ReadOnly)) {
        *errorText = source.errorString();
        return false;
    }
    source.seek(0);
    const bool executable = source.permissions() & QFileDevice::ExeOwner;
    const FileSystem::Handle handle = target.create(name, executable ? 0755 : 0644);
    QFile copy;
    if (handle < 0 || !copy.open(handle, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        *errorText = target.errorText();
        return false;
    }
    while (!source.atEnd()) {
        const QByteArray piece = source.read(1024 * 1024);
        if (piece.isEmpty() && source.error() != QFileDevice::NoError) {
            *errorText = source.errorString();
            return false;
        }
        if (copy.write(piece) != piece.size()) {
            *errorText = copy.errorString();
            return false;
        }
    }
    if (!copy.flush()) {
        *errorText = copy.errorString();
        return false;
    }
    return true;
}

int Startup::updateRun(
    bool quiet, const Query &query, const EngineSettings &settings, RunRecord *record)
{
    RunRecord unrecorded;
    RunRecord &result = record ? *record : unrecorded;
    const auto ended = [&result](RunRecord::Outcome outcome, int code) {
        result.setOutcome(outcome);
        return code;
    };
    try {
        OrviUpdaterEngine engine(settings);
        if (!settleEarlierRun(engine.downloadFolder(), settings.appRoot.value_or(QString())))
            return ended(RunRecord::Outcome::RecoveryFailed, exitRollbackFailed);
        if (settings.appRoot && !acceptRunMarker(engine.downloadFolder(), *settings.appRoot))
            return ended(RunRecord::Outcome::InterruptedElsewhere, exitAnotherRun);
        // Whoever else could write the record of installed versions could freeze all updates
        // or clear the record; the recovery below may already write it.
        if (const QString refusal = Platform::prepareStateFolder(); !refusal.isEmpty()) {
            MessageBoxHandler::critical(
                QCoreApplication::translate("translation", "Update", "program update"), refusal);
            result.setOutcome(RunRecord::Outcome::UnsafeFolder, refusal);
            return 1;
        }
        // Before the main application is asked anything: it may be half replaced.
        QVector<VersionRecords::Record> completedVersions;
        if (!recoverInterruptedRun(
                engine.downloadFolder(), settings.appRoot.value_or(QString()), &completedVersions))
            return ended(RunRecord::Outcome::RecoveryFailed, exitRollbackFailed);
        engine.confirmVersions(completedVersions);
        const bool queried = query ? query(engine) : engine.checkUpdates();
        if (!queried) {
            if (engine.channelRefused()) {
                result.setOutcome(RunRecord::Outcome::ChannelRefused, engine.channelRefusal());
                return exitChannelRefused;
            }
            return ended(RunRecord::Outcome::QueryFailed, 0);
        }
        if (!engine.hasUpdates()) {
            if (!quiet)
                MessageBoxHandler::information(
                    QCoreApplication::translate("translation", "Update", "program update"),
                    QCoreApplication::translate("translation", "No updates available.", "nc"));
            return ended(RunRecord::Outcome::NoUpdates, 0);
        }
        result.setComponents(offered(engine, false));
        if (!engine.canChangeAppFolder()) {
            // Also when quiet: before anything is downloaded, and the only word the user gets.
            MessageBoxHandler::critical(
                QCoreApplication::translate("translation", "Update", "program update"),
                QCoreApplication::translate("translation",
                    "Orvi instant messenger is installed in %1, which this user cannot change, so "
                    "its updates cannot be installed. Start the updater as a user who may change "
                    "that folder, such as an administrator.",
                    "nc")
                    .arg(QDir::toNativeSeparators(*engine.appRoot())));
            return ended(RunRecord::Outcome::FolderNotWritable, 1);
        }
        // What the download window shows of a failed download, for the record.
        QString fetching;
        QString downloadError;
        QObject::connect(&engine, &OrviUpdaterEngine::downloadFile,
            [&fetching](const QString &name) { fetching = name; });
        QObject::connect(&engine, &OrviUpdaterEngine::error,
            [&downloadError](const QString &text) { downloadError = text; });
        showFirstDialog(&engine, quiet);
        const int code = QApplication::exec();
        if (engine.installOutcome() != InstallationRun::Outcome::NotRun)
            result.setFailedPackage(engine.failedPackage());
        switch (engine.installOutcome()) {
        case InstallationRun::Outcome::NotRun:
            if (downloadError.isEmpty())
                return ended(RunRecord::Outcome::Cancelled, code);
            result.setFailedPackage(fetching);
            result.setOutcome(RunRecord::Outcome::DownloadFailed, downloadError);
            return code;
        case InstallationRun::Outcome::Completed:
            result.setComponents(offered(engine, true));
            return ended(RunRecord::Outcome::Installed, 0);
        case InstallationRun::Outcome::RolledBack:
            result.setOutcome(RunRecord::Outcome::RolledBack, engine.failureReason());
            return exitRolledBack;
        case InstallationRun::Outcome::RollbackFailed:
        case InstallationRun::Outcome::Kept:
            result.setOutcome(RunRecord::Outcome::RollbackFailed, engine.failureReason());
            return exitRollbackFailed;
        }
        return code;
    } catch (const std::exception &exception) {
        const QString text = QString::fromLocal8Bit(exception.what());
        MessageBoxHandler::critical(
            QCoreApplication::translate("translation", "Update", "program update"), text);
        result.setOutcome(RunRecord::Outcome::Error, text);
        return 1;
    } catch (...) {
        result.setOutcome(RunRecord::Outcome::Error);
        return 1;
    }
}

bool Startup::settleEarlierRun(const QString &downloadFolder, const QString &appFolder)
{
    const JournalTriage::Result result = JournalTriage::sortOut(downloadFolder, appFolder);
    const QString title = QCoreApplication::translate("translation", "Update", "program update");
    switch (result.finding) {
    case JournalTriage::Finding::Usable:
        return true;
    case JournalTriage::Finding::SetAside:
        // Also when quiet: these may be the only copies of the files an earlier update replaced.
        MessageBoxHandler::information(title,
            QCoreApplication::translate("translation",
                "An earlier update left files that no readable record accounts for, among them "
                "the previous versions of the files it replaced. They were moved to %1.",
                "nc")
                .arg(QDir::toNativeSeparators(result.keptFolder)));
        return true;
    case JournalTriage::Finding::OtherInstallation:
        MessageBoxHandler::critical(title,
            QCoreApplication::translate("translation",
                "An update of the installation in %1 was interrupted. Start the updater of that "
                "installation first, so that it can restore it.",
                "nc")
                .arg(QDir::toNativeSeparators(result.otherFolder)));
        return false;
    case JournalTriage::Finding::Failed:
        break;
    }
    MessageBoxHandler::critical(title,
        QCoreApplication::translate(
            "translation", "The files an earlier update left could not be moved aside: %1", "nc")
            .arg(result.errorText));
    return false;
}

bool Startup::acceptRunMarker(const QString &downloadFolder, const QString &appFolder)
{
    const QString owner = RunMarker::owner(appFolder);
    if (owner.isEmpty())
        return true;
    if (owner == Platform::userName()) {
        // This user's own journal of the folder undoes the run and then drops the marker.
        const bool journalled
            = InstallationJournal::state(downloadFolder) != InstallationJournal::State::None
            && MainAppPaths::sameFolder(
                InstallationJournal::folders(downloadFolder).application, appFolder);
        if (!journalled)
            RunMarker::remove(appFolder);
        return true;
    }
    // Also when quiet: nothing else can tell this user why the installation is never updated.
    MessageBoxHandler::critical(
        QCoreApplication::translate("translation", "Update", "program update"),
        QCoreApplication::translate("translation",
            "An update of this installation by the user %1 was interrupted, and only that user's "
            "updater can restore it: %1 must start the updater once. Deleting %2 accepts the "
            "installation as it is.",
            "nc")
            .arg(owner, QDir::toNativeSeparators(RunMarker::path(appFolder))));
    return false;
}

bool Startup::recoverInterruptedRun(const QString &downloadFolder, const QString &appRoot,
    QVector<VersionRecords::Record> *completedVersions)
{
    QStringList unrestored;
    InstallationRun::Outcome outcome = InstallationRun::Outcome::NotRun;
    {
        // Also when quiet: the start waits for the undo. Made only when there is one, and gone
        // before the boxes that tell how it ended.
        std::unique_ptr<OrviRecoveryDialog> window;
        outcome = InstallationRun::recover(
            downloadFolder, appRoot, &unrestored,
            [&window](int percent) {
                if (!window)
                    window = std::make_unique<OrviRecoveryDialog>();
                window->setProgress(percent);
            },
            completedVersions);
    }
    switch (outcome) {
    case InstallationRun::Outcome::NotRun:
    case InstallationRun::Outcome::Completed:
        return true;
    case InstallationRun::Outcome::RolledBack:
        // Also when quiet: the user must learn that the update did not happen.
        MessageBoxHandler::information(
            QCoreApplication::translate("translation", "Update", "program update"),
            QCoreApplication::translate("translation",
                "The previous update was interrupted. The application was restored to its state "
                "before that update.",
                "nc"));
        return true;
    case InstallationRun::Outcome::Kept:
        // Also when quiet: nothing else tells why no update is ever installed.
        MessageBoxHandler::critical(
            QCoreApplication::translate("translation", "Update", "program update"),
            QCoreApplication::translate("translation",
                "The update journal %1 belongs to another installation than %2, so it was "
                "neither undone nor removed. If no update is running, deleting it is safe.",
                "nc")
                .arg(QDir::toNativeSeparators(unrestored.value(0)),
                    QDir::toNativeSeparators(appRoot)));
        return false;
    case InstallationRun::Outcome::RollbackFailed:
        break;
    }
    MessageBoxHandler::critical(
        QCoreApplication::translate("translation", "Update", "program update"),
        QCoreApplication::translate("translation",
            "The previous update was interrupted and could not be undone completely. Software "
            "may not work properly. What could not be restored is kept in %1; the next update "
            "tries again:",
            "nc")
                .arg(QDir::toNativeSeparators(downloadFolder))
            + QLatin1Char('\n') + unrestored.join(QLatin1Char('\n')));
    return false;
}

void Startup::showFirstDialog(OrviUpdaterEngine *engine, bool quiet)
{
    // Each dialog owns itself through its window, so the pointer is not kept.
    if (quiet)
        new OrviDownloadDialog(engine);
    else
        new OrviChangelogDialog(engine);
}
