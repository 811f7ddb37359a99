#include "applicationfolder.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "filesystem.h"
#include "foldersnapshot.h"
#include "installationjournal.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "packageinstaller.h"
#include "platform.h"
#include "runlock.h"
#include "runmarker.h"
#include "startup.h"
#include "testenvironment.h"
#include "toplevelwindows.h"
#include "versionrecords.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTcpServer>
#include <QtTest>

#include <cerrno>
#include <stdexcept>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void scanSwitches_data();
    void scanSwitches();
    void relaunchArguments_data();
    void relaunchArguments();

    void relocateCopiesAndStartsTheCopy_data();
    void relocateCopiesAndStartsTheCopy();
    void relocateReplacesStaleCopyWithoutBox();
    void relocateReportsUnremovableDestination();
    void relocateReportsFailedStart();

    void updateRunWithoutUpdates_data();
    void updateRunWithoutUpdates();
    void updateRunReportsEscapedException();
    void updateRunSwallowsUnknownException();
    void updateRunWhenQueryFails();
#ifndef Q_OS_WIN
    // Windows keeps it in the user's own application-data folder and has no such modes.
    void updateRunRefusesAnUnsafeStateFolder();
#endif
    void recoveryShowsItsProgress_data();
    void recoveryShowsItsProgress();
    void recoveryNeverReachesThroughALink();
    void updateRunSetsAsideADamagedJournal_data();
    void updateRunSetsAsideADamagedJournal();
    void updateRunMeetsARunMarker_data();
    void updateRunMeetsARunMarker();
    void updateRunInAFolderThisUserCannotChange_data();
    void updateRunInAFolderThisUserCannotChange();

    void lockRun_data();
    void lockRun();
    void nobodyElseHoldsTheRun_data();
    void nobodyElseHoldsTheRun();
#ifdef Q_OS_WIN
    void mutexAccessList_data();
    void mutexAccessList();
#endif
    void plantedJournalsReachNothingOutside_data();
    void plantedJournalsReachNothingOutside();

    void binaryWithoutRootExitsAtOnce();

private:
    struct Start
    {
        QString program;
        QStringList arguments;
    };

    std::unique_ptr<TestEnvironment> m_environment;
    BoxRecorder m_boxes;
    QList<Start> m_starts;
    bool m_startSucceeds = true;

    QString m_source;
    QString m_download;
};

void tst_Startup::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    // As start-up leaves it: what is in the download folder is reached from the opened one.
    QVERIFY(m_environment->confineDownloadFolder());
    m_boxes.clear();
    m_starts.clear();
    m_startSucceeds = true;
    Platform::setDetachedStarter([this](const QString &program, const QStringList &arguments) {
        m_starts << Start { program, arguments };
        return m_startSucceeds;
    });
    m_source = m_environment->root() + QStringLiteral("/Orvi Messenger");
    m_download = m_environment->tempFolder() + QStringLiteral("/tupdates/");
    QVERIFY(QDir().mkpath(m_source));
}

void tst_Startup::cleanup()
{
    Platform::setDetachedStarter(nullptr);
    m_environment.reset();
}

void tst_Startup::scanSwitches_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("appRoot"); // null: none

    const QString program = QStringLiteral("updater");
    const QString none;
    QTest::newRow("none") << QStringList { program } << false << false << none;
    QTest::newRow("quiet") << QStringList { program, QStringLiteral("-q") } << true << false
                           << none;
    QTest::newRow("update") << QStringList { program, QStringLiteral("-u") } << false << true
                            << none;
    QTest::newRow("both, any order") << QStringList { program, QStringLiteral("-u"),
        QStringLiteral("-root"), QStringLiteral("/x"), QStringLiteral("-q") }
                                     << true << true << QStringLiteral("/x");
    QTest::newRow("repeated") << QStringList { program, QStringLiteral("-q"), QStringLiteral("-q") }
                              << true << false << none;
    QTest::newRow("capitals are not switches")
        << QStringList { program, QStringLiteral("-U"), QStringLiteral("-Q") } << false << false
        << none;
    QTest::newRow("longer arguments match nothing")
        << QStringList { program, QStringLiteral("-quiet"), QStringLiteral("-update") } << false
        << false << none;
    QTest::newRow("program name is not scanned")
        << QStringList { QStringLiteral("-u") } << false << false << none;
    QTest::newRow("folder after -root named like a switch")
        << QStringList { program, QStringLiteral("-root"), QStringLiteral("-u") } << false << true
        << QStringLiteral("-u");
    QTest::newRow("-root last") << QStringList { program, QStringLiteral("-u"),
        QStringLiteral("-root") }
                                << false << true << none;
}

void tst_Startup::scanSwitches()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, quiet);
    QFETCH(bool, update);
    QFETCH(QString, appRoot);

    const Startup::Switches switches = Startup::scanSwitches(arguments);
    QCOMPARE(switches.quiet, quiet);
    QCOMPARE(switches.update, update);
    QCOMPARE(switches.appRoot.has_value(), !appRoot.isNull());
    QCOMPARE(switches.appRoot.value_or(QString()), appRoot);
}

void tst_Startup::relaunchArguments_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<QStringList>("expected");

    const QString folder = QStringLiteral("C:/Program Files/Orvi");
    QTest::newRow("normal") << false
                            << QStringList { QStringLiteral("-u"), QStringLiteral("-root"),
                                   folder };
    QTest::newRow("quiet") << true
                           << QStringList { QStringLiteral("-u"), QStringLiteral("-q"),
                                  QStringLiteral("-root"), folder };
}

void tst_Startup::relaunchArguments()
{
    QFETCH(bool, quiet);
    QFETCH(QStringList, expected);

    QCOMPARE(Startup::relaunchArguments(quiet, QStringLiteral("C:/Program Files/Orvi")), expected);
}

void tst_Startup::relocateCopiesAndStartsTheCopy_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::newRow("normal") << false;
    QTest::newRow("quiet") << true;
}

void tst_Startup::relocateCopiesAndStartsTheCopy()
{
    QFETCH(bool, quiet);
    const QStringList files { QStringLiteral("updater.exe"), QStringLiteral("QtCore4.dll") };
    QVERIFY(TestEnvironment::writeFile(m_source + QStringLiteral("/updater.exe"), "program"));
    QVERIFY(TestEnvironment::writeFile(m_source + QStringLiteral("/QtCore4.dll"), "library"));

    QCOMPARE(Startup::relocate(m_source, m_download, files, quiet), 0);

    QCOMPARE(TestEnvironment::readFile(m_download + QStringLiteral("updater.exe")),
        QByteArray("program"));
    QCOMPARE(TestEnvironment::readFile(m_download + QStringLiteral("QtCore4.dll")),
        QByteArray("library"));
    QVERIFY(m_boxes.boxes().isEmpty());
    QCOMPARE(m_starts.size(), 1);
    QCOMPARE(m_starts.first().program, m_download + QStringLiteral("updater.exe"));
    QCOMPARE(m_starts.first().arguments, Startup::relaunchArguments(quiet, m_source));
}

void tst_Startup::relocateReplacesStaleCopyWithoutBox()
{
    const QStringList files { QStringLiteral("updater.exe") };
    QVERIFY(TestEnvironment::writeFile(m_source + QStringLiteral("/updater.exe"), "new program"));
    QVERIFY(TestEnvironment::writeFile(m_download + QStringLiteral("updater.exe"), "stale"));

    QCOMPARE(Startup::relocate(m_source, m_download, files, false), 0);

    QCOMPARE(TestEnvironment::readFile(m_download + QStringLiteral("updater.exe")),
        QByteArray("new program"));
    QVERIFY(m_boxes.boxes().isEmpty());
    QCOMPARE(m_starts.size(), 1);
}

void tst_Startup::relocateReportsUnremovableDestination()
{
    const QStringList files { QStringLiteral("updater.exe"), QStringLiteral("QtCore4.dll"),
        QStringLiteral("QtGui4.dll") };
    for (const QString &name : files)
        QVERIFY(TestEnvironment::writeFile(m_source + QLatin1Char('/') + name, name.toUtf8()));
    // A non-empty folder where the copy should go can be neither removed nor overwritten.
    QVERIFY(TestEnvironment::writeFile(m_download + QStringLiteral("QtCore4.dll/in-use"), "x"));

    QCOMPARE(Startup::relocate(m_source, m_download, files, false), 1);

    QCOMPARE(m_boxes.boxes().size(), 1);
    const MessageBoxHandler::Box box = m_boxes.boxes().first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Update"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    const QString sourcePath = m_source + QStringLiteral("/QtCore4.dll");
    QVERIFY2(box.text.startsWith(QStringLiteral("Copy error: ")), qPrintable(box.text));
    QVERIFY2(box.text.endsWith(QStringLiteral(" (") + sourcePath + QLatin1Char(')')),
        qPrintable(box.text));
    const QString errorText = box.text.mid(12, box.text.size() - 12 - sourcePath.size() - 3);
    QVERIFY2(!errorText.trimmed().isEmpty(), qPrintable(box.text));

    QVERIFY(QFile::exists(m_download + QStringLiteral("updater.exe")));
    QVERIFY(!QFile::exists(m_download + QStringLiteral("QtGui4.dll")));
    QVERIFY(m_starts.isEmpty());
}

void tst_Startup::relocateReportsFailedStart()
{
    QVERIFY(TestEnvironment::writeFile(m_source + QStringLiteral("/updater.exe"), "program"));
    m_startSucceeds = false;

    QCOMPARE(Startup::relocate(m_source, m_download, { QStringLiteral("updater.exe") }, false), 1);

    QCOMPARE(m_starts.size(), 1);
    QCOMPARE(m_boxes.boxes().size(), 1);
    QCOMPARE(m_boxes.boxes().first().icon, QMessageBox::Critical);
    QCOMPARE(m_boxes.boxes().first().title, QStringLiteral("Update"));
    QCOMPARE(m_boxes.boxes().first().text, QStringLiteral("Cannot run update!"));
}

void tst_Startup::updateRunWithoutUpdates_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::newRow("normal") << false;
    QTest::newRow("quiet") << true;
}

void tst_Startup::updateRunWithoutUpdates()
{
    QFETCH(bool, quiet);

    bool queried = false;
    const int code = Startup::updateRun(quiet, [&queried](OrviUpdaterEngine &engine) {
        queried = true;
        return !engine.hasUpdates();
    });

    QVERIFY(queried);
    QCOMPARE(code, 0);
    if (quiet) {
        QVERIFY(m_boxes.boxes().isEmpty());
        return;
    }
    QCOMPARE(m_boxes.boxes().size(), 1);
    QCOMPARE(m_boxes.boxes().first().icon, QMessageBox::Information);
    QCOMPARE(m_boxes.boxes().first().title, QStringLiteral("Update"));
    QCOMPARE(m_boxes.boxes().first().text, QStringLiteral("No updates available."));
    QCOMPARE(m_boxes.boxes().first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void tst_Startup::updateRunReportsEscapedException()
{
    const int code = Startup::updateRun(
        false, [](OrviUpdaterEngine &) -> bool { throw std::runtime_error("disk on fire"); });

    QCOMPARE(code, 1);
    QCOMPARE(m_boxes.boxes().size(), 1);
    QCOMPARE(m_boxes.boxes().first().icon, QMessageBox::Critical);
    QCOMPARE(m_boxes.boxes().first().title, QStringLiteral("Update"));
    QCOMPARE(m_boxes.boxes().first().text, QStringLiteral("disk on fire"));
}

void tst_Startup::updateRunSwallowsUnknownException()
{
    const int code = Startup::updateRun(false, [](OrviUpdaterEngine &) -> bool { throw 42; });

    QCOMPARE(code, 1);
    QVERIFY(m_boxes.boxes().isEmpty());
}

void tst_Startup::updateRunWhenQueryFails()
{
    const int code = Startup::updateRun(false, [](OrviUpdaterEngine &) { return false; });

    QCOMPARE(code, 0);
    QVERIFY(m_boxes.boxes().isEmpty());
}

#ifndef Q_OS_WIN
// Someone else who can write there could freeze every update or clear the record of versions.
void tst_Startup::updateRunRefusesAnUnsafeStateFolder()
{
    QVERIFY(QDir().mkpath(Platform::stateFolder()));
    QVERIFY(QFile::setPermissions(Platform::stateFolder(),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::WriteOther));
    bool queried = false;

    const int code = Startup::updateRun(true, [&](OrviUpdaterEngine &) { return queried = true; });

    QCOMPARE(code, 1);
    QVERIFY(!queried);
    QCOMPARE(m_boxes.boxes().size(), 1);
    QVERIFY(m_boxes.boxes().constFirst().text.contains(Platform::stateFolder()));
}
#endif

void tst_Startup::recoveryShowsItsProgress_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::newRow("normal") << false;
    QTest::newRow("quiet") << true;
}

void tst_Startup::recoveryShowsItsProgress()
{
    QFETCH(bool, quiet);
    // An install killed after it had replaced four files.
    const QString root = m_environment->root() + QStringLiteral("/app");
    QVERIFY(ApplicationFolder::make(root));
    QVector<PlanStep> steps;
    for (int i = 0; i < 4; ++i) {
        PlanStep step;
        step.kind = PlanStep::Kind::Replace;
        step.target = root + QStringLiteral("/f%1.dll").arg(i);
        step.backup = m_download + QStringLiteral("pkg/unwind/f%1.dll").arg(i);
        step.temporary = root + QStringLiteral("/.f%1.dll.orvi-new").arg(i);
        QVERIFY(TestEnvironment::writeFile(step.target, "new"));
        QVERIFY(TestEnvironment::writeFile(step.backup, "old"));
        steps << step;
    }
    InstallationJournal journal(m_download);
    QVERIFY(journal.begin({ root, QString() }) && journal.addPackage(QStringLiteral("pkg"), steps));

    // What the screen shows as each file is put back, and as the journal is closed.
    QStringList shown;
    FileSystem::setFaultInjector([&](FileSystem::Operation operation, const QString &,
                                     const QString &) {
        const QWidget *form
            = TopLevelWindows::visible(QStringLiteral("Updater_Install_MainWindow"));
        if (operation == FileSystem::Operation::Rename && form)
            shown
                << form->findChild<QLabel *>(QStringLiteral("Updater_Install_ProgressText"))->text()
                    + QStringLiteral(" %1").arg(form->findChild<QProgressBar *>()->value());
        return 0;
    });
    QStringList windowsAtBox;
    m_boxes.setHook(
        [&](const MessageBoxHandler::Box &) { windowsAtBox = TopLevelWindows::visibleNames(); });
    EngineSettings settings;
    settings.appRoot = root;
    const int code = Startup::updateRun(
        quiet, [](OrviUpdaterEngine &) { return false; }, settings);
    FileSystem::setFaultInjector(nullptr);
    m_boxes.setHook(nullptr);

    QCOMPARE(code, 0);
    shown.removeDuplicates();
    const QString heading = QStringLiteral("Restoring the previous version… %1");
    QCOMPARE(shown,
        QStringList({ heading.arg(0), heading.arg(24), heading.arg(49), heading.arg(74),
            heading.arg(100) }));
    QCOMPARE(m_boxes.texts(),
        QStringList { QStringLiteral("The previous update was interrupted. The application was "
                                     "restored to its state before that update.") });
    QCOMPARE(windowsAtBox, QStringList());
    for (const PlanStep &step : std::as_const(steps))
        QCOMPARE(TestEnvironment::readFile(step.target), QByteArray("old"));
}

// The backups' folder swapped for a link to planted files after the start's checks: nothing is
// moved from there over the application, the journal stays and the user is told.
void tst_Startup::recoveryNeverReachesThroughALink()
{
#ifdef Q_OS_WIN
    QSKIP("the links of this system are reparse points, which the platform tests cover");
#endif
    const QString root = m_environment->root() + QStringLiteral("/app");
    QVERIFY(ApplicationFolder::make(root));
    PlanStep step;
    step.kind = PlanStep::Kind::Replace;
    step.target = root + QStringLiteral("/f.dll");
    step.backup = m_download + QStringLiteral("pkg/unwind/f.dll");
    step.temporary = root + QStringLiteral("/.f.dll.orvi-new");
    QVERIFY(TestEnvironment::writeFile(step.target, "new"));
    QVERIFY(TestEnvironment::writeFile(step.backup, "old"));
    InstallationJournal journal(m_download);
    QVERIFY(
        journal.begin({ root, QString() }) && journal.addPackage(QStringLiteral("pkg"), { step }));
    const QString planted = m_environment->root() + QStringLiteral("/planted");
    QVERIFY(TestEnvironment::writeFile(planted + QStringLiteral("/f.dll"), "planted"));
    const auto before = FolderSnapshot::take(root);
    const QString unwind = m_download + QStringLiteral("pkg/unwind");
    QVERIFY(QDir().rename(unwind, m_environment->root() + QStringLiteral("/moved")));
    QVERIFY(QFile::link(planted, unwind));
    EngineSettings settings;
    settings.appRoot = root;

    const int code = Startup::updateRun(
        true, [](OrviUpdaterEngine &) { return false; }, settings);

    QCOMPARE(code, Startup::exitRollbackFailed);
    QCOMPARE(FolderSnapshot::take(root), before);
    QCOMPARE(TestEnvironment::readFile(planted + QStringLiteral("/f.dll")), QByteArray("planted"));
    QCOMPARE(InstallationJournal::state(m_download), InstallationJournal::State::Unfinished);
    QCOMPARE(m_boxes.boxes().size(), 1);
    QVERIFY2(m_boxes.boxes().constFirst().text.contains(step.backup),
        qPrintable(m_boxes.boxes().constFirst().text));
}

void tst_Startup::updateRunSetsAsideADamagedJournal_data()
{
    QTest::addColumn<bool>("otherInstallation");
    QTest::addColumn<int>("code");
    QTest::newRow("damaged: set aside, the run goes on") << false << 0;
    QTest::newRow("another installation's: left, the run ends")
        << true << Startup::exitRollbackFailed;
}

void tst_Startup::updateRunSetsAsideADamagedJournal()
{
    QFETCH(bool, otherInstallation);
    QFETCH(int, code);
    const QString backup = m_download + QStringLiteral("core/unwind/lib/x.dll");
    QVERIFY(TestEnvironment::writeFile(backup, "old"));
    InstallationJournal journal(m_download);
    QVERIFY(journal.begin({ m_source, QString() }));
    QVERIFY(ApplicationFolder::make(m_source));
    if (!otherInstallation)
        QVERIFY(TestEnvironment::writeFile(InstallationJournal::filePath(m_download), "orvi-jou"));
    bool queried = false;
    EngineSettings settings;
    settings.appRoot = m_environment->root() + QStringLiteral("/Other");

    QCOMPARE(Startup::updateRun(
                 true,
                 [&](OrviUpdaterEngine &) {
                     queried = true;
                     return false;
                 },
                 settings),
        code);

    QCOMPARE(queried, !otherInstallation);
    QCOMPARE(m_boxes.boxes().size(), 1);
    const QString text = m_boxes.boxes().constFirst().text;
    if (otherInstallation) {
        QVERIFY2(text.contains(QDir::toNativeSeparators(m_source)), qPrintable(text));
        QCOMPARE(TestEnvironment::readFile(backup), QByteArray("old"));
        return;
    }
    const QStringList kept = QDir(m_environment->tempFolder())
                                 .entryList({ QStringLiteral("tupdates-kept-*") }, QDir::Dirs);
    QCOMPARE(kept.size(), 1);
    const QString keptFolder = m_environment->tempFolder() + QLatin1Char('/') + kept.first();
    QVERIFY2(text.contains(QDir::toNativeSeparators(keptFolder)), qPrintable(text));
    QCOMPARE(TestEnvironment::readFile(keptFolder + QStringLiteral("/core/unwind/lib/x.dll")),
        QByteArray("old"));
}

void tst_Startup::updateRunMeetsARunMarker_data()
{
    QTest::addColumn<bool>("ownMarker");
    QTest::newRow("another user's: refused") << false;
    QTest::newRow("this user's, no journal: dropped, the run goes on") << true;
}

void tst_Startup::updateRunMeetsARunMarker()
{
    QFETCH(bool, ownMarker);
    QVERIFY(ApplicationFolder::make(m_source));
    const QString owner = ownMarker ? Platform::userName() : QStringLiteral("someone (uid 4321)");
    QVERIFY(TestEnvironment::writeFile(RunMarker::path(m_source), owner.toUtf8()));
    const auto before = FolderSnapshot::take(m_source);
    bool queried = false;
    EngineSettings settings;
    settings.appRoot = m_source;

    const int code = Startup::updateRun(
        true,
        [&](OrviUpdaterEngine &) {
            queried = true;
            return false;
        },
        settings);

    QCOMPARE(queried, ownMarker);
    if (ownMarker) {
        QCOMPARE(code, 0);
        QVERIFY(m_boxes.boxes().isEmpty());
        QVERIFY(!QFileInfo::exists(RunMarker::path(m_source)));
        return;
    }
    QCOMPARE(code, Startup::exitAnotherRun);
    QCOMPARE(FolderSnapshot::take(m_source), before);
    QCOMPARE(m_boxes.boxes().size(), 1);
    const QString text = m_boxes.boxes().constFirst().text;
    QVERIFY2(
        text.contains(owner) && text.contains(QDir::toNativeSeparators(RunMarker::path(m_source))),
        qPrintable(text));
}

void tst_Startup::updateRunInAFolderThisUserCannotChange_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<int>("error");
    QTest::newRow("offer, permission denied") << false << EACCES;
    QTest::newRow("quiet download, read-only file system") << true << EROFS;
}

// Updates on offer, but the system refuses this user a file in the folder: the user is told
// before any window or download, and nothing changes.
void tst_Startup::updateRunInAFolderThisUserCannotChange()
{
    QFETCH(bool, quiet);
    QFETCH(int, error);
    QVERIFY(ApplicationFolder::make(m_source));
    const auto before = FolderSnapshot::take(m_source, true);
    FileSystem::setFaultInjector(
        [&](FileSystem::Operation operation, const QString &path, const QString &) {
            return operation == FileSystem::Operation::Open && path == m_source ? error : 0;
        });
    EngineSettings settings;
    settings.appRoot = m_source;

    const int code = Startup::updateRun(
        quiet,
        [](OrviUpdaterEngine &engine) {
            engine.adoptUpdates(
                { EntryBuilder().name("core").link("http://127.0.0.1:1/core.zip").make() });
            return true;
        },
        settings);
    FileSystem::setFaultInjector(nullptr);

    QCOMPARE(code, 1);
    QCOMPARE(m_boxes.boxes().size(), 1);
    const MessageBoxHandler::Box box = m_boxes.boxes().constFirst();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY2(box.text.contains(QDir::toNativeSeparators(m_source))
            && box.text.contains(QLatin1String("this user cannot change")),
        qPrintable(box.text));
    QVERIFY(TopLevelWindows::visibleNames().isEmpty());
    QCOMPARE(FolderSnapshot::take(m_source, true), before);
    QVERIFY(QDir(m_download).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void tst_Startup::binaryWithoutRootExitsAtOnce()
{
    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_environment->cacheHome());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Nothing may be contacted: a query that got past the missing "-root" fails here.
    environment.insert(QStringLiteral("ORVI_UPDATE_SERVER"), QStringLiteral("127.0.0.1:1"));
    updater.setProcessEnvironment(environment);
    updater.setProcessChannelMode(QProcess::MergedChannels);
    updater.start(QStringLiteral(ORVI_UPDATER_BINARY), { QStringLiteral("-u") });
    QVERIFY2(updater.waitForStarted(), qPrintable(updater.errorString()));
    // A window or box would keep the process running until this wait gives up.
    QVERIFY2(updater.waitForFinished(30000), "the updater did not end by itself");
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY(QDir(m_environment->tempFolder() + QStringLiteral("/tupdates")).exists());
}

void tst_Startup::lockRun_data()
{
    QTest::addColumn<QString>("heldFile"); // held by another run: "own", "other"; or "folder"
    QTest::addColumn<QString>("heldFolder"); // the folder it holds: "own", "other", none
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<int>("code"); // 0: the locks are taken
    QTest::addColumn<QString>("box");

    const QString running = QStringLiteral("Another update of Orvi instant messenger is running.");
    QTest::newRow("no other run") << QString() << QString() << false << 0 << QString();
    QTest::newRow("another installation's run")
        << QStringLiteral("other") << QStringLiteral("other") << false << 0 << QString();
    QTest::newRow("this user's other run") << QStringLiteral("own") << QStringLiteral("other")
                                           << false << Startup::exitAnotherRun << running;
    QTest::newRow("this user's other run, quiet")
        << QStringLiteral("own") << QString() << true << Startup::exitAnotherRun << QString();
    QTest::newRow("another user's run on this installation")
        << QStringLiteral("other") << QStringLiteral("own") << false << Startup::exitAnotherRun
        << running;
    QTest::newRow("a folder in the lock file's place, quiet") << QStringLiteral(
        "folder") << QString() << true << 1 << QStringLiteral("Cannot lock the update: ");
}

void tst_Startup::lockRun()
{
    QFETCH(QString, heldFile);
    QFETCH(QString, heldFolder);
    QFETCH(bool, quiet);
    QFETCH(int, code);
    QFETCH(QString, box);

    QVERIFY(QDir().mkpath(m_environment->tempFolder()));
    if (heldFile == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(Platform::runLockFile()));
    const QString otherFolder = m_environment->root() + QStringLiteral("/Other");
    QVERIFY(QDir().mkpath(otherFolder));
    RunLock held;
    if (heldFile == QLatin1String("own") || heldFile == QLatin1String("other")) {
        const QString file = heldFile == QLatin1String("own")
            ? Platform::runLockFile()
            : m_environment->root() + QStringLiteral("/other.lock");
        const QString folder = heldFolder.isEmpty() ? QString()
            : heldFolder == QLatin1String("own")    ? m_source
                                                    : otherFolder;
        QCOMPARE(held.acquire(file, folder, 0), RunLock::Result::Locked);
    }

    RunLock lock;
    int exitCode = 0;
    QString refusal;
    QCOMPARE(Startup::lockRun(lock, m_source, quiet, 0, &exitCode, &refusal), code == 0);
    QCOMPARE(exitCode, code);
    // The record says why even where a quiet run shows nothing.
    QCOMPARE(refusal.isEmpty(), code == 0);
    if (box.isEmpty()) {
        QVERIFY(m_boxes.boxes().isEmpty());
    } else {
        QCOMPARE(m_boxes.boxes().size(), 1);
        QVERIFY2(m_boxes.boxes().constFirst().text.startsWith(box),
            qPrintable(m_boxes.boxes().constFirst().text));
    }
    // Whatever the second attempt found, the lock it did not get is not held by it.
    held.release();
    if (code != 1)
        QCOMPARE(RunLock().acquire(Platform::runLockFile(), m_source, 0),
            code == 0 ? RunLock::Result::Busy : RunLock::Result::Locked);
}

void tst_Startup::nobodyElseHoldsTheRun_data()
{
    // "folder", "lock file": another user locks it for reading; "own run": another run of
    // this user holds the lock; "pipe": a pipe stands in the run marker's place.
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<int>("code");
    QTest::newRow("another user's read lock on the installation") << QStringLiteral("folder") << 0;
    QTest::newRow("another user's read lock on a lock file left behind")
        << QStringLiteral("lock file") << 0;
    QTest::newRow("this user's other run: named in the box")
        << QStringLiteral("own run") << Startup::exitAnotherRun;
    QTest::newRow("a pipe as the run marker: told at once")
        << QStringLiteral("pipe") << Startup::exitAnotherRun;
}

// Who cannot change the installation cannot hold up its updates, and what stands in the
// installation cannot stall a start.
void tst_Startup::nobodyElseHoldsTheRun()
{
    QFETCH(QString, obstacle);
    QFETCH(int, code);
    QVERIFY(ApplicationFolder::make(m_source));
    QVERIFY(QDir().mkpath(m_environment->tempFolder()));
    QProcess otherUser;
    const auto stopOtherUser = qScopeGuard([&otherUser] {
        otherUser.kill();
        otherUser.waitForFinished();
    });
    RunLock ownRun;
    const QString lockFile = m_source + QStringLiteral("/.orvi-update.lock");
    if (obstacle == QLatin1String("folder") || obstacle == QLatin1String("lock file")) {
#ifdef Q_OS_WIN
        QSKIP("a second user's lock is a Unix matter here; Windows keeps others out by ACL");
#else
        if (::geteuid() != 0)
            QSKIP("another user's lock needs root to change its uid");
        QVERIFY(::chmod(QFile::encodeName(m_environment->root()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_source).constData(), 0755) == 0);
        QString locked = m_source;
        if (obstacle == QLatin1String("lock file")) {
            // As a run killed while it held the lock leaves it.
            QVERIFY(TestEnvironment::writeFile(lockFile, "someone\n1\n"));
            QVERIFY(::chmod(QFile::encodeName(lockFile).constData(), 0600) == 0);
            locked = lockFile;
        }
        // A shared lock taken by the other uid, held until this test ends it.
        otherUser.start(QStringLiteral("setpriv"),
            { QStringLiteral("--reuid=48123"), QStringLiteral("--regid=48123"),
                QStringLiteral("--clear-groups"), QStringLiteral("flock"), QStringLiteral("-s"),
                QStringLiteral("-n"), locked, QStringLiteral("-c"),
                QStringLiteral("echo held; exec cat") });
        QVERIFY2(otherUser.waitForStarted(), qPrintable(otherUser.errorString()));
        QSignalSpy said(&otherUser, &QProcess::readyReadStandardOutput);
        QSignalSpy ended(&otherUser, &QProcess::finished);
        QTRY_VERIFY_WITH_TIMEOUT(!said.isEmpty() || !ended.isEmpty(), 10000);
        // The folder is open to every reader, the lock file left behind to none but its owner.
        QCOMPARE(ended.isEmpty(), obstacle == QLatin1String("folder"));
#endif
    } else if (obstacle == QLatin1String("own run")) {
        QCOMPARE(ownRun.acquire(m_environment->root() + QStringLiteral("/own.lock"), m_source, 0),
            RunLock::Result::Locked);
    } else {
#ifdef Q_OS_WIN
        QSKIP("Windows has no pipes in folders");
#else
        QVERIFY(::mkfifo(QFile::encodeName(RunMarker::path(m_source)).constData(), 0600) == 0);
#endif
    }

    RunLock lock;
    int exitCode = 0;
    QString refusal;
    if (Startup::lockRun(lock, m_source, false, 0, &exitCode, &refusal)) {
        EngineSettings settings;
        settings.appRoot = m_source;
        exitCode = Startup::updateRun(
            false, [](OrviUpdaterEngine &) { return false; }, settings);
    }

    QCOMPARE(exitCode, code);
    if (code == 0) {
        QVERIFY(m_boxes.boxes().isEmpty());
        // The lock goes with the run, and with it its file.
        lock.release();
        QVERIFY(!QFileInfo::exists(lockFile));
        return;
    }
    QCOMPARE(m_boxes.boxes().size(), 1);
    const QString text = m_boxes.boxes().constFirst().text;
    const QString named = obstacle == QLatin1String("pipe")
        ? QStringLiteral("?")
        : QStringLiteral("%1 (process %2)")
              .arg(Platform::userName())
              .arg(QCoreApplication::applicationPid());
    QVERIFY2(text.contains(named), qPrintable(text));
}

void tst_Startup::plantedJournalsReachNothingOutside_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("box"); // what a box says
    QTest::addColumn<bool>("kept"); // the journal stays where it is

    const QString safe = QStringLiteral("If no update is running, deleting it is safe.");
    QTest::newRow("naming / as the plug-in folder")
        << QStringLiteral("root plug-ins") << Startup::exitRollbackFailed << safe << true;
    QTest::newRow("naming another folder as the plug-in folder")
        << QStringLiteral("other plug-ins") << Startup::exitRollbackFailed << safe << true;
    QTest::newRow("a link inside the installation")
        << QStringLiteral("link") << Startup::exitRollbackFailed
        << QStringLiteral("could not be undone completely") << true;
    QTest::newRow("a finished journal recording version 999")
        << QStringLiteral("999") << 0 << QStringLiteral("Couldn't connect") << false;
    QTest::newRow("a journal of 1 GiB: set aside, never read")
        << QStringLiteral("huge") << 0 << QStringLiteral("tupdates-kept-") << false;
}

void tst_Startup::plantedJournalsReachNothingOutside()
{
    QFETCH(QString, planted);
    QFETCH(int, code);
    QFETCH(QString, box);
    QFETCH(bool, kept);
    QVERIFY(ApplicationFolder::makeWithSample(m_source));
    QVERIFY(TestEnvironment::writeFile(
        m_source + QStringLiteral("/components"), "orvi core app 2\norvi extra app 1\n"));
    const QString outside = m_environment->root() + QStringLiteral("/outside");
    QVERIFY(TestEnvironment::writeFile(outside + QStringLiteral("/victim.dll"), "outside"));
    const auto outsideBefore = FolderSnapshot::take(outside);
    PlanStep step;
    step.kind = PlanStep::Kind::Replace;
    step.target = outside + QStringLiteral("/victim.dll");
    step.backup = m_download + QStringLiteral("pkg/unwind/victim.dll");
    QVERIFY(TestEnvironment::writeFile(step.backup, "planted"));
    const QString journalFile = InstallationJournal::filePath(m_download);
    InstallationJournal journal(m_download);
    if (planted == QLatin1String("root plug-ins")) {
        QVERIFY(journal.begin({ m_source, QStringLiteral("/") }));
    } else if (planted == QLatin1String("other plug-ins")) {
        QVERIFY(journal.begin({ m_source, outside }));
    } else if (planted == QLatin1String("link")) {
#ifdef Q_OS_WIN
        QSKIP("the links of this system are reparse points, which the platform tests cover");
#endif
        QVERIFY(QFile::link(outside, m_source + QStringLiteral("/lib")));
        step.target = m_source + QStringLiteral("/lib/victim.dll");
        QVERIFY(journal.begin({ m_source, QString() }));
    } else if (planted == QLatin1String("999")) {
        QVERIFY(journal.begin({ m_source, QString() }));
        QVERIFY(journal.finish(true,
            { { m_source, "orvi", "core", "app", "999" },
                { m_source, "orvi", "extra", "app", "1" } }));
    } else {
        QVERIFY(TestEnvironment::writeFile(journalFile, "orvi-journal 2\n"));
        QVERIFY(QFile::resize(journalFile, qint64(1) << 30));
    }
    if (planted != QLatin1String("999") && planted != QLatin1String("huge"))
        QVERIFY(journal.addPackage(QStringLiteral("pkg"), { step }));
    const QByteArray journalBefore
        = planted == QLatin1String("huge") ? QByteArray() : TestEnvironment::readFile(journalFile);
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    EngineSettings settings;
    settings.appRoot = m_source;
    settings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), closedPort);
#ifndef Q_OS_WIN
    struct rusage usage;
    QVERIFY(::getrusage(RUSAGE_SELF, &usage) == 0);
    const long peakBefore = usage.ru_maxrss;
#endif

    const int exitCode = Startup::updateRun(
        true, [](OrviUpdaterEngine &engine) { return engine.checkUpdates(); }, settings);

    QCOMPARE(exitCode, code);
    QCOMPARE(FolderSnapshot::take(outside), outsideBefore);
    const QStringList texts = m_boxes.texts();
    QVERIFY2(!texts.filter(box).isEmpty(), qPrintable(texts.join(QLatin1Char('\n'))));
    const QString text = texts.filter(box).value(0);
    if (box.contains(QLatin1String("deleting it is safe")))
        QVERIFY2(text.contains(QDir::toNativeSeparators(journalFile)), qPrintable(text));
    QCOMPARE(
        QFileInfo::exists(journalFile) && TestEnvironment::readFile(journalFile) == journalBefore,
        kept);
    if (planted == QLatin1String("999")) {
        // Only what the main application confirms: it reports version 2 of the core.
        const VersionRecords records(Platform::stateFolder());
        QCOMPARE(records.recorded(m_source, "orvi", "core", "app"), QByteArray());
        QCOMPARE(records.recorded(m_source, "orvi", "extra", "app"), QByteArray("1"));
    }
#ifndef Q_OS_WIN
    // The journal is never read whole: the peak grows by far less than its size.
    QVERIFY(::getrusage(RUSAGE_SELF, &usage) == 0);
    QVERIFY2(
        usage.ru_maxrss - peakBefore < 64 * 1024, qPrintable(QString::number(usage.ru_maxrss)));
#endif
}

#ifdef Q_OS_WIN
namespace {
// The well-known accounts the rows name.
const QMap<QString, WELL_KNOWN_SID_TYPE> &accounts()
{
    static const QMap<QString, WELL_KNOWN_SID_TYPE> known {
        { QStringLiteral("Administrators"), WinBuiltinAdministratorsSid },
        { QStringLiteral("Users"), WinBuiltinUsersSid },
        { QStringLiteral("Everyone"), WinWorldSid },
        { QStringLiteral("SYSTEM"), WinLocalSystemSid },
        { QStringLiteral("CreatorOwner"), WinCreatorOwnerSid },
        { QStringLiteral("Guests"), WinBuiltinGuestsSid },
    };
    return known;
}

QByteArray sidOf(const QString &account)
{
    QByteArray sid(SECURITY_MAX_SID_SIZE, '\0');
    DWORD size = DWORD(sid.size());
    if (!CreateWellKnownSid(accounts().value(account), nullptr, sid.data(), &size))
        return QByteArray();
    sid.resize(int(size));
    return sid;
}
} // namespace

void tst_Startup::mutexAccessList_data()
{
    // Entries as "allow|deny <account> <mask>[ inherit-only]"; the mutex's as "allow|deny
    // <account>", each with every access to the mutex.
    QTest::addColumn<QStringList>("folder");
    QTest::addColumn<QStringList>("mutex");
    const QString full = QString::number(FILE_ALL_ACCESS);
    const QString readOnly = QString::number(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
    const QString addFile = QString::number(FILE_ADD_FILE | SYNCHRONIZE);
    QTest::newRow("Program Files: administrators and the system write, users read") << QStringList {
        QStringLiteral("allow Administrators ") + full, QStringLiteral("allow SYSTEM ") + full,
        QStringLiteral("allow Users ") + readOnly, QStringLiteral("allow Everyone ") + readOnly,
        QStringLiteral("allow CreatorOwner %1 inherit-only").arg(full)
    } << QStringList { QStringLiteral("allow Administrators"), QStringLiteral("allow SYSTEM") };
    QTest::newRow("a folder users may add files to") << QStringList {
        QStringLiteral("allow Administrators ") + full, QStringLiteral("allow Users ") + addFile
    } << QStringList { QStringLiteral("allow Administrators"), QStringLiteral("allow Users") };
    QTest::newRow("a writer denied: denied first") << QStringList {
        QStringLiteral("allow Users ") + full, QStringLiteral("deny Guests ") + full
    } << QStringList { QStringLiteral("deny Guests"), QStringLiteral("allow Users") };
    QTest::newRow("nobody may write")
        << QStringList { QStringLiteral("allow Everyone ") + readOnly } << QStringList();
}

// Who may open the application folder's mutex, and so hold up every update, is whoever may
// change the folder; Wine does not enforce access lists, so the list itself is checked.
void tst_Startup::mutexAccessList()
{
    QFETCH(QStringList, folder);
    QFETCH(QStringList, mutex);
    QVector<QByteArray> sids;
    DWORD size = sizeof(ACL);
    for (const QString &entry : std::as_const(folder)) {
        const QString account = entry.section(QLatin1Char(' '), 1, 1);
        sids << sidOf(account);
        QVERIFY2(!sids.last().isEmpty(), qPrintable(account));
        size += DWORD(sizeof(ACCESS_ALLOWED_ACE) + sids.last().size());
    }
    QByteArray folderList(int(size), '\0');
    auto *acl = reinterpret_cast<ACL *>(folderList.data());
    QVERIFY(InitializeAcl(acl, size, ACL_REVISION));
    for (int i = 0; i < folder.size(); ++i) {
        const QStringList fields = folder.at(i).split(QLatin1Char(' '));
        const DWORD flags = fields.last() == QLatin1String("inherit-only")
            ? DWORD(INHERIT_ONLY_ACE | CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE)
            : 0;
        const DWORD mask = fields.at(2).toULong();
        auto *sid = PSID(sids[i].data());
        QVERIFY(fields.first() == QLatin1String("allow")
                ? AddAccessAllowedAceEx(acl, ACL_REVISION, flags, mask, sid)
                : AddAccessDeniedAceEx(acl, ACL_REVISION, flags, mask, sid));
    }

    QByteArray built = RunLock::mutexAccessList(folderList);

    QVERIFY(!built.isEmpty());
    auto *list = reinterpret_cast<ACL *>(built.data());
    QVERIFY(IsValidAcl(list));
    QStringList entries;
    for (DWORD index = 0; index < list->AceCount; ++index) {
        void *ace = nullptr;
        QVERIFY(GetAce(list, index, &ace));
        const auto *entry = static_cast<const ACCESS_ALLOWED_ACE *>(ace);
        QCOMPARE(entry->Mask, DWORD(MUTEX_ALL_ACCESS));
        QString account;
        for (auto known = accounts().cbegin(); known != accounts().cend(); ++known) {
            const QByteArray sid = sidOf(known.key());
            if (EqualSid(PSID(&entry->SidStart), PSID(const_cast<char *>(sid.constData()))))
                account = known.key();
        }
        entries << (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? QStringLiteral("allow ")
                                                                     : QStringLiteral("deny "))
                + account;
    }
    QCOMPARE(entries, mutex);
}
#endif

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"
